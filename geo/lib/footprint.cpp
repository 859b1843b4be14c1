// The footprint: read from polygons, walled for the core, cleared afterwards.
#include "footprint.h"

#include "auto_footprint.h"
#include "parallel.h"

#include "failure.h"
#include "grid.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <queue>

#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <gdal_alg.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

namespace {

struct Closer {
    void operator()(void *h) const
    {
        if (h)
            GDALClose(h);
    }
};
using Handle = std::unique_ptr<void, Closer>;

Handle memory_byte(const Grid &g)
{
    GDALDriverH mem = GDALGetDriverByName("MEM");
    Handle d(GDALCreate(mem, "", g.columns, g.rows, 1, GDT_Byte, nullptr));
    if (!d)
        throw Failure("not enough memory for the footprint of " + std::to_string(g.rows) + " x " +
                      std::to_string(g.columns) + " pixels");
    double transform[6] = {g.origin_x, g.xres, 0, g.origin_y, 0, -g.yres};
    GDALSetGeoTransform(d.get(), transform);
    if (!g.srs_wkt.empty())
        GDALSetProjection(d.get(), g.srs_wkt.c_str());
    return d;
}

} // namespace

std::vector<std::uint8_t> footprint_from_file(const std::string &file, const Grid &grid)
{
    Handle source(GDALOpenEx(file.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!source) {
        VSIStatBufL st;
        if (VSIStatL(file.c_str(), &st) != 0)
            throw Failure("cannot open the footprint " + file + ": no such file");
        throw Failure("cannot open the footprint " + file + " as vectors: " + gdal_reason());
    }

    OGRSpatialReferenceH target = nullptr;
    if (!grid.srs_wkt.empty()) {
        target = OSRNewSpatialReference(grid.srs_wkt.c_str());
        OSRSetAxisMappingStrategy(target, OAMS_TRADITIONAL_GIS_ORDER);
    }
    std::vector<OGRGeometryH> polygons;
    const auto release = [&] {
        for (OGRGeometryH g : polygons)
            OGR_G_DestroyGeometry(g);
        if (target)
            OSRDestroySpatialReference(target);
    };
    for (int l = 0; l < GDALDatasetGetLayerCount(source.get()); l++) {
        OGRLayerH layer = GDALDatasetGetLayer(source.get(), l);
        OGRSpatialReferenceH from = OGR_L_GetSpatialRef(layer);
        OGRCoordinateTransformationH to_grid = nullptr;
        if (from && target && !OSRIsSame(from, target)) {
            to_grid = OCTNewCoordinateTransformation(from, target);
            if (!to_grid) {
                release();
                throw Failure("cannot take the footprint " + file + " into the grid's coordinate system: " +
                              gdal_reason());
            }
        }
        OGR_L_ResetReading(layer);
        while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
            OGRGeometryH g = OGR_F_GetGeometryRef(f);
            const OGRwkbGeometryType type = g ? wkbFlatten(OGR_G_GetGeometryType(g)) : wkbUnknown;
            if (type == wkbPolygon || type == wkbMultiPolygon || type == wkbCurvePolygon ||
                type == wkbMultiSurface) {
                OGRGeometryH copy = OGR_G_Clone(g);
                if (to_grid && OGR_G_Transform(copy, to_grid) != OGRERR_NONE) {
                    OGR_G_DestroyGeometry(copy);
                    OGR_F_Destroy(f);
                    OCTDestroyCoordinateTransformation(to_grid);
                    release();
                    throw Failure("cannot take the footprint " + file + " into the grid's coordinate system");
                }
                polygons.push_back(copy);
            }
            OGR_F_Destroy(f);
        }
        if (to_grid)
            OCTDestroyCoordinateTransformation(to_grid);
    }
    if (polygons.empty()) {
        release();
        throw Failure("the footprint " + file + " holds no polygon");
    }

    Handle raster = memory_byte(grid);
    int band = 1;
    std::vector<double> burn(polygons.size(), 1.0);
    const CPLErr e = GDALRasterizeGeometries(raster.get(), 1, &band, static_cast<int>(polygons.size()),
                                             polygons.data(), nullptr, nullptr, burn.data(), nullptr, nullptr,
                                             nullptr);
    release();
    if (e != CE_None)
        throw Failure("cannot burn the footprint " + file + ": " + gdal_reason());
    std::vector<std::uint8_t> inside(static_cast<std::size_t>(grid.rows) * grid.columns);
    if (GDALRasterIO(GDALGetRasterBand(raster.get(), 1), GF_Read, 0, 0, grid.columns, grid.rows, inside.data(),
                     grid.columns, grid.rows, GDT_Byte, 0, 0) != CE_None)
        throw Failure("cannot read the burned footprint: " + gdal_reason());
    return inside;
}

