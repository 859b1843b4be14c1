// The contour source: opening, coordinate systems, reprojection, the altitude of
// every line, the level table, the grid and the burning of any window of it.
#include "auto_footprint.h"
#include "failure.h"
#include "footprint.h"
#include "gdal_handles.h"
#include "grid.h"
#include "levels.h"
#include "oversample.h"
#include "parallel.h"
#include "paths.h"
#include "repair.h"
#include "seal.h"
#include "timing.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <set>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

namespace {

// Bytes per cell held at once: the contour grid, the core's working grids (15
// bytes), its result, and the output raster with its conversion.
constexpr double BYTES_PER_CELL = 4 + 15 + 4 + 8;

std::string gib(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
    return text;
}

std::string join(const std::vector<std::string> &words)
{
    std::string s;
    for (const std::string &w : words)
        s += (s.empty() ? "" : ", ") + w;
    return s.empty() ? "none" : s;
}

struct SrsCloser {
    void operator()(void *h) const
    {
        if (h)
            OSRDestroySpatialReference(h);
    }
};
using Srs = std::unique_ptr<void, SrsCloser>;

struct FeatureDestroyer {
    void operator()(void *h) const { OGR_F_Destroy(h); }
};
using Feature = std::unique_ptr<void, FeatureDestroyer>;

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

// The coordinate system of the grid: -t_srs, or the input's own, as WKT (empty when
// the input has none). Geographic ones are refused: pixel sizes and distances in
// degrees would make every zone a handful of enormous pixels.
std::string grid_srs(OGRSpatialReferenceH source, const std::string &input, const GridRequest &o, double longitude,
                     double latitude)
{
    if (!o.target_srs.empty()) {
        Srs target(OSRNewSpatialReference(nullptr));
        if (OSRSetFromUserInput(target.get(), o.target_srs.c_str()) != OGRERR_NONE)
            throw Failure("-t_srs: '" + o.target_srs + "' is not a coordinate system GDAL knows");
        if (!source)
            throw Failure(input + " has no coordinate system to reproject from: drop -t_srs, or give the input one");
        if (OSRIsGeographic(target.get()))
            throw Failure("-t_srs " + o.target_srs +
                          " is geographic (longitude/latitude): choose a projected system, such as " +
                          utm_hint(longitude, latitude));
        return wkt_of(target.get());
    }
    if (!source)
        return "";
    if (OSRIsGeographic(source)) {
        const char *name = OSRGetName(source);
        throw Failure(input + " is in geographic coordinates (" + (name ? name : "longitude/latitude") +
                      "), where a pixel is not a distance: reproject it with -t_srs, e.g. -t_srs " +
                      utm_hint(longitude, latitude));
    }
    return wkt_of(source);
}

// The one Z of a contour line; throws if the line has none or is not level.
void z_range(OGRGeometryH g, double &low, double &high)
{
    const int parts = OGR_G_GetGeometryCount(g);
    if (parts > 0) {
        for (int k = 0; k < parts; k++)
            z_range(OGR_G_GetGeometryRef(g, k), low, high);
        return;
    }
    for (int k = 0, n = OGR_G_GetPointCount(g); k < n; k++) {
        const double z = OGR_G_GetZ(g, k);
        low = std::min(low, z);
        high = std::max(high, z);
    }
}

double line_z(OGRGeometryH g, long long fid, const std::string &layer)
{
    if (!OGR_G_Is3D(g))
        throw Failure("line " + std::to_string(fid) + " of layer '" + layer +
                      "' has no Z coordinate: take the altitude from an attribute with -a");
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

} // namespace

// ---- The source's state: the lines in memory, or the contour raster. ----

namespace {

// The pixels of grid g that the extent e spans.
PixelBox box_on(const Extent &e, const Grid &g)
{
    return {static_cast<int>(std::floor((g.origin_y - e.ymax) / g.yres)),
            static_cast<int>(std::floor((e.xmin - g.origin_x) / g.xres)),
            static_cast<int>(std::floor((g.origin_y - e.ymin) / g.yres)),
            static_cast<int>(std::floor((e.xmax - g.origin_x) / g.xres))};
}

} // namespace

struct ContourSource::Impl {
    std::string input;
    RepairRequest repair;
    FootprintRequest footprint;
    Grid grid;
    LevelTable table;
    long long lines = 0;
    int line_joins = 0;
    double default_gap = 0; // the longest gap the default repair closes on the lines (pixels)
    PixelBox sheet;         // the pixels of the burned grid the contours span
    Extent lines_extent;    // the lines' extent in map units (lines only)
    // The grid burned: the grid itself, or one `factor` times finer.
    Grid fine;
    int factor = 1;
    // When finer: the footprint judged on the grid itself (empty: none), and the
    // pixels the output shows.
    std::vector<std::uint8_t> grid_inside, grid_shown;
    // The whole grid burned to judge the default repair, kept for the first
    // prepare() of the whole grid while no join changed the lines, with the map
    // of its contour pixels and their spacing when they were needed.
    mutable std::vector<std::int32_t> whole;
    mutable SiteMap whole_sites;
    mutable double whole_spacing = -1;
    // Of the lines, in pixels of the grid, by the side of the blocks measured over.
    mutable std::map<int, double> line_spacing;
    int settled = 0; // the factor `auto` gives the run, once settle_oversample() chose it
    int threads = 0; // of the library's passes over the grid, as the core's
    // Lines: a copy of the layer in memory (reprojected), with the whole altitude
    // the core sees in the field tolvane_level.
    Dataset copy;
    std::string layer_name;
    // A raster on the grid: its own band read window by window, or, when it had to
    // be warped, the whole warped grid in the core's units.
    Dataset raster;
    std::vector<std::int32_t> warped;
    // Features left out: lines without an altitude, features without a geometry.
    std::vector<long long> without_altitude, without_geometry;

