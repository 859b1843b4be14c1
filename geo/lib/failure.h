// GDAL's side of a failure.
#ifndef TOLVANE_GEO_FAILURE_H
#define TOLVANE_GEO_FAILURE_H

#include <tolvane/geo.h>

#include <string>
#include <vector>

namespace tolvane::geo {

// GDAL's last error message, for a failure that GDAL explains better.
std::string gdal_reason();

// Features named in a message: "fid 3, 6" (the first ten, then "...").
std::string fid_list(const std::vector<long long> &fids);

} // namespace tolvane::geo

#endif
