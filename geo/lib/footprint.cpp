// The footprint: read from polygons, walled for the core, cleared afterwards.
#include "footprint.h"

#include "drawn.h"
#include "measures.h"
#include "oversample.h"
#include "parallel.h"

#include "failure.h"
#include "grid.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
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
enum State : std::uint8_t { FRAME, LINE, OPEN_INSIDE, OPEN_OUTSIDE, REACHED_INSIDE, REACHED_OUTSIDE, SHORE };

// The state of every pixel, framed by FRAME pixels so that the waves need no
// test of the grid's edges: row i, column j of the grid is state[(i + 1) *
// width + j + 1].
struct Framed {
    std::ptrdiff_t width;
    std::vector<std::uint8_t> state;
    // The index in `state` of column 0 of row i of the grid.
    std::size_t row(int i) const { return static_cast<std::size_t>(i + 1) * width + 1; }
};

// A pixel of a wave: its index in the frame and in the grid (in 4 bytes each
// wherever they fit: the waves of a large grid are long).
template <typename Index> struct Pixel {
    Index framed, cell;
};

// Spreads the levels (in `cells`) of the pixels of `wave` into the pixels whose
// state is `open`, which become `reached`, a pixel a step: across rows and
// columns on even steps, diagonally too on odd ones (octagons, within 8 % of
// Euclidean distances), in linear time, for at most `most` steps; `wave` is
// left holding the pixels reached last. A pixel takes the level that reaches it
// first, from the earliest pixel of the wave on ties: the same on every run. A
// diagonal step between two LINE pixels is not taken (it would cross a line).
template <typename Index>
void spread_levels(std::vector<std::int32_t> &cells, int columns, Framed &g, State open, State reached,
                   std::vector<Pixel<Index>> &wave, int most = INT_MAX)
{
    const std::ptrdiff_t w = g.width, c = columns;
    // Each step: its offset in the frame and in the grid, and for a diagonal one
    // the two pixels it passes between (in the frame).
    const std::ptrdiff_t steps[8][4] = {{-w, -c, 0, 0},         {-1, -1, 0, 0},
                                        {1, 1, 0, 0},           {w, c, 0, 0},
                                        {-w - 1, -c - 1, -w, -1}, {-w + 1, -c + 1, -w, 1},
                                        {w - 1, c - 1, w, -1},  {w + 1, c + 1, w, 1}};
    std::uint8_t *state = g.state.data();
    std::int32_t *level = cells.data();
    std::vector<Pixel<Index>> next;
    for (int step = 0; !wave.empty() && step < most; step++) {
        const int reach = step % 2 == 0 ? 4 : 8;
        next.clear();
        for (const Pixel<Index> p : wave)
            for (int s = 0; s < reach; s++) {
                const std::size_t f = p.framed + steps[s][0];
                if (state[f] != open ||
                    (s >= 4 && state[p.framed + steps[s][2]] == LINE && state[p.framed + steps[s][3]] == LINE))
                    continue;
                const std::size_t k = p.cell + steps[s][1];
                level[k] = level[p.cell];
                state[f] = reached;
                next.push_back({static_cast<Index>(f), static_cast<Index>(k)});
            }
        wave.swap(next);
    }
}

