// From the input to the grid the core receives: opening, coordinate systems,
// reprojection, the altitude of every line, the level table and the burning.
#include "failure.h"
#include "gdal_handles.h"
#include "grid.h"
#include "repair.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace geo {

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
std::string grid_srs(OGRSpatialReferenceH source, const Options &o, double longitude, double latitude)
{
    if (!o.target_srs.empty()) {
        Srs target(OSRNewSpatialReference(nullptr));
        if (OSRSetFromUserInput(target.get(), o.target_srs.c_str()) != OGRERR_NONE)
            throw Failure("-t_srs: '" + o.target_srs + "' is not a coordinate system GDAL knows");
        if (!source)
            throw Failure(o.input + " has no coordinate system to reproject from: drop -t_srs, or give the input one");
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
        throw Failure(o.input + " is in geographic coordinates (" + (name ? name : "longitude/latitude") +
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

Extent empty_box()
{
    const double inf = std::numeric_limits<double>::infinity();
    return {inf, inf, -inf, -inf};
}

ContourGrid from_vector(const Options &o, GDALDatasetH source, GDALProgressFunc progress, void *progress_data)
{
    OGRLayerH layer = o.layer.empty() ? GDALDatasetGetLayer(source, 0)
                                      : GDALDatasetGetLayerByName(source, o.layer.c_str());
    if (!layer) {
        std::vector<std::string> names;
        for (int k = 0; k < GDALDatasetGetLayerCount(source); k++)
            names.push_back(OGR_L_GetName(GDALDatasetGetLayer(source, k)));
        throw Failure(o.input + " has no layer '" + o.layer + "' (its layers: " + join(names) + ")");
    }
    const std::string name = OGR_L_GetName(layer);
    if (!o.has_resolution)
        throw UsageFailure("-tr XRES YRES is required for contour lines");

    OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
    if (!o.height_from_z) {
        const int field = OGR_FD_GetFieldIndex(defn, o.attribute.c_str());
        if (field < 0) {
            std::vector<std::string> fields;
            for (int k = 0; k < OGR_FD_GetFieldCount(defn); k++)
                fields.push_back(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(defn, k)));
            throw Failure("layer '" + name + "' of " + o.input + " has no attribute '" + o.attribute +
                          "' (its fields: " + join(fields) + "); choose one with -a, or -z for altitudes in Z");
        }
        const OGRFieldType type = OGR_Fld_GetType(OGR_FD_GetFieldDefn(defn, field));
        if (type != OFTInteger && type != OFTInteger64 && type != OFTReal)
            throw Failure("attribute '" + o.attribute + "' of layer '" + name + "' is not numeric (" +
                          OGR_GetFieldTypeName(type) + ")");
    }

    OGREnvelope box;
    double longitude = NAN, latitude = NAN;
    if (OGR_L_GetExtent(layer, &box, TRUE) == OGRERR_NONE) {
        longitude = (box.MinX + box.MaxX) / 2;
        latitude = (box.MinY + box.MaxY) / 2;
    }
    const std::string wkt = grid_srs(OGR_L_GetSpatialRef(layer), o, longitude, latitude);

    // A copy of the layer in memory, reprojected when asked; it also receives the
    // scaled whole altitude that is burned.
    Arguments args{"-f", "Memory"};
    if (!o.target_srs.empty())
        args.add({"-t_srs", o.target_srs});
    args.add(name);
    GDALVectorTranslateOptions *translate = GDALVectorTranslateOptionsNew(args.argv(), nullptr);
    GDALDatasetH sources[1] = {source};
    Dataset copy(GDALVectorTranslate("", nullptr, 1, sources, translate, nullptr));
    GDALVectorTranslateOptionsFree(translate);
    if (!copy)
        throw Failure("cannot read layer '" + name + "' of " + o.input + ": " + gdal_reason());
    OGRLayerH lines = GDALDatasetGetLayer(copy.get(), 0);
    const int field = o.height_from_z ? -1 : OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(lines), o.attribute.c_str());

    // Altitude of every line, in reading order; NaN for a line without one.
    std::vector<double> altitude;
    std::vector<double> values;
    Extent extent = empty_box();
    OGR_L_ResetReading(lines);
    while (OGRFeatureH next = OGR_L_GetNextFeature(lines)) {
        const Feature owned(next);
        OGRFeatureH f = owned.get();
        OGRGeometryH g = OGR_F_GetGeometryRef(f);
        double v = NAN;
        if (g && !OGR_G_IsEmpty(g)) {
            if (field < 0)
                v = line_z(g, OGR_F_GetFID(f), name);
            else if (OGR_F_IsFieldSetAndNotNull(f, field))
                v = OGR_F_GetFieldAsDouble(f, field);
        }
        if (std::isfinite(v)) {
            OGREnvelope e;
            OGR_G_GetEnvelope(g, &e);
            extent = {std::min(extent.xmin, e.MinX), std::min(extent.ymin, e.MinY), std::max(extent.xmax, e.MaxX),
                      std::max(extent.ymax, e.MaxY)};
            values.push_back(v);
        }
        altitude.push_back(v);
    }
    if (values.empty())
        throw Failure("no contours: layer '" + name + "' of " + o.input + " has no line with " +
                      (field < 0 ? std::string("an altitude") : "a value of '" + o.attribute + "'"));

    ContourGrid c;
    c.table = level_table(values, o.levels ? &*o.levels : nullptr, o.scale);
    c.grid = grid_over(extent, o, wkt);
    c.lines = static_cast<long long>(values.size());

    OGRFieldDefnH level_field = OGR_Fld_Create("tolvane_level", OFTInteger);
    OGR_L_CreateField(lines, level_field, TRUE);
    OGR_Fld_Destroy(level_field);
    const int level = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(lines), "tolvane_level");
    OGR_L_ResetReading(lines);
    for (double v : altitude) {
        const Feature f(OGR_L_GetNextFeature(lines));
        if (!std::isfinite(v))
            continue;
        OGR_F_SetFieldInteger(f.get(), level, scaled(v, c.table.scale));
        if (OGR_L_SetFeature(lines, f.get()) != OGRERR_NONE)
            throw Failure("cannot keep the altitudes of the lines in memory: " + gdal_reason());
    }

    const Grid &g = c.grid;
    if (o.repair_gaps > 0) {
        const double pixel = std::max(g.xres, g.yres);
        const Extent edges{g.origin_x, g.origin_y - g.rows * g.yres, g.origin_x + g.columns * g.xres, g.origin_y};
        c.line_joins = repair_line_gaps(lines, level, o.repair_gaps * pixel, pixel, edges).joins;
    }
    Dataset burned = memory_raster(g.columns, g.rows, GDT_Int32);
    double transform[6] = {g.origin_x, g.xres, 0, g.origin_y, 0, -g.yres};
    GDALSetGeoTransform(burned.get(), transform);
    GDALRasterBandH band = GDALGetRasterBand(burned.get(), 1);
    GDALSetRasterNoDataValue(band, tolvane::EMPTY);
    GDALFillRaster(band, tolvane::EMPTY, 0);
    Arguments burn{"-a", "tolvane_level", "-where", "tolvane_level IS NOT NULL", "-l", OGR_L_GetName(lines)};
    GDALRasterizeOptions *rasterize = GDALRasterizeOptionsNew(burn.argv(), nullptr);
    GDALRasterizeOptionsSetProgress(rasterize, progress, progress_data);
    const bool burnt = GDALRasterize(nullptr, burned.get(), copy.get(), rasterize, nullptr) != nullptr;
    GDALRasterizeOptionsFree(rasterize);
    if (!burnt)
        throw Failure("cannot burn the lines of layer '" + name + "': " + gdal_reason());

    c.cells.resize(static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.columns));
    if (GDALRasterIO(band, GF_Read, 0, 0, g.columns, g.rows, c.cells.data(), g.columns, g.rows, GDT_Int32, 0, 0) !=
        CE_None)
        throw Failure("cannot read the burned grid: " + gdal_reason());
    if (std::all_of(c.cells.begin(), c.cells.end(), [](std::int32_t v) { return v == tolvane::EMPTY; }))
        throw Failure("no contours: none of the " + std::to_string(c.lines) + " lines of layer '" + name +
                      "' crosses the grid");
    return c;
}