    void inspect_lines(OGRLayerH layer, const SourceRequest &s);
    void open_lines(GDALDatasetH source, const SourceRequest &s, const GridRequest &g, const LevelRequest &l,
                    const RepairRequest &r);
    void open_raster(GDALDatasetH source, Dataset owned, const SourceRequest &s, const GridRequest &g,
                     const LevelRequest &l, GDALProgressFunc progress, void *progress_arg);
    std::vector<std::int32_t> burn_lines(int row, int column, int rows, int columns, GDALProgressFunc progress,
                                         void *progress_arg) const;
    std::vector<std::int32_t> read_raster(int row, int column, int rows, int columns) const;
};

namespace {

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
                      "' (its fields: " + join(fields) + "); choose one with -a, or -z for altitudes in Z");
    }
    const OGRFieldType type = OGR_Fld_GetType(OGR_FD_GetFieldDefn(defn, field));
    if (type != OFTInteger && type != OFTInteger64 && type != OFTReal)
        throw Failure("attribute '" + s.attribute + "' of layer '" + name + "' is not numeric (" +
                      OGR_GetFieldTypeName(type) + ")");
}

// A copy of the layer in memory, reprojected when asked.
Dataset copy_of(GDALDatasetH source, const std::string &name, const SourceRequest &s, const GridRequest &g)
{
    Arguments args{"-f", "Memory"};
    if (!g.target_srs.empty())
        args.add({"-t_srs", g.target_srs});
    args.add(name);
    GDALVectorTranslateOptions *translate = GDALVectorTranslateOptionsNew(args.argv(), nullptr);
    GDALDatasetH sources[1] = {source};
    Dataset copy(GDALVectorTranslate("", nullptr, 1, sources, translate, nullptr));
    GDALVectorTranslateOptionsFree(translate);
    if (!copy)
        throw Failure("cannot read layer '" + name + "' of " + s.path + ": " + gdal_reason());
    return copy;
}

} // namespace

