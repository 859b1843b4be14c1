// GDAL's side of a failure.
#ifndef TOLVANE_GEO_FAILURE_H
#define TOLVANE_GEO_FAILURE_H

#include <tolvane/geo.h>

#include <string>

namespace tolvane::geo {

// GDAL's last error message, for a failure that GDAL explains better.
std::string gdal_reason();

} // namespace tolvane::geo

#endif
