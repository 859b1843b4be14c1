#include "lines.h"

#include "failure.h"
#include "levels.h"
#include "srs.h"
#include "timing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <cpl_error.h>
#include <gdal_utils.h>

namespace tolvane::geo {

namespace {

std::string join(const std::vector<std::string> &words)
{
    std::string s;
    for (const std::string &w : words)
        s += (s.empty() ? "" : ", ") + w;
    return s.empty() ? "none" : s;
}



// The one Z of a contour line; throws if the line has none or is not level.
void z_range(OGRGeometryH g, double &low, double &high)
{
    for_each_part(g, [&](OGRGeometryH line) {
        for (int k = 0, n = OGR_G_GetPointCount(line); k < n; k++) {
            const double z = OGR_G_GetZ(line, k);
            low = std::min(low, z);
            high = std::max(high, z);
        }
    });
}

double line_z(OGRGeometryH g, long long fid, const std::string &layer)
{
    if (!OGR_G_Is3D(g))
        throw Failure("line " + std::to_string(fid) + " of layer '" + layer +
                      "' has no Z coordinate: take the altitude from an attribute with " + named("attribute"), "z");
    double low = std::numeric_limits<double>::infinity(), high = -low;
    z_range(g, low, high);
    if (!(high - low <= 1e-6 * std::max(1.0, std::fabs(low))))
        throw Failure("line " + std::to_string(fid) + " of layer '" + layer + "' is not a contour line: its Z goes from " +
                      decimal(low) + " to " + decimal(high));
    return low;
}

// GDAL's errors raised while the features are read, kept to be counted and
// quoted instead of printed (or muted by the front end's handler).
class CollectedErrors {
public:
    CollectedErrors() { CPLPushErrorHandlerEx(&CollectedErrors::keep, this); }
    ~CollectedErrors() { CPLPopErrorHandler(); }
    CollectedErrors(const CollectedErrors &) = delete;
    CollectedErrors &operator=(const CollectedErrors &) = delete;
    std::size_t count() const { return messages_.size(); }
    const std::string &first() const { return messages_.front(); }

private:
    static void CPL_STDCALL keep(CPLErr level, CPLErrorNum, const char *message)
    {
        auto *self = static_cast<CollectedErrors *>(CPLGetErrorHandlerUserData());
        if (level >= CE_Failure)
            self->messages_.emplace_back(message ? message : "");
    }
    std::vector<std::string> messages_;
};

bool is_line(OGRwkbGeometryType type)
{
    switch (wkbFlatten(type)) {
    case wkbLineString:
    case wkbMultiLineString:
    case wkbCircularString:
    case wkbCompoundCurve:
    case wkbMultiCurve:
        return true;
    default:
        return false;
    }
}

// Refuses a layer, or one feature (fid >= 0), whose geometry is not lines.
void check_lines(OGRwkbGeometryType type, const std::string &layer, const std::string &path, long long fid)
{
    const OGRwkbGeometryType flat = wkbFlatten(type);
    if (flat == wkbUnknown || flat == wkbNone || is_line(type))
        return;
    const std::string what = "layer '" + layer + "' of " + path +
                             (fid >= 0 ? " (feature " + std::to_string(fid) + ")" : std::string()) + " holds ";
    const std::string name = OGRGeometryTypeToName(type);
    if (OGR_GT_IsSubClassOf(flat, wkbCurvePolygon) || OGR_GT_IsSubClassOf(flat, wkbMultiSurface) ||
        flat == wkbPolyhedralSurface || flat == wkbTIN)
        throw Failure(what + "polygons (" + name +
                      "), not contour lines: contour polygons (gdal_contour -p) hold two levels on their edge, draw "
                      "lines instead (gdal_contour without -p); polygons whose outlines are contours become lines with "
                      "ogr2ogr -nlt MULTILINESTRING");
    if (flat == wkbPoint || flat == wkbMultiPoint)
        throw Failure(what + "points (" + name + "), not contour lines: interpolation runs between lines");
    throw Failure(what + name + " geometries, not contour lines");
}

Extent empty_box()
{
    const double inf = std::numeric_limits<double>::infinity();
    return {inf, inf, -inf, -inf};
}


OGRLayerH chosen_layer(GDALDatasetH source, const SourceRequest &s)
{
    OGRLayerH layer = s.layer.empty() ? GDALDatasetGetLayer(source, 0) : GDALDatasetGetLayerByName(source, s.layer.c_str());
    if (!layer) {
        std::vector<std::string> names;
        for (int k = 0; k < GDALDatasetGetLayerCount(source); k++)
            names.push_back(OGR_L_GetName(GDALDatasetGetLayer(source, k)));
        throw Failure(s.path + " has no layer '" + s.layer + "' (its layers: " + join(names) + ")");
    }
    return layer;
}

void check_attribute(OGRLayerH layer, const SourceRequest &s)
{
    if (s.height_from_z)
        return;
    const std::string name = OGR_L_GetName(layer);
    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    const int field = OGR_FD_GetFieldIndex(defn, s.attribute.c_str());
    if (field < 0) {
        std::vector<std::string> fields;
        for (int k = 0; k < OGR_FD_GetFieldCount(defn); k++)
            fields.push_back(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(defn, k)));
        throw Failure("layer '" + name + "' of " + s.path + " has no attribute '" + s.attribute +
                      "' (its fields: " + join(fields) + "); choose one with " + named("attribute") + ", or " + named("z") + " for altitudes in Z");
    }
    const OGRFieldType type = OGR_Fld_GetType(OGR_FD_GetFieldDefn(defn, field));
    if (type != OFTInteger && type != OFTInteger64 && type != OFTReal)
        throw Failure("attribute '" + s.attribute + "' of layer '" + name + "' is not numeric (" +
                      OGR_GetFieldTypeName(type) + ")");
}

// The lines the request's filter keeps, from here on.
void filter(OGRLayerH layer, const SourceRequest &s)
{
    if (s.where.empty())
        return;
    // Some drivers take any filter and refuse it only when reading: the first
    // feature is read to know.
    bool refused = OGR_L_SetAttributeFilter(layer, s.where.c_str()) != OGRERR_NONE;
    if (!refused) {
        const CollectedErrors errors;
        OGR_L_ResetReading(layer);
        const Feature first(OGR_L_GetNextFeature(layer));
        refused = errors.count() > 0;
        OGR_L_ResetReading(layer);
    }
    if (refused)
        throw Failure(named("where") + ": '" + s.where + "' is not a filter GDAL reads", "where");
}

// A copy of the layer in memory, reprojected and filtered when asked.
Dataset copy_of(GDALDatasetH source, const std::string &name, const SourceRequest &s, const GridRequest &g)
{
    Arguments args{"-f", "Memory"};
    if (!g.target_srs.empty())
        args.add({"-t_srs", g.target_srs});
    if (!s.where.empty())
        args.add({"-where", s.where});
    args.add(name);
    GDALVectorTranslateOptions *translate = GDALVectorTranslateOptionsNew(args.argv(), nullptr);
    GDALDatasetH sources[1] = {source};
    Dataset copy(GDALVectorTranslate("", nullptr, 1, sources, translate, nullptr));
    GDALVectorTranslateOptionsFree(translate);
    if (!copy)
        throw Failure("cannot read layer '" + name + "' of " + s.path + ": " + gdal_reason());
    return copy;
}

// Every feature read once, with GDAL's errors collected: a feature GDAL cannot
// read (a file cut short, a corrupt geometry) refuses the run, since how much of
// the data is lost is unknown and a level may silently be missing; a line that is
// not a line refuses it too; features without a geometry or an altitude are only
// counted, for the report.
void inspect_lines(OGRLayerH layer, const SourceRequest &s, LinesRead &read)
{
    std::vector<long long> &without_geometry = read.without_geometry, &without_altitude = read.without_altitude;
    const std::string name = OGR_L_GetName(layer);
    check_lines(OGR_L_GetGeomType(layer), name, s.path, -1);
    const int field = s.height_from_z ? -1 : OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), s.attribute.c_str());
    std::vector<long long> unreadable;
    long long features = 0;
    bool stopped = false;
    {
        const CollectedErrors errors;
        OGR_L_ResetReading(layer);
        for (;;) {
            const std::size_t before = errors.count();
            const Feature f(OGR_L_GetNextFeature(layer));
            if (!f) {
                stopped = errors.count() > before;
                break;
            }
            features++;
            const long long fid = OGR_F_GetFID(f.get());
            if (errors.count() > before) {
                unreadable.push_back(fid);
                continue;
            }
            OGRGeometryH g = OGR_F_GetGeometryRef(f.get());
            if (!g || OGR_G_IsEmpty(g)) {
                without_geometry.push_back(fid);
                continue;
            }
            check_lines(OGR_G_GetGeometryType(g), name, s.path, fid);
            if (field >= 0 && (!OGR_F_IsFieldSetAndNotNull(f.get(), field) ||
                               !std::isfinite(OGR_F_GetFieldAsDouble(f.get(), field))))
                without_altitude.push_back(fid);
        }
        if (!unreadable.empty())
            throw Failure(std::to_string(unreadable.size()) + " of the " + std::to_string(features) +
                          " features of layer '" + name + "' of " + s.path + " cannot be read (" +
                          fid_list(unreadable) + "): the file is damaged (GDAL: " + errors.first() + ")");
        if (stopped)
            throw Failure("GDAL stopped reading layer '" + name + "' of " + s.path + " after " +
                          std::to_string(features) + " features: the file is damaged (GDAL: " + errors.first() + ")");
    }
}

