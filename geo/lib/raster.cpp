#include "raster.h"

#include "failure.h"
#include "grid.h"
#include "levels.h"
#include "srs.h"

#include <algorithm>
#include <cmath>
#include <set>

#include <gdal_utils.h>

namespace tolvane::geo {

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

// The band as it is, read in blocks of lines: first its levels, then any window.
ContourRaster read_own_grid(GDALDatasetH source, Dataset owned, const double *t, const std::string &wkt,
                            const SourceRequest &s, const LevelRequest &l, GDALProgressFunc progress,
                            void *progress_arg)
{
    const int columns = GDALGetRasterXSize(source), rows = GDALGetRasterYSize(source);
    check_size(rows, columns);
    ContourRaster r;
    r.path = s.path;
    r.grid = {t[0], t[3], t[1], -t[5], rows, columns, wkt};
    GDALRasterBandH band = GDALGetRasterBand(source, 1);
    int has_nodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
    std::set<double> distinct;
    std::vector<double> line(static_cast<std::size_t>(columns));
    r.sheet = {rows, columns, -1, -1};
    for (int i = 0; i < rows; i++) {
        if (GDALRasterIO(band, GF_Read, 0, i, columns, 1, line.data(), columns, 1, GDT_Float64, 0, 0) != CE_None)
            throw Failure("cannot read " + s.path + ": " + gdal_reason());
        for (int j = 0; j < columns; j++)
            if (is_contour(line[j], nodata, has_nodata)) {
                distinct.insert(line[j]);
                r.cells++;
                r.sheet = {std::min(r.sheet.top, i), std::min(r.sheet.left, j), std::max(r.sheet.bottom, i),
                           std::max(r.sheet.right, j)};
            }
        if (progress && !progress((i + 1.0) / rows, nullptr, progress_arg))
            throw Cancelled();
    }
    if (distinct.empty())
        throw Failure("no contours: " + s.path + " has no valid cell on the grid");
    r.table = find_levels({distinct.begin(), distinct.end()}, l);
    r.band = std::move(owned);
    return r;
}

// The input's extent in the target system.
Extent extent_in(const Extent &own, GDALDatasetH source, const SourceRequest &s, const GridRequest &g)
{
    if (g.target_srs.empty())
        return own;
    Extent box = own;
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
    return box;
}

// Nearest-neighbour warp onto the grid: each grid cell takes the contour value
// of the input cell under its centre (NaN where none).
std::vector<double> warped_cells(GDALDatasetH source, const Grid &grid, const SourceRequest &s,
                                 const GridRequest &g, GDALProgressFunc progress, void *progress_arg)
{
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
    return v;
}

// The raster warped onto the grid asked for, over its extent in the target system.
ContourRaster warp_onto_grid(GDALDatasetH source, const double *t, const Extent &own, const std::string &wkt,
                             const SourceRequest &s, const GridRequest &g, const LevelRequest &l,
                             GDALProgressFunc progress, void *progress_arg)
{
    GridRequest on_grid = g;
    if (!(g.xres > 0)) {
        if (!g.target_srs.empty())
            throw UsageFailure("a raster reprojected needs a pixel size: give " + named("resolution"));
        on_grid.xres = t[1];
        on_grid.yres = -t[5];
    }
    ContourRaster r;
    r.path = s.path;
    r.grid = place_grid(extent_in(own, source, s, g), on_grid, wkt);
    const std::vector<double> v = warped_cells(source, r.grid, s, g, progress, progress_arg);
    std::set<double> distinct;
    for (double x : v)
        if (is_contour(x, 0, false)) {
            distinct.insert(x);
            r.cells++;
        }
    if (distinct.empty())
        throw Failure("no contours: " + s.path + " has no valid cell on the grid");
    r.table = find_levels({distinct.begin(), distinct.end()}, l);
    r.warped.resize(v.size());
    for (std::size_t k = 0; k < v.size(); k++)
        r.warped[k] = contour_cell(v[k], 0, false, r.table);
    r.sheet = lines_box(r.warped, r.grid.rows, r.grid.columns);
    return r;
}

} // namespace

ContourRaster open_contour_raster(GDALDatasetH source, Dataset owned, const SourceRequest &s, const GridRequest &g,
                                  const LevelRequest &l, GDALProgressFunc progress, void *progress_arg)
{
    double t[6];
    if (GDALGetGeoTransform(source, t) != CE_None)
        throw Failure(s.path + " has no georeference (geotransform)");
    if (t[2] != 0 || t[4] != 0 || t[1] <= 0 || t[5] >= 0)
        throw Failure(s.path + " is a rotated or south-up grid: warp it north-up first (gdalwarp)");
    const int columns = GDALGetRasterXSize(source), rows = GDALGetRasterYSize(source);
    const Extent own{t[0], t[3] + rows * t[5], t[0] + columns * t[1], t[3]};
    const double longitude = (own.xmin + own.xmax) / 2, latitude = (own.ymin + own.ymax) / 2;
    const std::string wkt = grid_srs(GDALGetSpatialRef(source), s.path, g, longitude, latitude);
    const bool own_grid = !(g.xres > 0) && !g.extent && !g.aligned && g.target_srs.empty();
    if (own_grid)
        return read_own_grid(source, std::move(owned), t, wkt, s, l, progress, progress_arg);
    return warp_onto_grid(source, t, own, wkt, s, g, l, progress, progress_arg);
}

std::vector<std::int32_t> read_contour_raster(const ContourRaster &r, int row, int column, int rows, int columns)
{
    std::vector<std::int32_t> cells(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns),
                                    tolvane::EMPTY);
    // The part of the window on the grid.
    const int r0 = std::max(row, 0), r1 = std::min(row + rows, r.grid.rows);
    const int c0 = std::max(column, 0), c1 = std::min(column + columns, r.grid.columns);
    if (r0 >= r1 || c0 >= c1)
        return cells;
    const std::size_t width = static_cast<std::size_t>(c1 - c0);
    if (!r.band) {
        for (int i = r0; i < r1; i++)
            std::copy_n(&r.warped[static_cast<std::size_t>(i) * r.grid.columns + c0], width,
                        &cells[static_cast<std::size_t>(i - row) * columns + (c0 - column)]);
        return cells;
    }
    GDALRasterBandH band = GDALGetRasterBand(r.band.get(), 1);
    int has_nodata = 0;
    const double nodata = GDALGetRasterNoDataValue(band, &has_nodata);
    std::vector<double> line(width);
    for (int i = r0; i < r1; i++) {
        if (GDALRasterIO(band, GF_Read, c0, i, c1 - c0, 1, line.data(), c1 - c0, 1, GDT_Float64, 0, 0) != CE_None)
            throw Failure("cannot read " + r.path + ": " + gdal_reason());
        std::int32_t *out = &cells[static_cast<std::size_t>(i - row) * columns + (c0 - column)];
        for (std::size_t k = 0; k < width; k++)
            out[k] = contour_cell(line[k], nodata, has_nodata, r.table);
    }
    return cells;
}

} // namespace tolvane::geo