ContourGrid from_raster(const Options &o, GDALDatasetH source, GDALProgressFunc progress, void *progress_data)
{
    double t[6];
    if (GDALGetGeoTransform(source, t) != CE_None)
        throw Failure(o.input + " has no georeference (geotransform)");
    if (t[2] != 0 || t[4] != 0 || t[1] <= 0 || t[5] >= 0)
        throw Failure(o.input + " is a rotated or south-up grid: warp it north-up first (gdalwarp)");
    const int columns = GDALGetRasterXSize(source), rows = GDALGetRasterYSize(source);
    Extent own{t[0], t[3] + rows * t[5], t[0] + columns * t[1], t[3]};
    const double longitude = (own.xmin + own.xmax) / 2, latitude = (own.ymin + own.ymax) / 2;
    const std::string wkt = grid_srs(GDALGetSpatialRef(source), o, longitude, latitude);

    ContourGrid c;
    Grid &g = c.grid;
    const bool own_grid = !o.has_resolution && !o.extent && !o.aligned && o.target_srs.empty();
    if (own_grid) {
        check_size(rows, columns);
        g = {t[0], t[3], t[1], -t[5], rows, columns, wkt};
    } else {
        Options on_grid = o;
        if (!o.has_resolution) {
            if (!o.target_srs.empty())
                throw UsageFailure("-tr XRES YRES is required to reproject a raster");
            on_grid.xres = t[1];
            on_grid.yres = -t[5];
        }
        // The grid over the input's extent in the target system.
        Extent box = own;
        if (!o.target_srs.empty()) {
            Srs from(OSRClone(GDALGetSpatialRef(source)));
            Srs to(OSRNewSpatialReference(nullptr));
            OSRSetFromUserInput(to.get(), o.target_srs.c_str());
            OSRSetAxisMappingStrategy(from.get(), OAMS_TRADITIONAL_GIS_ORDER);
            OSRSetAxisMappingStrategy(to.get(), OAMS_TRADITIONAL_GIS_ORDER);
            OGRCoordinateTransformationH ct = OCTNewCoordinateTransformation(from.get(), to.get());
            const bool moved = ct && OCTTransformBounds(ct, own.xmin, own.ymin, own.xmax, own.ymax, &box.xmin, &box.ymin,
                                                        &box.xmax, &box.ymax, 21);
            if (ct)
                OCTDestroyCoordinateTransformation(ct);
            if (!moved)
                throw Failure("cannot reproject the extent of " + o.input + " to " + o.target_srs + ": " + gdal_reason());
        }
        g = grid_over(box, on_grid, wkt);
    }

    // Nearest-neighbour warp onto the grid: the input's own grid is copied cell for
    // cell, any other takes the contour value of the input cell under each centre.
    Arguments warp{"-of", "MEM", "-r", "near", "-ot", "Float64", "-dstnodata", "nan"};
    warp.add({"-te", exact(g.origin_x), exact(g.origin_y - g.rows * g.yres), exact(g.origin_x + g.columns * g.xres),
              exact(g.origin_y)});
    warp.add({"-ts", std::to_string(g.columns), std::to_string(g.rows)});
    if (!o.target_srs.empty())
        warp.add({"-t_srs", o.target_srs});
    GDALWarpAppOptions *warp_options = GDALWarpAppOptionsNew(warp.argv(), nullptr);
    GDALWarpAppOptionsSetProgress(warp_options, progress, progress_data);
    GDALDatasetH sources[1] = {source};
    Dataset on_grid(GDALWarp("", nullptr, 1, sources, warp_options, nullptr));
    GDALWarpAppOptionsFree(warp_options);
    if (!on_grid)
        throw Failure("cannot read " + o.input + " onto the grid: " + gdal_reason());

    std::vector<double> v(static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.columns));
    if (GDALRasterIO(GDALGetRasterBand(on_grid.get(), 1), GF_Read, 0, 0, g.columns, g.rows, v.data(), g.columns,
                     g.rows, GDT_Float64, 0, 0) != CE_None)
        throw Failure("cannot read " + o.input + ": " + gdal_reason());
    on_grid.reset();
    std::set<double> distinct;
    for (double x : v)
        if (std::isfinite(x) && x != tolvane::EMPTY) {
            distinct.insert(x);
            c.lines++;
        }
    if (distinct.empty())
        throw Failure("no contours: " + o.input + " has no valid cell on the grid");
    c.table = level_table({distinct.begin(), distinct.end()}, o.levels ? &*o.levels : nullptr, o.scale);
    c.cells.resize(v.size());
    for (std::size_t k = 0; k < v.size(); k++)
        c.cells[k] = std::isfinite(v[k]) && v[k] != tolvane::EMPTY ? scaled(v[k], c.table.scale) : tolvane::EMPTY;
    return c;
}

} // namespace

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

Grid grid_over(const Extent &box, const Options &o, const std::string &srs_wkt)
{
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
    return {e.xmin, e.ymax, o.xres, o.yres, static_cast<int>(rows), static_cast<int>(columns), srs_wkt};
}

ContourGrid burn_contours(const Options &o, GDALProgressFunc progress, void *progress_data)
{
    Dataset source(GDALOpenEx(o.input.c_str(), GDAL_OF_VECTOR | GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr,
                              nullptr));
    if (!source) {
        VSIStatBufL st;
        if (VSIStatL(o.input.c_str(), &st) != 0)
            throw Failure("cannot open " + o.input + ": no such file");
        throw Failure("GDAL reads neither lines nor a raster from " + o.input);
    }
    if (GDALDatasetGetLayerCount(source.get()) > 0)
        return from_vector(o, source.get(), progress, progress_data);
    if (GDALGetRasterCount(source.get()) > 0)
        return from_raster(o, source.get(), progress, progress_data);
    throw Failure(o.input + " holds neither layers nor raster bands");
}

} // namespace geo