// Every feature read once, with GDAL's errors collected: a feature GDAL cannot
// read (a file cut short, a corrupt geometry) refuses the run, since how much of
// the data is lost is unknown and a level may silently be missing; a line that is
// not a line refuses it too; features without a geometry or an altitude are only
// counted, for the report.
void ContourSource::Impl::inspect_lines(OGRLayerH layer, const SourceRequest &s)
{
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

void ContourSource::Impl::open_lines(GDALDatasetH source, const SourceRequest &s, const GridRequest &g,
                                     const LevelRequest &l, const RepairRequest &r)
{
    OGRLayerH layer = chosen_layer(source, s);
    const std::string name = OGR_L_GetName(layer);
    if (!(g.xres > 0 && g.yres > 0))
        throw UsageFailure("-tr XRES YRES is required for contour lines");
    check_attribute(layer, s);

    OGREnvelope box;
    double longitude = NAN, latitude = NAN;
    if (OGR_L_GetExtent(layer, &box, TRUE) == OGRERR_NONE) {
        longitude = (box.MinX + box.MaxX) / 2;
        latitude = (box.MinY + box.MaxY) / 2;
    }
    const std::string wkt = grid_srs(OGR_L_GetSpatialRef(layer), s.path, g, longitude, latitude);
    inspect_lines(layer, s);
    step_done("inspect lines");
    copy = copy_of(source, name, s, g);
    step_done("copy lines");
    OGRLayerH lines = GDALDatasetGetLayer(copy.get(), 0);
    layer_name = OGR_L_GetName(lines);
    const int field = s.height_from_z ? -1 : OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(lines), s.attribute.c_str());

    // Altitude of every line, in reading order; NaN for a line without one.
    std::vector<double> altitude;
    std::vector<double> values;
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
    if (values.empty())
        throw Failure("no contours: layer '" + name + "' of " + s.path + " has no line with " +
                      (field < 0 ? std::string("an altitude") : "a value of '" + s.attribute + "'"));

    table = find_levels(values, l);
    grid = place_grid(extent, g, wkt);
    this->lines = static_cast<long long>(values.size());
    const Extent e = edges(grid);
    if (extent.xmax < e.xmin || extent.xmin > e.xmax || extent.ymax < e.ymin || extent.ymin > e.ymax)
        throw Failure("no contours: none of the " + std::to_string(values.size()) + " lines of layer '" + name +
                      "' crosses the grid");

    OGRFieldDefnH level_field = OGR_Fld_Create("tolvane_level", OFTInteger);
    OGR_L_CreateField(lines, level_field, TRUE);
    OGR_Fld_Destroy(level_field);
    const int level = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(lines), "tolvane_level");
    OGR_L_ResetReading(lines);
    for (double v : altitude) {
        const Feature f(OGR_L_GetNextFeature(lines));
        if (!std::isfinite(v))
            continue;
        OGR_F_SetFieldInteger(f.get(), level, scaled(v, table));
        if (OGR_L_SetFeature(lines, f.get()) != OGRERR_NONE)
            throw Failure("cannot keep the altitudes of the lines in memory: " + gdal_reason());
    }
    fine = grid;
    lines_extent = extent;
    sheet = box_on(extent, fine);
    const double pixel = std::max(grid.xres, grid.yres);
    if (r.gaps > 0) {
        line_joins = repair_line_gaps(lines, level, r.gaps * pixel, pixel, edges(grid)).joins;
    } else if (r.gaps < 0) {
        // By default, where lines stop in the open, gaps up to the contour spacing
        // are closed on the lines.
        whole = burn_lines(0, 0, grid.rows, grid.columns, nullptr, nullptr);
        step_done("burn to judge gaps");
        sheet = lines_box(whole, grid.rows, grid.columns);
        if (!open_ends(whole, grid.rows, grid.columns).empty()) {
            whole_sites.compute(whole, grid.rows, grid.columns);
            whole_spacing = contour_spacing(whole, grid.rows, grid.columns, whole_sites);
            default_gap = tolvane::geo::gap_distance(whole_spacing);
            step_done("ends, spacing");
            line_joins = repair_line_gaps(lines, level, default_gap * pixel, pixel, edges(grid)).joins;
            step_done("repair lines");
            if (line_joins > 0) {
                whole.clear();
                whole_sites.clear();
                whole_spacing = -1;
            }
        }
    }
}

std::vector<std::int32_t> ContourSource::Impl::burn_lines(int row, int column, int rows, int columns,
                                                          GDALProgressFunc progress, void *progress_arg) const
{
    // Burned straight into the cells returned.
    std::vector<std::int32_t> cells =
        filled<std::int32_t>(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns), tolvane::EMPTY);
    Dataset burned = memory_raster_over(cells.data(), columns, rows);
    const std::array<double, 6> t = geotransform(fine, row, column);
    GDALSetGeoTransform(burned.get(), const_cast<double *>(t.data()));
    if (!fine.srs_wkt.empty())
        GDALSetProjection(burned.get(), fine.srs_wkt.c_str());
    GDALSetRasterNoDataValue(GDALGetRasterBand(burned.get(), 1), tolvane::EMPTY);
    Arguments burn{"-a", "tolvane_level", "-where", "tolvane_level IS NOT NULL", "-l", layer_name};
    GDALRasterizeOptions *rasterize = GDALRasterizeOptionsNew(burn.argv(), nullptr);
    GDALRasterizeOptionsSetProgress(rasterize, progress, progress_arg);
    const bool burnt = GDALRasterize(nullptr, burned.get(), copy.get(), rasterize, nullptr) != nullptr;
    GDALRasterizeOptionsFree(rasterize);
    if (!burnt) {
        if (progress && !progress(0, nullptr, progress_arg))
            throw Cancelled();
        throw Failure("cannot burn the lines of layer '" + layer_name + "': " + gdal_reason());
    }
    burned.reset();
    return cells;
}

namespace {

// A contour raster's cell in the core's units; EMPTY where it holds none.
std::int32_t contour_cell(double x, double nodata, bool has_nodata, const LevelTable &t)
{
    if (!std::isfinite(x) || x == tolvane::EMPTY || (has_nodata && x == nodata))
        return tolvane::EMPTY;
    return scaled(x, t);
}

bool is_contour(double x, double nodata, bool has_nodata)
{
    return std::isfinite(x) && x != tolvane::EMPTY && !(has_nodata && x == nodata);
}

} // namespace