// Whether the values number the lines rather than give their altitude: many
// lines, each with its own whole number, the numbers one after the other. Real
// contours share their levels between lines far more often than not.
bool numbers_lines(std::vector<double> values)
{
    if (values.size() < 8)
        return false;
    std::sort(values.begin(), values.end());
    for (std::size_t k = 0; k < values.size(); k++)
        if (values[k] != std::trunc(values[k]) || (k > 0 && values[k] != values[k - 1] + 1))
            return false;
    return true;
}

// The altitude of every line of the copy, in reading order, and the extent of
// those that have one.
void read_altitudes(LinesRead &read, const SourceRequest &s, const std::string &name)
{
    OGRLayerH lines = lines_layer(read);
    const int field = s.height_from_z ? -1 : OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(lines), s.attribute.c_str());
    std::vector<double> &altitude = read.altitude, &values = read.values;
    Extent extent = empty_box();
    OGR_L_ResetReading(lines);
    while (OGRFeatureH next = OGR_L_GetNextFeature(lines)) {
        const Feature owned(next);
        OGRFeatureH f = owned.get();
        OGRGeometryH geometry = OGR_F_GetGeometryRef(f);
        double v = NAN;
        if (geometry && !OGR_G_IsEmpty(geometry)) {
            if (field < 0)
                v = line_z(geometry, OGR_F_GetFID(f), name);
            else if (OGR_F_IsFieldSetAndNotNull(f, field))
                v = OGR_F_GetFieldAsDouble(f, field);
        }
        if (std::isfinite(v)) {
            OGREnvelope e;
            OGR_G_GetEnvelope(geometry, &e);
            extent = {std::min(extent.xmin, e.MinX), std::min(extent.ymin, e.MinY), std::max(extent.xmax, e.MaxX),
                      std::max(extent.ymax, e.MaxY)};
            values.push_back(v);
        }
        altitude.push_back(v);
    }
    read.extent = extent;
    read.like_identifier = numbers_lines(values);
    if (values.empty())
        throw Failure("no contours: layer '" + name + "' of " + s.path + " has no line with " +
                      (field < 0 ? std::string("an altitude") : "a value of '" + s.attribute + "'"));
}

} // namespace