// The levels of the `lines` LINE pixels spread through the inside, then
// through the outside: first into the walled pixels that share a side with a
// line, which continue it (beyond a line's end, along a line that runs
// outside), then on from those and from the shore, the inside pixels next to a
// walled one that a level reached.
template <typename Index>
void spread_both(std::vector<std::int32_t> &cells, int rows, int columns, Framed &g, std::size_t lines)
{
    // Adds the pixels of state `wanted` to the wave, row after row.
    const auto add = [&](State wanted, std::vector<Pixel<Index>> &wave) {
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++)
                if (g.state[g.row(i) + j] == wanted)
                    wave.push_back({static_cast<Index>(g.row(i) + j),
                                    static_cast<Index>(static_cast<std::size_t>(i) * columns + j)});
    };
    std::vector<Pixel<Index>> wave;
    wave.reserve(lines);
    add(LINE, wave);
    spread_levels(cells, columns, g, OPEN_INSIDE, REACHED_INSIDE, wave);
    const std::ptrdiff_t w = g.width;
    for (std::size_t f = 0; f < g.state.size(); f++)
        if (g.state[f] == OPEN_OUTSIDE)
            for (const std::ptrdiff_t d : {-w - 1, -w, -w + 1, std::ptrdiff_t{-1}, std::ptrdiff_t{1}, w - 1, w, w + 1})
                if (g.state[f + d] == REACHED_INSIDE)
                    g.state[f + d] = SHORE;
    wave.clear();
    add(LINE, wave);
    spread_levels(cells, columns, g, OPEN_OUTSIDE, REACHED_OUTSIDE, wave, 1);
    add(SHORE, wave);
    spread_levels(cells, columns, g, OPEN_OUTSIDE, REACHED_OUTSIDE, wave);
}

} // namespace

// The levels spread from the lines through the empty inside, then from the lines
// and the inside pixels next to the outside through the outside, written in the
// cells as they go; the inside is emptied again at the end.
long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside)
{
    SiteMap lines;
    return wall_outside(cells, rows, columns, inside, lines);
}

long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside, SiteMap &lines)
{
    Framed g{columns + 2, std::vector<std::uint8_t>(static_cast<std::size_t>(rows + 2) * (columns + 2), FRAME)};
    long long walled = 0, line_pixels = 0;
    for (int i = 0; i < rows; i++) {
        const std::int32_t *row = cells.data() + static_cast<std::size_t>(i) * columns;
        const std::uint8_t *in = inside.data() + static_cast<std::size_t>(i) * columns;
        std::uint8_t *state = g.state.data() + g.row(i);
        for (int j = 0; j < columns; j++) {
            state[j] = row[j] != tolvane::EMPTY ? LINE : in[j] != 0 ? OPEN_INSIDE : OPEN_OUTSIDE;
            walled += state[j] == OPEN_OUTSIDE;
            line_pixels += state[j] == LINE;
        }
    }
    if (walled == 0 || line_pixels == 0)
        return 0;
    if (g.state.size() <= UINT32_MAX)
        spread_both<std::uint32_t>(cells, rows, columns, g, static_cast<std::size_t>(line_pixels));
    else
        spread_both<std::size_t>(cells, rows, columns, g, static_cast<std::size_t>(line_pixels));

    // The inside empty again; what no wave reached outside, from its nearest line.
    bool unreached = false;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::uint8_t s = g.state[g.row(i) + j];
            if (s == REACHED_INSIDE || s == SHORE)
                cells[static_cast<std::size_t>(i) * columns + j] = tolvane::EMPTY;
            unreached = unreached || s == OPEN_OUTSIDE;
        }
    if (unreached) {
        if (lines.empty()) {
            std::vector<std::uint8_t> line(cells.size());
            for (int i = 0; i < rows; i++)
                for (int j = 0; j < columns; j++)
                    line[static_cast<std::size_t>(i) * columns + j] = g.state[g.row(i) + j] == LINE;
            lines.compute(line, rows, columns);
        }
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++)
                if (g.state[g.row(i) + j] == OPEN_OUTSIDE) {
                    const std::size_t k = static_cast<std::size_t>(i) * columns + j;
                    cells[k] = cells[static_cast<std::size_t>(lines.site(k))];
                }
    }
    return walled;
}