void ContourSource::Impl::open_raster(GDALDatasetH source, Dataset owned, const SourceRequest &s, const GridRequest &g,
                                      const LevelRequest &l, GDALProgressFunc progress, void *progress_arg)
{
    double t[6];
    if (GDALGetGeoTransform(source, t) != CE_None)
        throw Failure(s.path + " has no georeference (geotransform)");
    if (t[2] != 0 || t[4] != 0 || t[1] <= 0 || t[5] >= 0)
        throw Failure(s.path + " is a rotated or south-up grid: warp it north-up first (gdalwarp)");
    const int columns = GDALGetRasterXSize(source), rows = GDALGetRasterYSize(source);
    Extent own{t[0], t[3] + rows * t[5], t[0] + columns * t[1], t[3]};
    const double longitude = (own.xmin + own.xmax) / 2, latitude = (own.ymin + own.ymax) / 2;
    const std::string wkt = grid_srs(GDALGetSpatialRef(source), s.path, g, longitude, latitude);

    const bool own_grid = !(g.xres > 0) && !g.extent && !g.aligned && g.target_srs.empty();
    if (own_grid) {
        check_size(rows, columns);
        grid = {t[0], t[3], t[1], -t[5], rows, columns, wkt};
        // The band as it is, read in blocks of lines: first its levels, then any window.
        GDALRasterBandH band = GDALGetRasterBand(source, 1);
        int has_nodata = 0;
        const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
        std::set<double> distinct;
        std::vector<double> line(static_cast<std::size_t>(columns));
        sheet = {rows, columns, -1, -1};
        for (int i = 0; i < rows; i++) {
            if (GDALRasterIO(band, GF_Read, 0, i, columns, 1, line.data(), columns, 1, GDT_Float64, 0, 0) != CE_None)
                throw Failure("cannot read " + s.path + ": " + gdal_reason());
            for (int j = 0; j < columns; j++)
                if (is_contour(line[j], nodata, has_nodata)) {
                    distinct.insert(line[j]);
                    lines++;
                    sheet = {std::min(sheet.top, i), std::min(sheet.left, j), std::max(sheet.bottom, i),
                             std::max(sheet.right, j)};
                }
            if (progress && !progress((i + 1.0) / rows, nullptr, progress_arg))
                throw Cancelled();
        }
        if (distinct.empty())
            throw Failure("no contours: " + s.path + " has no valid cell on the grid");
        table = find_levels({distinct.begin(), distinct.end()}, l);
        raster = std::move(owned);
        fine = grid;
        return;
    }

    GridRequest on_grid = g;
    if (!(g.xres > 0)) {
        if (!g.target_srs.empty())
            throw UsageFailure("-tr XRES YRES is required to reproject a raster");
        on_grid.xres = t[1];
        on_grid.yres = -t[5];
    }
    // The grid over the input's extent in the target system.
    Extent box = own;
    if (!g.target_srs.empty()) {
        Srs from(OSRClone(GDALGetSpatialRef(source)));
        Srs to(OSRNewSpatialReference(nullptr));
        OSRSetFromUserInput(to.get(), g.target_srs.c_str());
        OSRSetAxisMappingStrategy(from.get(), OAMS_TRADITIONAL_GIS_ORDER);
        OSRSetAxisMappingStrategy(to.get(), OAMS_TRADITIONAL_GIS_ORDER);
        OGRCoordinateTransformationH ct = OCTNewCoordinateTransformation(from.get(), to.get());
        const bool moved = ct && OCTTransformBounds(ct, own.xmin, own.ymin, own.xmax, own.ymax, &box.xmin, &box.ymin,
                                                    &box.xmax, &box.ymax, 21);
        if (ct)
            OCTDestroyCoordinateTransformation(ct);
        if (!moved)
            throw Failure("cannot reproject the extent of " + s.path + " to " + g.target_srs + ": " + gdal_reason());
    }
    grid = place_grid(box, on_grid, wkt);

    // Nearest-neighbour warp onto the grid: each grid cell takes the contour value
    // of the input cell under its centre.
    const Extent e = edges(grid);
    Arguments warp{"-of", "MEM", "-r", "near", "-ot", "Float64", "-dstnodata", "nan"};
    warp.add({"-te", exact(e.xmin), exact(e.ymin), exact(e.xmax), exact(e.ymax)});
    warp.add({"-ts", std::to_string(grid.columns), std::to_string(grid.rows)});
    if (!g.target_srs.empty())
        warp.add({"-t_srs", g.target_srs});
    GDALWarpAppOptions *warp_options = GDALWarpAppOptionsNew(warp.argv(), nullptr);
    GDALWarpAppOptionsSetProgress(warp_options, progress, progress_arg);
    GDALDatasetH sources[1] = {source};
    Dataset warped_grid(GDALWarp("", nullptr, 1, sources, warp_options, nullptr));
    GDALWarpAppOptionsFree(warp_options);
    if (!warped_grid) {
        if (progress && !progress(0, nullptr, progress_arg))
            throw Cancelled();
        throw Failure("cannot read " + s.path + " onto the grid: " + gdal_reason());
    }
    std::vector<double> v(static_cast<std::size_t>(grid.rows) * static_cast<std::size_t>(grid.columns));
    if (GDALRasterIO(GDALGetRasterBand(warped_grid.get(), 1), GF_Read, 0, 0, grid.columns, grid.rows, v.data(),
                     grid.columns, grid.rows, GDT_Float64, 0, 0) != CE_None)
        throw Failure("cannot read " + s.path + ": " + gdal_reason());
    warped_grid.reset();
    std::set<double> distinct;
    for (double x : v)
        if (is_contour(x, 0, false)) {
            distinct.insert(x);
            lines++;
        }
    if (distinct.empty())
        throw Failure("no contours: " + s.path + " has no valid cell on the grid");
    table = find_levels({distinct.begin(), distinct.end()}, l);
    warped.resize(v.size());
    for (std::size_t k = 0; k < v.size(); k++)
        warped[k] = contour_cell(v[k], 0, false, table);
    sheet = lines_box(warped, grid.rows, grid.columns);
    fine = grid;
}