OGRLayerH lines_layer(const LinesRead &lines) { return GDALDatasetGetLayer(lines.copy.get(), 0); }

LinesRead read_lines(GDALDatasetH source, const SourceRequest &s, const GridRequest &g)
{
    OGRLayerH layer = chosen_layer(source, s);
    const std::string name = OGR_L_GetName(layer);
    filter(layer, s);
    if (!(g.xres > 0 && g.yres > 0))
        throw UsageFailure("contour lines need a pixel size: give " + named("resolution"));
    // Polygons (gdal_contour -p) have no field elev: their geometry is named first.
    check_lines(OGR_L_GetGeomType(layer), name, s.path, -1);
    check_attribute(layer, s);

    OGREnvelope box;
    double longitude = NAN, latitude = NAN;
    if (OGR_L_GetExtent(layer, &box, TRUE) == OGRERR_NONE) {
        longitude = (box.MinX + box.MaxX) / 2;
        latitude = (box.MinY + box.MaxY) / 2;
    }
    LinesRead read;
    read.srs_wkt = grid_srs(OGR_L_GetSpatialRef(layer), s.path, g, longitude, latitude);
    inspect_lines(layer, s, read);
    step_done("inspect lines");
    read.copy = copy_of(source, name, s, g);
    step_done("copy lines");
    read.layer_name = OGR_L_GetName(lines_layer(read));
    read_altitudes(read, s, name);
    return read;
}

int store_levels(LinesRead &read, const LevelTable &table)
{
    OGRLayerH lines = lines_layer(read);
    OGRFieldDefnH level_field = OGR_Fld_Create("tolvane_level", OFTInteger);
    OGR_L_CreateField(lines, level_field, TRUE);
    OGR_Fld_Destroy(level_field);
    const int level = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(lines), "tolvane_level");
    OGR_L_ResetReading(lines);
    for (double v : read.altitude) {
        const Feature f(OGR_L_GetNextFeature(lines));
        if (!std::isfinite(v))
            continue;
        OGR_F_SetFieldInteger(f.get(), level, scaled(v, table));
        if (OGR_L_SetFeature(lines, f.get()) != OGRERR_NONE)
            throw Failure("cannot keep the altitudes of the lines in memory: " + gdal_reason());
    }
    return level;
}

void read_vertices(OGRGeometryH line, std::vector<double> &xs, std::vector<double> &ys)
{
    const auto n = static_cast<std::size_t>(std::max(OGR_G_GetPointCount(line), 0));
    xs.resize(n);
    ys.resize(n);
    if (n > 0)
        OGR_G_GetPoints(line, xs.data(), sizeof(double), ys.data(), sizeof(double), nullptr, 0);
}

} // namespace tolvane::geo