std::vector<std::uint8_t> footprint_of_lines(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    // Andrew's monotone chain over the first and last contour pixel of each row,
    // which are all the hull can need.
    using P = std::pair<long long, long long>; // (column, row)
    std::vector<P> points;
    for (int i = 0; i < rows; i++) {
        const std::int32_t *row = cells.data() + static_cast<std::size_t>(i) * columns;
        int first = -1, last = -1;
        for (int j = 0; j < columns; j++)
            if (row[j] != tolvane::EMPTY) {
                if (first < 0)
                    first = j;
                last = j;
            }
        if (first >= 0) {
            points.push_back({first, i});
            if (last != first)
                points.push_back({last, i});
        }
    }
    std::sort(points.begin(), points.end());
    const auto cross = [](const P &o, const P &a, const P &b) {
        return (a.first - o.first) * (b.second - o.second) - (a.second - o.second) * (b.first - o.first);
    };
    std::vector<P> hull(2 * points.size());
    std::size_t k = 0;
    for (std::size_t n = 0; n < points.size(); n++) {
        while (k >= 2 && cross(hull[k - 2], hull[k - 1], points[n]) <= 0)
            k--;
        hull[k++] = points[n];
    }
    for (std::size_t n = points.size() - 1, lower = k + 1; n-- > 0;) {
        while (k >= lower && cross(hull[k - 2], hull[k - 1], points[n]) <= 0)
            k--;
        hull[k++] = points[n];
    }
    hull.resize(k > 1 ? k - 1 : k);

    // Each row holds one stretch of the hull: where the row crosses its edges.
    std::vector<std::uint8_t> inside(cells.size(), 0);
    for (int i = 0; i < rows; i++) {
        double low = 1e300, high = -1e300;
        for (std::size_t n = 0; n < hull.size(); n++) {
            const P &a = hull[n], &b = hull[(n + 1) % hull.size()];
            if (std::min(a.second, b.second) > i || std::max(a.second, b.second) < i)
                continue;
            if (a.second == b.second) {
                low = std::min(low, static_cast<double>(std::min(a.first, b.first)));
                high = std::max(high, static_cast<double>(std::max(a.first, b.first)));
            } else {
                const double x = a.first + static_cast<double>(b.first - a.first) * (i - a.second) / (b.second - a.second);
                low = std::min(low, x);
                high = std::max(high, x);
            }
        }
        if (hull.size() == 1 && hull[0].second == i)
            low = high = static_cast<double>(hull[0].first);
        for (int j = std::max(0, static_cast<int>(std::ceil(low - 1e-9)));
             j <= std::min(columns - 1, static_cast<int>(std::floor(high + 1e-9))); j++)
            inside[static_cast<std::size_t>(i) * columns + j] = 1;
    }
    return inside;
}

namespace {

// What a pixel is to the waves of spread_levels.
enum State : std::uint8_t { SHUT = 0, LINE, OPEN_INSIDE, OPEN_OUTSIDE, SHORE };

// Spreads the levels of the pixels of `wave` (which hold one in `level`) into the
// pixels whose state is `open`, a pixel a step: across rows and columns on even
// steps, diagonally too on odd ones (octagons, within 8 % of Euclidean
// distances), in linear time. A pixel takes the level that reaches it first,
// from the earliest pixel of the wave on ties: the same on every run; it is then
// SHUT. A diagonal step between two LINE pixels is not taken (it would cross a
// line). One byte a pixel is read on most steps: the grid's other arrays stay
// out of the cache.
void spread_levels(std::vector<std::int32_t> &level, std::vector<std::uint8_t> &state, int rows, int columns,
                   State open, std::vector<std::size_t> wave)
{
    static constexpr int STEPS[8][2] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
    const std::ptrdiff_t c = columns;
    std::vector<std::size_t> next;
    for (int step = 0; !wave.empty(); step++) {
        const int steps = step % 2 == 0 ? 4 : 8;
        next.clear();
        for (const std::size_t k : wave) {
            const int i = static_cast<int>(k / static_cast<std::size_t>(columns));
            const int j = static_cast<int>(k - static_cast<std::size_t>(i) * columns);
            const bool edge = i == 0 || j == 0 || i == rows - 1 || j == columns - 1;
            for (int s = 0; s < steps; s++) {
                const int di = STEPS[s][0], dj = STEPS[s][1];
                if (edge && (i + di < 0 || i + di >= rows || j + dj < 0 || j + dj >= columns))
                    continue;
                const std::size_t m = k + di * c + dj;
                if (state[m] != open)
                    continue;
                if (s >= 4 && state[k + di * c] == LINE && state[k + dj] == LINE)
                    continue;
                level[m] = level[k];
                state[m] = SHUT;
                next.push_back(m);
            }
        }
        wave.swap(next);
    }
}

} // namespace

