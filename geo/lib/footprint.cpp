// The footprint: read from polygons, walled for the core, cleared afterwards.
#include "footprint.h"

#include "areas.h"

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

// Row 0 and column 0 lie beyond the lines' rectangle where the lines reach row
// or column 1, and the drawn footprint keeps what lies beyond it; the core never
// labels them, so they follow the pixel beside them: else the footprint runs on
// along the whole margin, past the ends where the lines stop.
void follow_the_margin(const std::vector<std::int32_t> &cells, int rows, int columns, std::vector<std::uint8_t> &inside)
{
    const PixelBox b = lines_box(cells, rows, columns);
    if (b.empty() || rows < 2 || columns < 2)
        return;
    if (b.top == 1)
        for (int j = 0; j < columns; j++)
            inside[j] = inside[j] && inside[static_cast<std::size_t>(columns) + j];
    if (b.left == 1)
        for (int i = 0; i < rows; i++)
            inside[static_cast<std::size_t>(i) * columns] =
                inside[static_cast<std::size_t>(i) * columns] && inside[static_cast<std::size_t>(i) * columns + 1];
}

// Whether bands join through an empty area of `inside` (4-connected) that
// touches a cell outside and holds at least a thousandth of the cells, as
// LevelCounts tells (a level counts where at least `least` of its cells
// border it). The edge traced across the mouth of a coast's inlet closes such
// an area, beside the shores' lines on both sides and the lines at its head.
// Three levels in a row are a cell of a line burned against the next, beside a
// band of a plain that reaches the edge; a few cells of many levels, the ends
// of dense lines beside a pocket of the edge.
bool bands_join(const std::vector<std::int32_t> &cells, int rows, int columns, const std::vector<std::uint8_t> &inside,
                long long interval, int least)
{
    const std::size_t large = cells.size() / 1000;
    bool join = false;
    LevelCounts levels;
    each_area(
        rows, columns, [&](std::size_t k) { return inside[k] && cells[k] == tolvane::EMPTY; },
        [&](const std::vector<std::size_t> &area, const std::vector<std::size_t> &beside) {
            if (join || area.size() < large)
                return;
            bool edge = false;
            levels.clear();
            for (const std::size_t m : beside) {
                if (!inside[m])
                    edge = true;
                else
                    levels.add(cells[m]);
            }
            join = edge && levels.bands_join(interval, least);
        });
    return join;
}

// The areas the traced footprint leaves out and the disc's keeps (4-connected,
// within the lines' rectangle `b`) that reach deep behind a narrow mouth are
// bands the flood ran into through a break in the chain of ends: given back
// to `traced`. An area counts as deep when it holds more than `depth` cells
// for each of its cells beside the disc's outside or the rectangle's edge; a
// strip along the edge of the mapped area that the disc kept lies beside it
// all along.
void give_back_leaks(std::vector<std::uint8_t> &traced, const std::vector<std::uint8_t> &disc, const PixelBox &b,
                     int columns, double depth)
{
    if (b.empty())
        return;
    const std::size_t n = traced.size();
    const auto in_box = [&](long long i, long long j) { return i >= b.top && i <= b.bottom && j >= b.left && j <= b.right; };
    const auto candidate = [&](std::size_t k) { return !traced[k] && disc[k]; };
    std::vector<std::uint8_t> seen(n, 0);
    std::vector<std::size_t> area, stack;
    for (int si = b.top; si <= b.bottom; si++)
        for (int sj = b.left; sj <= b.right; sj++) {
            const std::size_t start = static_cast<std::size_t>(si) * columns + sj;
            if (seen[start] || !candidate(start))
                continue;
            area.clear();
            long long contact = 0;
            seen[start] = 1;
            stack.push_back(start);
            while (!stack.empty()) {
                const std::size_t k = stack.back();
                stack.pop_back();
                area.push_back(k);
                const long long i = static_cast<long long>(k / columns), j = static_cast<long long>(k % columns);
                bool beside = false;
                const long long next[4][2] = {{i - 1, j}, {i + 1, j}, {i, j - 1}, {i, j + 1}};
                for (const auto &q : next) {
                    if (!in_box(q[0], q[1])) {
                        beside = true;
                        continue;
                    }
                    const std::size_t m = static_cast<std::size_t>(q[0]) * columns + static_cast<std::size_t>(q[1]);
                    if (!disc[m])
                        beside = true;
                    else if (!seen[m] && candidate(m)) {
                        seen[m] = 1;
                        stack.push_back(m);
                    }
                }
                contact += beside;
            }
            if (static_cast<double>(area.size()) > depth * static_cast<double>(std::max(1LL, contact)))
                for (const std::size_t k : area)
                    traced[k] = 1;
        }
}

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
    const int interval = static_cast<int>(w.interval);
    const bool trace = w.border && !w.border->empty();
    std::vector<std::uint8_t> traced, in_voids;
    // The disc's footprint and the traced one side by side: each writes its
    // own, and both only read the lines' map.
    side_by_side(
        [&] {
            j.inside = footprint_of_ends(w.cells, w.rows, w.columns, w.ends, j.radius, w.factor, lines);
            open_leaking_inlets(w.cells, w.rows, w.columns, j.radius, lines, interval, j.inside);
        },
        [&] {
            if (!trace)
                return;
            const int least = 2 * std::max(2, w.factor);
            const VoidRule voids{w.interval};
            traced = inside_border(w.cells,
                                   {w.burned.origin_x, w.burned.origin_y, w.burned.xres, w.burned.yres, w.row,
                                    w.column, w.rows, w.columns},
                                   *w.border, &voids, &in_voids);
            if (bands_join(w.cells, w.rows, w.columns, traced, interval, least))
                open_leaking_inlets(w.cells, w.rows, w.columns, j.radius, lines, interval, traced);
        });
    // On lines the edge runs from end to end along the row in which they stop
    // (border.h; a contour raster's ends say no more than where its cells
    // stop). Where an inlet closed at its mouth joins bands, the inlets are
    // opened as in the disc's footprint; elsewhere the disc would roll into
    // the broad bands of a plain that reach the edge. Where a line ends off
    // that row (a gap the repair left open), its ends take joins from the
    // row's, the chain opens and the flood runs into bands: those the disc
    // keeps are given back, and where the traced footprint still leaves out
    // more of the lines' rectangle than the disc, the disc is kept. A void of
    // the data that the edge rings inside the mapped area, where lines of
    // levels more than an interval apart stop, is left out of the footprint
    // kept, either one, once it is chosen: it weighs in neither test, so the
    // choice and the inlets stay as they were.
    if (trace) {
        const PixelBox b = lines_box(w.cells, w.rows, w.columns);
        give_back_leaks(traced, j.inside, b, w.columns, std::max(8.0, 3 * j.radius));
        const auto left_out = [&](const std::vector<std::uint8_t> &m) {
            long long out = 0;
            for (int i = b.top; i <= b.bottom; i++)
                for (int x = b.left; x <= b.right; x++)
                    out += m[static_cast<std::size_t>(i) * w.columns + x] == 0;
            return out;
        };
        if (left_out(traced) <= left_out(j.inside)) {
            j.inside = std::move(traced);
            j.traced = true;
        }
        for (std::size_t k = 0; k < in_voids.size(); k++)
            j.inside[k] = j.inside[k] && !in_voids[k];
    }
    // Last, on the footprint kept: given back before, those insides would be
    // empty areas beside the outside for the inlets' test and the choice
    // between the two footprints, and the disc would roll from them into the
    // bands around.
    give_back_rings(w.cells, w.rows, w.columns, w.ends, j.inside);
    follow_the_margin(w.cells, w.rows, w.columns, j.inside);
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