// In slices of the grid: the walled pixels are never contour pixels, so no
// slice reads what another writes.
long long wall_from_nearest_line(std::vector<std::int32_t> &cells, int rows, int columns,
                                 const std::vector<std::uint8_t> &inside, SiteMap &lines)
{
    const std::size_t n = cells.size();
    bool any_outside = false, any_line = false;
    for (std::size_t k = 0; k < n && !(any_outside && any_line); k++) {
        const bool line = cells[k] != tolvane::EMPTY;
        any_line = any_line || line;
        any_outside = any_outside || (inside[k] == 0 && !line);
    }
    if (!any_outside || !any_line)
        return 0;
    if (lines.empty())
        lines.compute(cells, rows, columns);
    std::atomic<long long> walled{0};
    in_slices(n, 1 << 16, [&](std::size_t from, std::size_t to) {
        long long mine = 0;
        for (std::size_t k = from; k < to; k++)
            if (inside[k] == 0 && cells[k] == tolvane::EMPTY) {
                cells[k] = cells[static_cast<std::size_t>(lines.site(k))];
                mine++;
            }
        walled += mine;
    });
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

Footprint footprint_of(const FootprintRequest &request)
{
    const std::string &m = request.mask;
    if (m.empty())
        return {FootprintKind::drawn, ""};
    if (m == "none")
        return {FootprintKind::none, ""};
    if (m == "auto")
        return {FootprintKind::hull, ""};
    return {FootprintKind::file, m};
}

namespace {

Judged drawn_through_ends(const FootprintWindow &w, SiteMap &lines, const std::function<double()> &spacing)
{
    Judged j;
    j.open_ends = w.ends.size();
    if (w.ends.empty())
        return j;
    // The radius is the spacing of the lines on the grid burned, at least 2 of
    // its cells, whatever the factor: a floor of 2 pixels of the grid asked for
    // closes the narrow inlets of a coast on the finer grid, where the lines of
    // both shores then open into one empty strip.
    j.radius = footprint_radius(spacing());
    j.inside = footprint_of_ends(w.cells, w.rows, w.columns, w.ends, j.radius, w.factor, lines);
    open_leaking_inlets(w.cells, w.rows, w.columns, j.radius, lines, static_cast<int>(w.interval), j.inside);
    return j;
}

std::vector<std::uint8_t> of_file(const std::string &path, const FootprintWindow &w)
{
    Grid on_window = w.burned;
    on_window.origin_x += w.column * on_window.xres;
    on_window.origin_y -= w.row * on_window.yres;
    on_window.rows = w.rows;
    on_window.columns = w.columns;
    std::vector<std::uint8_t> inside = footprint_from_file(path, on_window);
    if (w.factor > 1)
        inside = erode(std::move(inside), w.rows, w.columns, w.factor / 2);
    return inside;
}

} // namespace

Judged judge_footprint(const Footprint &f, const FootprintWindow &w, SiteMap &lines,
                       const std::function<double()> &spacing)
{
    switch (f.kind) {
    case FootprintKind::drawn:
        return drawn_through_ends(w, lines, spacing);
    case FootprintKind::none:
        return {};
    case FootprintKind::hull:
        if (w.factor == 1)
            return {footprint_of_lines(w.cells, w.rows, w.columns), 0, 0};
        if (w.grid_inside.empty())
            return {};
        return {finer_footprint(w.grid_inside, w.grid.columns, w.factor, w.row, w.column, w.rows, w.columns), 0, 0};
    case FootprintKind::file:
        return {of_file(f.path, w), 0, 0};
    }
    return {};
}

std::vector<std::uint8_t> shown_pixels(const Footprint &f, const FootprintWindow &w,
                                       const std::vector<std::uint8_t> &inside,
                                       const std::vector<std::uint8_t> &grid_shown)
{
    const bool carried = w.factor > 1 && (f.kind == FootprintKind::hull || f.kind == FootprintKind::file);
    if (!carried)
        return f.kind == FootprintKind::drawn || f.kind == FootprintKind::none
                   ? grown_by_one_pixel(inside, w.rows, w.columns)
                   : inside;
    std::vector<std::uint8_t> shown(inside.size(), 1);
    if (!grid_shown.empty())
        for (int i = 0; i < w.rows; i++)
            for (int j = 0; j < w.columns; j++)
                shown[static_cast<std::size_t>(i) * w.columns + j] =
                    grid_shown[static_cast<std::size_t>((w.row + i) / w.factor) * w.grid.columns +
                               (w.column + j) / w.factor];
    return shown;
}

} // namespace tolvane::geo