// The levels spread from the lines through the empty inside, then from the lines
// and the inside pixels next to the outside through the outside.
long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside)
{
    SiteMap lines;
    return wall_outside(cells, rows, columns, inside, lines);
}

long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside, SiteMap &lines)
{
    const std::size_t n = cells.size();
    std::vector<std::uint8_t> state(n);
    std::vector<std::size_t> line_pixels;
    long long walled = 0;
    for (std::size_t k = 0; k < n; k++) {
        state[k] = cells[k] != tolvane::EMPTY ? LINE : inside[k] != 0 ? OPEN_INSIDE : OPEN_OUTSIDE;
        if (state[k] == LINE)
            line_pixels.push_back(k);
        walled += state[k] == OPEN_OUTSIDE;
    }
    if (walled == 0 || line_pixels.empty())
        return 0;
    std::vector<std::int32_t> level = cells;
    spread_levels(level, state, rows, columns, OPEN_INSIDE, line_pixels);
    // The lines first, so that a walled pixel beyond a line's end continues the
    // line; then the inside pixels next to the outside that a level reached.
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            if (state[static_cast<std::size_t>(i) * columns + j] != OPEN_OUTSIDE)
                continue;
            for (int m = std::max(0, i - 1); m <= std::min(rows - 1, i + 1); m++)
                for (int l = std::max(0, j - 1); l <= std::min(columns - 1, j + 1); l++) {
                    std::uint8_t &s = state[static_cast<std::size_t>(m) * columns + l];
                    if (s == SHUT && level[static_cast<std::size_t>(m) * columns + l] != tolvane::EMPTY)
                        s = SHORE;
                }
        }
    std::vector<std::size_t> wave = std::move(line_pixels);
    for (std::size_t k = 0; k < n; k++)
        if (state[k] == SHORE)
            wave.push_back(k);
    spread_levels(level, state, rows, columns, OPEN_OUTSIDE, std::move(wave));

    bool unreached = false;
    for (std::size_t k = 0; k < n && !unreached; k++)
        unreached = state[k] == OPEN_OUTSIDE;
    if (unreached && lines.empty())
        lines.compute(cells, rows, columns);
    for (std::size_t k = 0; k < n; k++)
        if (inside[k] == 0 && cells[k] == tolvane::EMPTY)
            cells[k] = level[k] != tolvane::EMPTY ? level[k] : cells[static_cast<std::size_t>(lines.site(k))];
    return walled;
}

void clear_outside(std::vector<std::int32_t> &cells, const std::vector<std::uint8_t> &inside)
{
    for (std::size_t k = 0; k < cells.size(); k++)
        if (inside[k] == 0)
            cells[k] = tolvane::EMPTY;
}

void write_mask(const std::string &file, const Grid &grid, const std::vector<std::uint8_t> &mask)
{
    GDALDriverH gtiff = GDALGetDriverByName("GTiff");
    char **options = CSLSetNameValue(nullptr, "COMPRESS", "DEFLATE");
    Handle d(GDALCreate(gtiff, file.c_str(), grid.columns, grid.rows, 1, GDT_Byte, options));
    CSLDestroy(options);
    if (!d)
        throw Failure("cannot create " + file + ": " + gdal_reason());
    double transform[6] = {grid.origin_x, grid.xres, 0, grid.origin_y, 0, -grid.yres};
    GDALSetGeoTransform(d.get(), transform);
    if (!grid.srs_wkt.empty())
        GDALSetProjection(d.get(), grid.srs_wkt.c_str());
    if (GDALRasterIO(GDALGetRasterBand(d.get(), 1), GF_Write, 0, 0, grid.columns, grid.rows,
                     const_cast<std::uint8_t *>(mask.data()), grid.columns, grid.rows, GDT_Byte, 0, 0) != CE_None)
        throw Failure("cannot write " + file + ": " + gdal_reason());
}

} // namespace tolvane::geo
