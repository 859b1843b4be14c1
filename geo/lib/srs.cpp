#include "srs.h"

#include "failure.h"

#include <algorithm>
#include <cmath>

#include <cpl_conv.h>

namespace tolvane::geo {

namespace {

std::string wkt_of(OGRSpatialReferenceH srs)
{
    char *wkt = nullptr;
    const char *format[] = {"FORMAT=WKT2_2018", nullptr};
    if (OSRExportToWktEx(srs, &wkt, format) != OGRERR_NONE || !wkt) {
        CPLFree(wkt);
        throw Failure("cannot describe the coordinate system: " + gdal_reason());
    }
    std::string s = wkt;
    CPLFree(wkt);
    return s;
}

// The UTM zone of a longitude, as a hint for -t_srs.
std::string utm_hint(double longitude, double latitude)
{
    if (!std::isfinite(longitude) || longitude < -180 || longitude > 180)
        return "a projected system such as a UTM zone";
    const int zone = std::clamp(static_cast<int>(std::floor((longitude + 180) / 6)) + 1, 1, 60);
    const bool north = !(latitude < 0);
    return "EPSG:" + std::to_string((north ? 32600 : 32700) + zone) + " (WGS 84 / UTM zone " + std::to_string(zone) +
           (north ? "N)" : "S)");
}

} // namespace

// The coordinate system of the grid: -t_srs, or the input's own, as WKT (empty when
// the input has none). Geographic ones are refused: pixel sizes and distances in
// degrees would make every zone a handful of enormous pixels.
std::string grid_srs(OGRSpatialReferenceH source, const std::string &input, const GridRequest &o, double longitude,
                     double latitude)
{
    if (!o.target_srs.empty()) {
        Srs target(OSRNewSpatialReference(nullptr));
        if (OSRSetFromUserInput(target.get(), o.target_srs.c_str()) != OGRERR_NONE)
            throw Failure(named("t_srs") + ": '" + o.target_srs + "' is not a coordinate system GDAL knows");
        if (!source)
            throw Failure(input + " has no coordinate system to reproject from: drop " + named("t_srs") + ", or give the input one");
        if (OSRIsGeographic(target.get()))
            throw Failure(named("t_srs") + " " + o.target_srs +
                          " is geographic (longitude/latitude): choose a projected system, such as " +
                          utm_hint(longitude, latitude));
        return wkt_of(target.get());
    }
    if (!source)
        return "";
    if (OSRIsGeographic(source)) {
        const char *name = OSRGetName(source);
        throw Failure(input + " is in geographic coordinates (" + (name ? name : "longitude/latitude") +
                      "), where a pixel is not a distance: reproject it with " + named("t_srs") + ", e.g. " + named("t_srs") + " " +
                      utm_hint(longitude, latitude));
    }
    return wkt_of(source);
}


} // namespace tolvane::geo