std::vector<std::int32_t> ContourSource::Impl::read_raster(int row, int column, int rows, int columns) const
{
    std::vector<std::int32_t> cells(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns),
                                    tolvane::EMPTY);
    // The part of the window on the grid.
    const int r0 = std::max(row, 0), r1 = std::min(row + rows, grid.rows);
    const int c0 = std::max(column, 0), c1 = std::min(column + columns, grid.columns);
    if (r0 >= r1 || c0 >= c1)
        return cells;
    const std::size_t width = static_cast<std::size_t>(c1 - c0);
    if (!raster) {
        for (int i = r0; i < r1; i++)
            std::copy_n(&warped[static_cast<std::size_t>(i) * grid.columns + c0], width,
                        &cells[static_cast<std::size_t>(i - row) * columns + (c0 - column)]);
        return cells;
    }
    GDALRasterBandH band = GDALGetRasterBand(raster.get(), 1);
    int has_nodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
    std::vector<double> line(width);
    for (int i = r0; i < r1; i++) {
        if (GDALRasterIO(band, GF_Read, c0, i, c1 - c0, 1, line.data(), c1 - c0, 1, GDT_Float64, 0, 0) != CE_None)
            throw Failure("cannot read " + input + ": " + gdal_reason());
        std::int32_t *out = &cells[static_cast<std::size_t>(i - row) * columns + (c0 - column)];
        for (std::size_t k = 0; k < width; k++)
            out[k] = contour_cell(line[k], nodata, has_nodata, table);
    }
    return cells;
}

// ---- The public face. ----

