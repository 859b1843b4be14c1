// A failure of the run: one line for the user, exit status 1.
#ifndef TOLVANE_GEO_FAILURE_H
#define TOLVANE_GEO_FAILURE_H

#include <stdexcept>
#include <string>

namespace geo {

struct Failure : std::runtime_error {
    explicit Failure(const std::string &message) : std::runtime_error(message) {}
};

// An option that this input needs or cannot take: the usage follows, exit status 2.
struct UsageFailure : Failure {
    explicit UsageFailure(const std::string &message) : Failure(message) {}
};

// GDAL's last error message, for a failure that GDAL explains better.
std::string gdal_reason();

} // namespace geo

#endif
