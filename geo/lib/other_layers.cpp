// The map's layers beside its lines, opened and taken into the grid. See
// other_layers.h.
#include "other_layers.h"

#include "failure.h"
#include "paths.h"
#include "srs.h"

#include <cpl_vsi.h>

namespace tolvane::geo {

namespace {

// From the layer's system to the grid's; empty when they are one, or when
// either is unknown (the lines are then taken as they are too).
Transform to_grid_of(OGRLayerH layer, const Grid &g, const std::string &what, const std::string &path,
                     const std::string &key)
{
    OGRSpatialReferenceH from = OGR_L_GetSpatialRef(layer);
    if (!from || g.srs_wkt.empty())
        return nullptr;
    Srs target(OSRNewSpatialReference(g.srs_wkt.c_str()));
    if (!target || OSRIsSame(from, target.get()))
        return nullptr;
    OSRSetAxisMappingStrategy(target.get(), OAMS_TRADITIONAL_GIS_ORDER);
    Srs own(OSRClone(from));
    OSRSetAxisMappingStrategy(own.get(), OAMS_TRADITIONAL_GIS_ORDER);
    Transform t(OCTNewCoordinateTransformation(own.get(), target.get()));
    if (!t)
        throw Failure("cannot take " + what + " " + path + " into the grid's coordinate system: " + gdal_reason(),
                      key);
    return t;
}

} // namespace

OtherLayer open_layer(const std::string &path, const Request &q, const Grid &g, const std::string &what,
                      const std::string &key)
{
    OtherLayer l{path, what, key, nullptr, nullptr, "", nullptr};
    check_readable_kind(path, what);
    // No product may replace the file read.
    check_outputs_against(q.product, files_of(path));
    l.source.reset(GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!l.source) {
        VSIStatBufL st;
        if (VSIStatL(path.c_str(), &st) != 0)
            throw Failure("cannot open " + what + " " + path + ": no such file", key);
        throw Failure("cannot open " + what + " " + path + " as vectors: " + gdal_reason(), key);
    }
    if (GDALDatasetGetLayerCount(l.source.get()) < 1)
        throw Failure(what + " " + path + " hold no layer", key);
    l.layer = GDALDatasetGetLayer(l.source.get(), 0);
    l.name = OGR_L_GetName(l.layer);
    l.to_grid = to_grid_of(l.layer, g, what, path, key);
    return l;
}

bool is_shape(OGRwkbGeometryType type, Shape shape)
{
    const OGRwkbGeometryType flat = wkbFlatten(type);
    return shape == Shape::lines ? OGR_GT_IsSubClassOf(flat, wkbCurve) || OGR_GT_IsSubClassOf(flat, wkbMultiCurve)
                                 : OGR_GT_IsSubClassOf(flat, wkbCurvePolygon) || OGR_GT_IsSubClassOf(flat, wkbMultiSurface);
}

void check_shape(OGRwkbGeometryType type, const OtherLayer &l, Shape shape)
{
    const OGRwkbGeometryType flat = wkbFlatten(type);
    if (flat == wkbUnknown || flat == wkbNone || is_shape(type, shape))
        return;
    const bool lines = shape == Shape::lines;
    throw Failure("layer '" + l.name + "' of " + l.what + " " + l.path + " holds " + OGRGeometryTypeToName(type) +
                      " geometries, not " + (lines ? "lines" : "polygons") + ": " + named(l.key) + " takes a " +
                      (lines ? "line" : "polygon") + " layer",
                  l.key);
}

Geometry in_grid(OGRGeometryH geometry, const OtherLayer &l)
{
    Geometry copy(OGR_G_Clone(geometry));
    if (l.to_grid && OGR_G_Transform(copy.get(), l.to_grid.get()) != OGRERR_NONE)
        throw Failure("cannot take " + l.what + " " + l.path + " into the grid's coordinate system", l.key);
    return copy;
}

} // namespace tolvane::geo