ContourSource::ContourSource(const Request &q, GDALProgressFunc progress, void *progress_arg)
    : impl_(std::make_unique<Impl>())
{
    const SourceRequest &s = q.source;
    const GridRequest &g = q.grid;
    const LevelRequest &l = q.levels;
    const RepairRequest &r = q.repair;
    impl_->input = s.path;
    impl_->threads = q.core.threads;
    const PassThreads threads(q.core.threads);
    impl_->repair = q.repair;
    impl_->footprint = q.footprint;
    const bool mask_file = !q.footprint.mask.empty() && q.footprint.mask != "auto";
    check_readable_kind(s.path, "the lines");
    if (mask_file)
        check_readable_kind(q.footprint.mask, "the footprint");
    Dataset source(
        GDALOpenEx(s.path.c_str(), GDAL_OF_VECTOR | GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!source) {
        VSIStatBufL st;
        if (VSIStatL(s.path.c_str(), &st) != 0)
            throw Failure("cannot open " + s.path + ": no such file");
        throw Failure("GDAL reads neither lines nor a raster from " + s.path);
    }
    // No product may replace a file that this run reads.
    std::vector<std::string> inputs{s.path};
    char **list = GDALGetFileList(source.get());
    for (char **f = list; f && *f; f++)
        inputs.emplace_back(*f);
    CSLDestroy(list);
    if (mask_file)
        for (const std::string &f : files_of(q.footprint.mask))
            inputs.push_back(f);
    check_outputs_against(q.product, inputs);
    if (GDALDatasetGetLayerCount(source.get()) > 0)
        impl_->open_lines(source.get(), s, g, l, r);
    else if (GDALGetRasterCount(source.get()) > 0) {
        GDALDatasetH handle = source.get();
        impl_->open_raster(handle, std::move(source), s, g, l, progress, progress_arg);
    } else
        throw Failure(s.path + " holds neither layers nor raster bands");
}

ContourSource::~ContourSource() = default;

const Grid &ContourSource::grid() const { return impl_->grid; }
const LevelTable &ContourSource::table() const { return impl_->table; }
long long ContourSource::lines() const { return impl_->lines; }
int ContourSource::line_joins() const { return impl_->line_joins; }
double ContourSource::gap_distance() const { return impl_->default_gap; }
bool ContourSource::raster() const { return !impl_->copy; }
int ContourSource::oversample() const { return impl_->factor; }
Extent ContourSource::lines_extent() const { return impl_->copy ? impl_->lines_extent : edges(impl_->grid); }

double ContourSource::line_spacing(int block) const
{
    if (!impl_->copy)
        return std::numeric_limits<double>::infinity();
    // Each window of a tiled run asks again: measured once per block size.
    const auto [kept, fresh] = impl_->line_spacing.try_emplace(block, 0.0);
    if (fresh)
        kept->second = tolvane::geo::line_spacing(GDALDatasetGetLayer(impl_->copy.get(), 0), impl_->grid, block);
    return kept->second;
}

int ContourSource::choose_oversample(int requested) const
{
    if (requested > OVERSAMPLE_MAX)
        throw UsageFailure("-oversample: at most " + std::to_string(OVERSAMPLE_MAX));
    if (raster()) {
        if (requested > 1)
            throw UsageFailure("-oversample: a contour raster is used on its own pixels; give no -oversample");
        return 1;
    }
    if (requested > 0)
        return requested;
    const Grid &g = impl_->grid;
    return auto_oversample(line_spacing(), static_cast<double>(g.rows) * g.columns);
}

int ContourSource::settle_oversample(const Request &q, Computed *whole, GDALProgressFunc progress,
                                     void *progress_arg)
{
    Impl &s = *impl_;
    if (q.core.oversample != 0) { // a factor asked for needs no decision
        set_oversample(choose_oversample(q.core.oversample));
        return s.factor;
    }
    if (s.settled == 0) {
        s.settled = choose_oversample(0);
        if (tries_finer(0, s.settled, static_cast<double>(s.grid.rows) * s.grid.columns)) {
            set_oversample(AUTO_OVERSAMPLE_FINE);
            Computed c = compute(*this, q, 0, 0, s.grid.rows, s.grid.columns, 0, progress, progress_arg);
            if (static_cast<double>(c.leak_pixels) <= LEAKY_SHARE * static_cast<double>(c.zone_pixels)) {
                s.settled = AUTO_OVERSAMPLE_FINE;
                if (whole)
                    *whole = std::move(c);
            }
        }
    }
    set_oversample(s.settled);
    return s.settled;
}

void ContourSource::set_oversample(int n)
{
    Impl &s = *impl_;
    if (n == s.factor)
        return;
    if (n > 1 && raster())
        throw UsageFailure("-oversample: a contour raster is used on its own pixels; give no -oversample");
    // The pixels a footprint of polygons (or their hull) shows are those of the
    // grid itself; the hull is also carried to the finer grid, eroded, so that no
    // corridor of empty cells opens along its edge. The polygons' wall and a
    // footprint drawn from the lines are drawn on the finer grid.
    s.factor = 1;
    s.fine = s.grid;
    if (!s.footprint.mask.empty() && s.footprint.mask != "none") {
        Window on_grid = prepare(0, 0, s.grid.rows, s.grid.columns);
        s.grid_inside = std::move(on_grid.inside);
        s.grid_shown = std::move(on_grid.shown);
    }
    s.factor = n;
    s.fine = n == 1 ? s.grid : finer(s.grid, n);
    check_size(s.fine.rows, s.fine.columns);
    s.sheet = box_on(s.lines_extent, s.fine);
    s.whole.clear();
    s.whole_sites.clear();
    s.whole_spacing = -1;
}
const std::vector<long long> &ContourSource::without_altitude() const { return impl_->without_altitude; }
const std::vector<long long> &ContourSource::without_geometry() const { return impl_->without_geometry; }

std::vector<std::int32_t> ContourSource::burn(int row, int column, int rows, int columns, GDALProgressFunc progress,
                                              void *progress_arg) const
{
    if (rows <= 0 || columns <= 0)
        throw Failure("a window of " + std::to_string(rows) + " x " + std::to_string(columns) + " pixels is empty");
    check_size(rows, columns);
    if (impl_->copy)
        return impl_->burn_lines(row, column, rows, columns, progress, progress_arg);
    return impl_->read_raster(row, column, rows, columns);
}

namespace {

// The part of a window the core may label: what within_lines_extent gives on the
// whole grid, from the box of the whole sheet's contours.
std::vector<std::uint8_t> within_sheet(const PixelBox &sheet, int row, int column, int rows, int columns)
{
    std::vector<std::uint8_t> inside =
        filled<std::uint8_t>(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns), 1);
    if (sheet.empty())
        return inside;
    const int top = sheet.top <= 1 ? 0 : sheet.top, left = sheet.left <= 1 ? 0 : sheet.left;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++)
            if (row + i < top || row + i > sheet.bottom || column + j < left || column + j > sheet.right)
                inside[static_cast<std::size_t>(i) * columns + j] = 0;
    return inside;
}

long long zeros(const std::vector<std::uint8_t> &mask) { return std::count(mask.begin(), mask.end(), std::uint8_t{0}); }

} // namespace