// The sheet's footprint on the window: cropped where it was decided on the grid
// burned; carried from the grid asked for and eroded as the hull is (see
// finer_footprint), since a pixel on its edge reaches up to half a pixel past
// the line it holds. The ends the window holds are still counted.
Judged of_sheet(const Footprint &f, const FootprintWindow &w)
{
    Judged j;
    if (f.kind == FootprintKind::drawn) {
        j.open_ends = w.ends.size();
        j.radius = w.sheet.radius * w.factor;
    }
    if (w.sheet.inside.empty())
        return j;
    if (w.sheet.factor == 1) {
        j.inside = finer_footprint(w.sheet.inside, w.grid.columns, w.factor, w.row, w.column, w.rows, w.columns);
        return j;
    }
    j.inside.resize(static_cast<std::size_t>(w.rows) * w.columns);
    const std::size_t columns = static_cast<std::size_t>(w.burned.columns);
    for (int i = 0; i < w.rows; i++)
        std::copy_n(w.sheet.inside.begin() + static_cast<std::ptrdiff_t>((w.row + i) * columns + w.column),
                    w.columns, j.inside.begin() + static_cast<std::ptrdiff_t>(i) * w.columns);
    return j;
}

} // namespace

Judged judge_footprint(const Footprint &f, const FootprintWindow &w, SiteMap &lines,
                       const std::function<double()> &spacing)
{
    switch (f.kind) {
    case FootprintKind::drawn:
        return w.sheet.decided ? of_sheet(f, w) : drawn_through_ends(w, lines, spacing);
    case FootprintKind::none:
        return {};
    case FootprintKind::hull:
        if (w.sheet.decided)
            return of_sheet(f, w);
        return {footprint_of_lines(w.cells, w.rows, w.columns), 0, 0};
    case FootprintKind::file:
        return {of_file(f.path, w), 0, 0};
    }
    return {};
}

std::vector<std::uint8_t> shown_pixels(const Footprint &f, const FootprintWindow &w,
                                       const std::vector<std::uint8_t> &inside)
{
    if (!w.sheet.decided)
        return f.kind == FootprintKind::drawn || f.kind == FootprintKind::none
                   ? grown_by_one_pixel(inside, w.rows, w.columns)
                   : inside;
    std::vector<std::uint8_t> shown(inside.size(), 1);
    if (!w.sheet.shown.empty())
        for (int i = 0; i < w.rows; i++)
            for (int j = 0; j < w.columns; j++)
                shown[static_cast<std::size_t>(i) * w.columns + j] =
                    w.sheet.shown[static_cast<std::size_t>((w.row + i) / w.factor) * w.grid.columns +
                                  (w.column + j) / w.factor];
    return shown;
}

} // namespace tolvane::geo
