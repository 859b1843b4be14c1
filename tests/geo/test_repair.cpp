// Gap repair on the burned grid and on the lines: a ring with a gap is closed
// and stops leaking, lines that are genuinely separate stay apart, and ends join
// only where they face each other.
#include "footprint.h"
#include "wall.h"
#include "gdal_handles.h"
#include "grid.h"
#include "repair.h"
#include "run_tolvane.h"
#include "sheet.h"

#include <tolvane/tolvane.h>

#include <array>
#include <cmath>

#include <gdal.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace geo = tolvane::geo;

namespace {


// Three nested rings; the middle one (200) has a gap of two pixels on its left.
const std::vector<std::string> RING_WITH_GAP = {
    "...............",
    ".aaaaaaaaaaaaa.",
    ".a...........a.",
    ".a.bbbbbbbbb.a.",
    ".a.b.......b.a.",
    ".a.b.ccccc.b.a.",
    ".a...c...c.b.a.",
    ".a...c...c.b.a.",
    ".a.b.ccccc.b.a.",
    ".a.b.......b.a.",
    ".a.bbbbbbbbb.a.",
    ".a...........a.",
    ".aaaaaaaaaaaaa.",
    "...............",
};

TEST(RepairGrid, RingWithOneGapIsClosed)
{
    Picture p = draw(RING_WITH_GAP);
    ASSERT_GT(leaks(p), 0);
    const geo::Repairs r = geo::repair_gaps(p.cells, p.rows, p.columns, 4);
    EXPECT_EQ(r.joins, 1);
    EXPECT_EQ(r.pixels, 2);
    std::vector<std::string> closed = RING_WITH_GAP;
    closed[6][3] = closed[7][3] = 'b';
    EXPECT_EQ(p.cells, draw(closed).cells);
    EXPECT_EQ(leaks(p), 0);

    // A gap wider than the distance allowed stays open.
    Picture far = draw(RING_WITH_GAP);
    EXPECT_EQ(geo::repair_gaps(far.cells, far.rows, far.columns, 2.5).joins, 0);
}

// Lines that must not be bridged, whatever the distance allowed: two hills of one
// level two pixels apart (closed lines have no ends), two lines of one level
// ending side by side (they point the same way), two ends of different levels,
// and ends facing each other across another line.
TEST(RepairGrid, SeparateLinesStaySeparate)
{
    for (const std::vector<std::string> &lines : std::vector<std::vector<std::string>>{
             {".............",
              ".............",
              "..aaa...aaa..",
              "..a.a...a.a..",
              "..aaa...aaa..",
              ".............",
              "............."},
             {"............",
              "............",
              "..aaaaa.....",
              "............",
              "..aaaaa.....",
              "............",
              "............"},
             {".............",
              ".............",
              "..aaaa.bbbb..",
              ".............",
              "............."},
             {".............",
              ".............",
              "......b......",
              "..aaa.b.aaa..",
              "......b......",
              ".............",
              "............."}}) {
        Picture p = draw(lines);
        const std::vector<std::int32_t> before = p.cells;
        EXPECT_EQ(geo::repair_gaps(p.cells, p.rows, p.columns, 6).joins, 0) << lines[2];
        EXPECT_EQ(p.cells, before);
    }
}

// Three rings around one centre (radii in pixels: 100, 200 with an arc cut out,
// 300), drawn one cell wide on a grid `factor` times finer than the pixel.
Picture rings(int factor, double cut_from, double cut_to, const double radii[3])
{
    Picture p;
    p.rows = p.columns = 28 * factor;
    p.cells.assign(static_cast<std::size_t>(p.rows) * p.columns, E);
    const double centre = 14.0 * factor;
    for (int i = 0; i < p.rows; i++)
        for (int j = 0; j < p.columns; j++) {
            const double y = i + 0.5 - centre, x = j + 0.5 - centre, d = std::hypot(x, y);
            const double angle = std::atan2(y, x) * 180 / 3.14159265358979;
            for (int k = 0; k < 3; k++)
                if (std::abs(d - radii[k] * factor) < 0.5 && !(k == 1 && angle > cut_from && angle < cut_to))
                    p.cells[static_cast<std::size_t>(i) * p.columns + j] = 100 * (k + 1);
        }
    return p;
}

// A gap the repair closes on the pixels is closed on every finer grid, where
// the cells at its ends lie farther apart than 4 cells a pixel.
TEST(RepairGrid, GapClosedOnThePixelsIsClosedOnFinerGrids)
{
    const double radii[3] = {6, 9, 12};
    for (const auto &cut : {std::array<double, 2>{-100, -74}, {-10, 16}, {80, 106}}) {
        Picture pixels = rings(1, cut[0], cut[1], radii);
        ASSERT_GT(leaks(pixels), 0);
        ASSERT_EQ(geo::repair_gaps(pixels.cells, pixels.rows, pixels.columns, 4).joins, 1);
        ASSERT_EQ(leaks(pixels), 0);
        for (int n : {2, 4, 6, 8}) {
            Picture fine = rings(n, cut[0], cut[1], radii);
            geo::Repairs done = geo::repair_gaps(fine.cells, fine.rows, fine.columns, 4.0 * n);
            geo::repair_gaps_as_pixels(fine.cells, fine.rows, fine.columns, n, 4, done);
            EXPECT_EQ(leaks(fine), 0) << "cut from " << cut[0] << " degrees, " << n << " times finer";
            EXPECT_GE(done.joins, 1);
        }
    }
}

// Generated sheets have closed lines or lines that run off the grid: nothing to
// join, whatever the distance.
TEST(RepairGrid, GeneratedSheetsUnchanged)
{
    prueba::Carpeta folder;
    const std::string base = (folder.raiz() / "sheet").string();
    for (int seed = 1; seed <= 6; seed++) {
        const std::string gen = std::string("'" GENERA_BIN "' '") + base + "' 150 200 " + std::to_string(6 + seed) +
                                " 10 " + std::to_string(seed) + " > /dev/null";
        ASSERT_EQ(std::system(gen.c_str()), 0);
        std::vector<std::int32_t> cells = prueba::enteros(prueba::lee(base + "_c4.raw"), 4);
        const std::vector<std::int32_t> before = cells;
        EXPECT_EQ(geo::repair_gaps(cells, 150, 200, 8).joins, 0) << seed;
        EXPECT_EQ(cells, before);
    }
}

// The same cases on lines: a ring with a gap gets one join, the other pairs none,
// nor two ends facing each other along the grid's edge.
struct Layer {
    GDALDatasetH data;
    OGRLayerH layer;
    int level;
};

Layer memory_layer()
{
    GDALAllRegister();
    Layer l;
    l.data = GDALCreate(GDALGetDriverByName("Memory"), "", 0, 0, 0, GDT_Unknown, nullptr);
    l.layer = GDALDatasetCreateLayer(l.data, "lines", nullptr, wkbLineString, nullptr);
    OGRFieldDefnH field = OGR_Fld_Create("tolvane_level", OFTInteger);
    OGR_L_CreateField(l.layer, field, TRUE);
    OGR_Fld_Destroy(field);
    l.level = 0;
    return l;
}

void add_line(Layer &l, int level, const std::vector<std::pair<double, double>> &points)
{
    OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(l.layer));
    OGRGeometryH g = OGR_G_CreateGeometry(wkbLineString);
    for (const auto &[x, y] : points)
        OGR_G_AddPoint_2D(g, x, y);
    OGR_F_SetGeometryDirectly(f, g);
    OGR_F_SetFieldInteger(f, l.level, level);
    ASSERT_EQ(OGR_L_CreateFeature(l.layer, f), OGRERR_NONE);
    OGR_F_Destroy(f);
}