Window ContourSource::prepare(int row, int column, int rows, int columns, GDALProgressFunc progress,
                              void *progress_arg) const
{
    const Impl &s = *impl_;
    const bool whole_grid = row == 0 && column == 0 && rows == s.fine.rows && columns == s.fine.columns;
    const double n = s.factor; // distances in pixels of the grid are n times as many burned cells
    const PassThreads threads(s.threads);
    Window w{row, column, rows, columns, {}, {}, {}, 0, 0, 0, 0, 0, 0};
    // The map of the contour pixels serves the contour spacing and the drawn
    // footprint, computed once while the cells stay as they are.
    SiteMap lines;
    double spacing_found = -1;
    if (whole_grid && !s.whole.empty()) {
        w.cells = std::move(s.whole);
        s.whole.clear();
        lines = std::move(s.whole_sites);
        s.whole_sites.clear();
        spacing_found = s.whole_spacing;
        s.whole_spacing = -1;
    } else {
        w.cells = burn(row, column, rows, columns, progress, progress_arg);
    }
    step_done("prepare: burn");
    const auto spacing = [&] {
        if (spacing_found < 0) {
            if (lines.empty())
                lines.compute(w.cells, rows, columns);
            spacing_found = contour_spacing(w.cells, rows, columns, lines);
        }
        return spacing_found;
    };

    // Gaps: the distance given, or the contour spacing where lines stop in the open.
    std::vector<std::size_t> ends = open_ends(w.cells, rows, columns);
    w.gap_distance = n * (s.repair.gaps >= 0 ? s.repair.gaps
                          : ends.empty()     ? 0
                          : s.default_gap > 0 ? s.default_gap
                                              : tolvane::geo::gap_distance(spacing() / n));
    if (w.gap_distance > 0) {
        Repairs repairs = repair_gaps(w.cells, rows, columns, w.gap_distance);
        // What the repair closes on the pixels, closed on the finer grid too.
        repair_gaps_as_pixels(w.cells, rows, columns, s.factor, w.gap_distance / n, repairs);
        w.grid_joins = repairs.joins;
        if (w.grid_joins > 0) {
            ends = open_ends(w.cells, rows, columns);
            lines.clear();
            spacing_found = -1;
        }
    }

    step_done("prepare: gaps");
    // The footprint: drawn through the open ends, the convex hull, a file, or none.
    // On a finer grid the hull is that of the grid itself; the polygons of a file
    // are taken on the finer grid, whose cells follow their edge closer than the
    // pixels: a pixel of the grid whose centre lies inside may reach a cell or
    // more past the edge, where the lines stop, and along such pixels (at the
    // grid's edge, where no erosion reaches) the bands would join. Either way a
    // pixel is shown as on the grid itself.
    const std::string &mask = s.footprint.mask;
    const bool carried = s.factor > 1 && !mask.empty() && mask != "none";
    if (carried && mask == "auto") {
        if (!s.grid_inside.empty())
            w.inside = finer_footprint(s.grid_inside, s.grid.columns, s.factor, row, column, rows, columns);
    } else if (mask.empty()) {
        w.open_ends = ends.size();
        if (!ends.empty()) {
            // The radius is the spacing of the lines on the grid burned, at least 2 of
            // its cells, whatever the factor: a floor of 2 pixels of the grid asked
            // for closes the narrow inlets of a coast on the finer grid, where the
            // lines of both shores then open into one empty strip.
            w.radius = footprint_radius(spacing());
            w.inside = footprint_of_ends(w.cells, rows, columns, ends, w.radius, n, lines);
            open_leaking_inlets(w.cells, rows, columns, w.radius, lines, s.table.levels.interval, w.inside);
        }
    } else if (mask == "auto") {
        w.inside = footprint_of_lines(w.cells, rows, columns);
    } else if (mask != "none") {
        Grid on_window = s.fine;
        on_window.origin_x += column * on_window.xres;
        on_window.origin_y -= row * on_window.yres;
        on_window.rows = rows;
        on_window.columns = columns;
        w.inside = footprint_from_file(mask, on_window);
        // Lines drawn from a raster of the grid's pixel stop up to half a pixel
        // short of the edge of its valid area: on the finer grid the wall starts
        // that far inside, so that no corridor of empty cells opens along it.
        if (s.factor > 1)
            w.inside = erode(std::move(w.inside), rows, columns, s.factor / 2);
    }
    // Beyond the lines' extent the zones would run along the grid's margin.
    const bool footprint = !w.inside.empty();
    const std::vector<std::uint8_t> extent = whole_grid ? within_lines_extent(w.cells, rows, columns)
                                                        : within_sheet(s.sheet, row, column, rows, columns);
    if (w.inside.empty())
        w.inside = extent;
    else
        for (std::size_t k = 0; k < extent.size(); k++)
            w.inside[k] = w.inside[k] && extent[k];
    step_done("prepare: footprint");
    w.outside = zeros(w.inside);
    // Gaps the repairs left open, found by the bands that run through them once
    // nothing but the lines and the wall stops the zones.
    const auto seal = [&] {
        if (w.gap_distance > 0)
            w.grid_joins +=
                seal_leaks(w.cells, rows, columns, w.inside, s.table.levels.interval, w.gap_distance).joins;
        step_done("prepare: seal");
    };
    if (w.outside == 0) {
        w.inside.clear();
        seal();
        return w;
    }
    // Lines that stop just short of the edge of a footprint given are carried to it.
    if (footprint && !mask.empty() && w.gap_distance > 0) {
        Repairs reached;
        reach_footprint_edge(w.cells, rows, columns, w.inside, w.gap_distance, reached);
        w.grid_joins += reached.joins;
    }
    if (footprint) {
        // The wall seldom needs the map of the lines: its memory goes back first.
        lines.clear();
        wall_outside(w.cells, rows, columns, w.inside, lines);
    } else {
        wall_from_nearest_line(w.cells, rows, columns, w.inside, lines);
    }
    lines.clear();
    step_done("prepare: wall");
    seal();
    // A drawn footprint shows the walled pixel next to it too: the lines' ends lie on its edge.
    if (carried) {
        w.shown.assign(w.inside.size(), 1);
        if (!s.grid_shown.empty())
            for (int i = 0; i < rows; i++)
                for (int j = 0; j < columns; j++)
                    w.shown[static_cast<std::size_t>(i) * columns + j] =
                        s.grid_shown[static_cast<std::size_t>((row + i) / s.factor) * s.grid.columns +
                                     (column + j) / s.factor];
    } else {
        w.shown = mask.empty() || mask == "none" ? grown_by_one_pixel(w.inside, rows, columns) : w.inside;
    }
    w.hidden = zeros(w.shown);
    step_done("prepare: shown");
    return w;
}

