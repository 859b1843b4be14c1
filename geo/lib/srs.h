// The grid's coordinate system: the input's own or the one asked for, never a
// geographic one (a pixel in degrees is no distance), with a UTM zone suggested.
#ifndef TOLVANE_GEO_SRS_H
#define TOLVANE_GEO_SRS_H

#include <tolvane/geo.h>

#include <memory>
#include <string>

#include <ogr_srs_api.h>

namespace tolvane::geo {

struct SrsCloser {
    void operator()(void *h) const
    {
        if (h)
            OSRDestroySpatialReference(h);
    }
};
using Srs = std::unique_ptr<void, SrsCloser>;

// The coordinate system of the grid as WKT: -t_srs, or the input's own `source`
// (empty when it has none). (longitude, latitude) is the middle of the input, for
// the zone a refusal suggests. Throws Failure.
std::string grid_srs(OGRSpatialReferenceH source, const std::string &input, const GridRequest &request,
                     double longitude, double latitude);

} // namespace tolvane::geo

#endif