TEST(RepairLines, JoinsOnlyEndsThatFaceEachOther)
{
    struct Case {
        const char *name;
        std::vector<std::pair<int, std::vector<std::pair<double, double>>>> lines;
        int joins;
    };
    const std::vector<Case> cases = {
        {"ring with a gap of 25 m", {{100, {{0, 10}, {0, 0}, {100, 0}, {100, 100}, {0, 100}, {0, 35}}}}, 1},
        {"closed rings 20 m apart", {{100, {{0, 0}, {50, 0}, {50, 50}, {0, 0}}}, {100, {{70, 0}, {120, 0}, {120, 50}, {70, 0}}}}, 0},
        {"side by side", {{100, {{0, 0}, {100, 0}}}, {100, {{0, 20}, {100, 20}}}}, 0},
        {"side by side, staggered", {{100, {{0, 0}, {100, 0}}}, {100, {{0, 20}, {80, 20}}}}, 0},
        // Within 1.5 pixels ends are joined whichever way they point: burned at
        // the pixel they touch.
        {"side by side, a pixel apart", {{100, {{0, 0}, {100, 0}}}, {100, {{0, 10}, {100, 10}}}}, 2},
        {"side by side, 1.6 pixels apart", {{100, {{0, 0}, {100, 0}}}, {100, {{0, 16}, {100, 16}}}}, 0},
        // A gap in a bend: one end turns into it, the other still runs straight
        // (cosines 0.71 and 0).
        {"gap in a bend", {{100, {{0, -100}, {0, -10}, {10, 0}}}, {100, {{30, -100}, {30, 0}}}}, 1},
        // One end points back 143 degrees from the other, though the cosines add up to 0.2.
        {"one end pointing back", {{100, {{0, 0}, {100, 0}}}, {100, {{40, -100}, {112, -6}, {120, 0}}}}, 0},
        {"different levels", {{100, {{0, 0}, {100, 0}}}, {200, {{120, 0}, {200, 0}}}}, 0},
        {"across another line", {{100, {{0, 0}, {100, 0}}}, {100, {{120, 0}, {200, 0}}}, {200, {{110, -50}, {110, 50}}}}, 0},
        // A line of another level passing 0.1 m from the join (pixels of 10 m):
        // burned 10 times finer they would share cells; 1 m away they do not.
        {"within a fiftieth of a pixel of another line",
         {{100, {{0, 0}, {100, 0}}}, {100, {{120, 0}, {200, 0}}}, {200, {{0, 40}, {110, 0.1}, {200, 40}}}}, 0},
        {"a tenth of a pixel from another line",
         {{100, {{0, 0}, {100, 0}}}, {100, {{120, 0}, {200, 0}}}, {200, {{0, 40}, {110, 1}, {200, 40}}}}, 1},
        {"along the grid's edge", {{100, {{200, 195}, {250, 195}}}, {100, {{320, 195}, {275, 195}}}}, 0},
    };
    for (const Case &c : cases) {
        Layer l = memory_layer();
        for (const auto &[level, points] : c.lines)
            add_line(l, level, points);
        const geo::Repairs r = geo::repair_line_gaps(l.layer, l.level, 30, 10, {-100, -100, 300, 200}, {-100, -100, 300, 200});
        EXPECT_EQ(r.joins, c.joins) << c.name;
        EXPECT_EQ(OGR_L_GetFeatureCount(l.layer, TRUE), static_cast<GIntBig>(c.lines.size()) + c.joins) << c.name;
        GDALClose(l.data);
    }
}

} // namespace