// ---- Grid placement. ----

void check_size(double rows, double columns)
{
    const double cells = rows * columns;
    const std::string size = decimal(rows) + " rows and " + decimal(columns) + " columns";
    if (rows > INT_MAX || columns > INT_MAX || cells > 1e15)
        throw Failure("a grid of " + size + " is too large: choose a larger -tr or a smaller -te");
    const double ram = static_cast<double>(CPLGetUsablePhysicalRAM());
    const double need = cells * BYTES_PER_CELL;
    if (ram > 0 && need > ram)
        throw Failure("a grid of " + size + " needs about " + gib(need) + " of memory, this machine has " + gib(ram) +
                      ": choose a larger -tr or a smaller -te");
}

std::array<double, 6> geotransform(const Grid &g, int row, int column)
{
    return {g.origin_x + column * g.xres, g.xres, 0, g.origin_y - row * g.yres, 0, -g.yres};
}

Extent edges(const Grid &g)
{
    return {g.origin_x, g.origin_y - g.rows * g.yres, g.origin_x + g.columns * g.xres, g.origin_y};
}

Grid place_grid(const Extent &box, const GridRequest &o, const std::string &srs_wkt)
{
    if (!(o.xres > 0 && o.yres > 0))
        throw UsageFailure("-tr XRES YRES is required for contour lines");
    Extent e = o.extent ? *o.extent
                        : Extent{box.xmin - o.xres, box.ymin - o.yres, box.xmax + o.xres, box.ymax + o.yres};
    if (o.aligned) {
        e.xmin = std::floor(e.xmin / o.xres) * o.xres;
        e.xmax = std::ceil(e.xmax / o.xres) * o.xres;
        e.ymin = std::floor(e.ymin / o.yres) * o.yres;
        e.ymax = std::ceil(e.ymax / o.yres) * o.yres;
    }
    // A given extent is divided as GDAL's utilities do (to the nearest whole number
    // of pixels); the lines' box is covered entirely.
    auto count = [&o](double width, double res) {
        const double n = width / res;
        if (o.extent || std::fabs(n - std::nearbyint(n)) <= 1e-9 * std::max(1.0, n))
            return std::max(1.0, std::nearbyint(n));
        return std::ceil(n);
    };
    const double columns = count(e.xmax - e.xmin, o.xres);
    const double rows = count(e.ymax - e.ymin, o.yres);
    check_size(rows, columns);
    // The default grid covers the box with whole pixels: the part of a pixel left
    // over is shared between both sides, so that the lines lie as far from the
    // left edge as from the right, and from the top as from the bottom.
    if (!o.extent && !o.aligned) {
        const double left_over_x = columns * o.xres - (e.xmax - e.xmin);
        const double left_over_y = rows * o.yres - (e.ymax - e.ymin);
        if (left_over_x > 1e-9 * o.xres)
            e.xmin -= left_over_x / 2;
        if (left_over_y > 1e-9 * o.yres)
            e.ymax += left_over_y / 2;
    }
    return {e.xmin, e.ymax, o.xres, o.yres, static_cast<int>(rows), static_cast<int>(columns), srs_wkt};
}

} // namespace tolvane::geo