namespace {

// The ends open_line_ends keeps, on a grid from -100 to 300 by -100 to 200 with
// pixels of 10 m and lines spanning -90 to 290 by -90 to 190: only an end that
// lies inside, away from the grid's edge and the lines' extent, and meets no
// other piece of its line.
TEST(RepairLines, OpenEndsAreThoseThatStopInside)
{
    struct Case {
        const char *name;
        std::vector<std::pair<int, std::vector<std::pair<double, double>>>> lines;
        std::size_t open;
    };
    const std::vector<Case> cases = {
        {"closed ring", {{100, {{0, 0}, {100, 0}, {100, 100}, {0, 0}}}}, 0},
        {"edge to edge", {{100, {{-95, 50}, {295, 50}}}}, 0},
        {"from the lines' extent to the grid's edge", {{100, {{-85, 50}, {100, 60}, {295, 50}}}}, 0},
        {"stops in the middle", {{100, {{-95, 50}, {100, 50}}}}, 1},
        {"a gap in the middle", {{100, {{-95, 50}, {100, 50}}}, {100, {{120, 50}, {295, 50}}}}, 2},
        {"two pieces meeting", {{100, {{-95, 50}, {100, 50}}}, {100, {{100, 50}, {295, 50}}}}, 0},
        {"pieces meeting within a hundredth of a pixel", {{100, {{-95, 50}, {100, 50}}}, {100, {{100.05, 50}, {295, 50}}}}, 0},
        {"pieces a tenth of a pixel apart", {{100, {{-95, 50}, {100, 50}}}, {100, {{101, 50}, {295, 50}}}}, 2},
        {"another level meeting it", {{100, {{-95, 50}, {100, 50}}}, {200, {{100, 50}, {100, 195}}}}, 2},
        {"beyond the grid", {{100, {{-95, 50}, {400, 50}}}}, 0},
    };
    for (const Case &c : cases) {
        Layer l = memory_layer();
        for (const auto &[level, points] : c.lines)
            add_line(l, level, points);
        const std::vector<geo::MapPoint> ends =
            geo::open_line_ends(l.layer, l.level, 10, {-100, -100, 300, 200}, {-90, -90, 290, 190});
        EXPECT_EQ(ends.size(), c.open) << c.name;
        // The repair finds the same ends, and leaves open those it does not join.
        std::vector<geo::MapPoint> left;
        const geo::Repairs r =
            geo::repair_line_gaps(l.layer, l.level, 30, 10, {-100, -100, 300, 200}, {-90, -90, 290, 190}, &left);
        EXPECT_EQ(static_cast<std::size_t>(r.open_ends), c.open) << c.name;
        EXPECT_EQ(left.size(), c.open - 2 * static_cast<std::size_t>(r.joins)) << c.name;
        GDALClose(l.data);
    }
}

} // namespace
