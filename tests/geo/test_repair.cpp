// Gap repair and footprint walls: a ring with a gap is closed and stops leaking,
// lines that are genuinely separate stay apart, a footprint edge where lines end
// leaks no more, and clean data come out byte for byte the same.
#include "footprint.h"
#include "wall.h"
#include "gdal_handles.h"
#include "grid.h"
#include "repair.h"
#include "run_tolvane.h"

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

constexpr std::int32_t E = tolvane::EMPTY;

// A grid drawn in letters: '.' empty, 'a' 100, 'b' 200, 'c' 300.
struct Picture {
    int rows = 0, columns = 0;
    std::vector<std::int32_t> cells;
};

Picture draw(const std::vector<std::string> &lines)
{
    Picture p;
    p.rows = static_cast<int>(lines.size());
    p.columns = static_cast<int>(lines[0].size());
    for (const std::string &l : lines)
        for (char ch : l)
            p.cells.push_back(ch == '.' ? E : 100 * (ch - 'a' + 1));
    return p;
}

long long leaks(const Picture &p)
{
    return tolvane::elevation(p.cells.data(), p.rows, p.columns, {100, 300, 100}).leak_pixels;
}

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
        const geo::Repairs r = geo::repair_line_gaps(l.layer, l.level, 30, 10, {-100, -100, 300, 200});
        EXPECT_EQ(r.joins, c.joins) << c.name;
        EXPECT_EQ(OGR_L_GetFeatureCount(l.layer, TRUE), static_cast<GIntBig>(c.lines.size()) + c.joins) << c.name;
        GDALClose(l.data);
    }
}

// Lines 100, 200 and 300 end on the lower edge of a footprint (rows 0 to 8): below
// it the zones run around their ends. Walled, they leak no more, and afterwards
// the outside is empty and the inside between the levels.
TEST(Footprint, LinesEndingOnItsEdgeDoNotLeak)
{
    std::vector<std::string> lines(12, "..............");
    for (int i = 1; i <= 8; i++)
        lines[i][3] = 'a', lines[i][6] = 'b', lines[i][9] = 'c';
    Picture p = draw(lines);
    ASSERT_GT(leaks(p), 0);
    std::vector<std::uint8_t> inside(p.cells.size(), 0);
    std::fill(inside.begin(), inside.begin() + 9 * p.columns, 1);
    EXPECT_EQ(geo::wall_outside(p.cells, p.rows, p.columns, inside), 3 * 14);
    EXPECT_EQ(p.cells[9 * 14 + 3], 100);
    EXPECT_EQ(p.cells[11 * 14 + 6], 200);
    tolvane::Result r = tolvane::elevation(p.cells.data(), p.rows, p.columns, {100, 300, 100});
    EXPECT_EQ(r.leak_pixels, 0);
    geo::clear_outside(r.cells, inside);
    for (int i = 0; i < p.rows; i++)
        for (int j = 0; j < p.columns; j++) {
            const std::int32_t v = r.cells[i * p.columns + j];
            if (i >= 9) {
                EXPECT_EQ(v, E);
            } else if (i > 0 && j > 3 && j < 6) {
                EXPECT_TRUE(v > 100 && v < 200) << i << " " << j << ": " << v;
            }
        }

    // -mask auto: the convex hull of the line pixels, edges included.
    const Picture hull = draw({".......",
                               "...a...",
                               "..a.b..",
                               ".b...c.",
                               "......."});
    const std::vector<std::uint8_t> expected = {0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 1, 0, 0, 0,
                                                0, 0, 1, 1, 1, 0, 0,
                                                0, 1, 1, 1, 1, 1, 0,
                                                0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(geo::footprint_of_lines(hull.cells, hull.rows, hull.columns), expected);

    // A footprint covering the grid changes nothing.
    Picture q = draw(lines);
    const std::vector<std::int32_t> before = q.cells;
    EXPECT_EQ(geo::wall_outside(q.cells, q.rows, q.columns, std::vector<std::uint8_t>(q.cells.size(), 1)), 0);
    EXPECT_EQ(q.cells, before);
}

// Line 200 stops two pixels short of the footprint's lower edge (rows 0 to 8),
// where a piece of it was cut off: walled as it is, bands 100-200 and 200-300
// run together below its end. Carried on to the edge, it closes them there; its
// other end, farther from the edge than the reach, and the ends already on the
// edge stay as they are.
TEST(Footprint, LineStoppingShortOfItsEdgeIsCarriedToIt)
{
    std::vector<std::string> lines(12, "..............");
    for (int i = 1; i <= 8; i++)
        lines[i][3] = 'a', lines[i][6] = i <= 6 ? 'b' : '.', lines[i][9] = 'c';
    std::vector<std::uint8_t> inside(12 * 14, 0);
    std::fill(inside.begin(), inside.begin() + 9 * 14, 1);

    Picture walled = draw(lines);
    geo::wall_outside(walled.cells, walled.rows, walled.columns, inside);
    EXPECT_GT(leaks(walled), 0);

    Picture p = draw(lines);
    geo::Repairs report;
    geo::reach_footprint_edge(p.cells, p.rows, p.columns, inside, 4, report);
    EXPECT_EQ(report.joins, 1);
    EXPECT_EQ(report.pixels, 2);
    Picture expected = draw(lines);
    expected.cells[7 * 14 + 6] = expected.cells[8 * 14 + 6] = 200;
    EXPECT_EQ(p.cells, expected.cells);
    geo::wall_outside(p.cells, p.rows, p.columns, inside);
    EXPECT_EQ(leaks(p), 0);

    // A spot of 100 on the straight way down: the end takes the nearest outside
    // cell it reaches across empty cells only, the first in row-major order.
    std::vector<std::string> blocked = lines;
    blocked[8][6] = 'a';
    Picture q = draw(blocked);
    geo::Repairs around;
    geo::reach_footprint_edge(q.cells, q.rows, q.columns, inside, 4, around);
    EXPECT_EQ(around.joins, 1);
    Picture bent = draw(blocked);
    bent.cells[7 * 14 + 6] = bent.cells[8 * 14 + 5] = 200;
    EXPECT_EQ(q.cells, bent.cells);
}

// A footprint of one polygon (its ring closed), in a GeoPackage.
void write_polygon(const std::filesystem::path &file, const std::vector<std::pair<double, double>> &ring_points,
                   int epsg)
{
    GDALAllRegister();
    GDALDatasetH d = GDALCreate(GDALGetDriverByName("GPKG"), file.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    ASSERT_NE(d, nullptr);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, epsg);
    OGRLayerH layer = GDALDatasetCreateLayer(d, "footprint", srs, wkbPolygon, nullptr);
    OSRDestroySpatialReference(srs);
    OGRGeometryH ring = OGR_G_CreateGeometry(wkbLinearRing);
    for (const auto &[x, y] : ring_points)
        OGR_G_AddPoint_2D(ring, x, y);
    OGRGeometryH polygon = OGR_G_CreateGeometry(wkbPolygon);
    OGR_G_AddGeometryDirectly(polygon, ring);
    OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(layer));
    OGR_F_SetGeometryDirectly(f, polygon);
    EXPECT_EQ(OGR_L_CreateFeature(layer, f), OGRERR_NONE);
    OGR_F_Destroy(f);
    GDALClose(d);
}

// The leak mask written by -leaks marks no pixel.
void expect_no_leak(const std::filesystem::path &leaks)
{
    GDALAllRegister();
    GDALDatasetH mask = GDALOpen(leaks.c_str(), GA_ReadOnly);
    ASSERT_NE(mask, nullptr);
    double minmax[2];
    GDALComputeRasterMinMax(GDALGetRasterBand(mask, 1), FALSE, minmax);
    EXPECT_EQ(minmax[1], 0);
    GDALClose(mask);
}

// A footprint of one rectangle, in a GeoPackage.
void write_box(const std::filesystem::path &file, double xmin, double ymin, double xmax, double ymax, int epsg)
{
    write_polygon(file, {{xmin, ymin}, {xmax, ymin}, {xmax, ymax}, {xmin, ymax}, {xmin, ymin}}, epsg);
}

// The bundled lines are clean: -repair_gaps and a footprint around them give the
// same file, byte for byte; -leaks writes an empty mask on the grid.
TEST(Footprint, CleanLinesGiveTheSameBytes)
{
    prueba::Carpeta folder;
    const auto root = folder.raiz();
    const std::string run = "cd '" + root.string() + "' && '" TOLVANE_GEO_BIN "' -q -tr 10 10 ";
    write_box(root / "box.gpkg", 439000, 4474000, 443000, 4477500, 25830);
    ASSERT_EQ(std::system((run + "'" COLINAS_GPKG "' plain.tif").c_str()), 0);
    ASSERT_EQ(std::system((run + "-repair_gaps 5 -mask box.gpkg -leaks leaks.tif '" COLINAS_GPKG "' repaired.tif").c_str()),
              0);
    EXPECT_EQ(prueba::lee(root / "plain.tif"), prueba::lee(root / "repaired.tif"));
    expect_no_leak(root / "leaks.tif");
}

// Lines clipped to a footprint whose top edge lies 18 m below the grid's on the
// right half, within the top row of 40 m pixels (whose centres stay inside):
// burned 8 times finer, the 5 m cells between the lines' ends and the grid's
// edge are walled, so no band runs along them into the others.
TEST(Footprint, EdgeWithinAPixelIsWalledOnTheFinerGrid)
{
    prueba::Carpeta folder;
    const auto root = folder.raiz();
    const std::string box = (root / "box.gpkg").string();
    write_polygon(box,
                  {{439000, 4474000},
                   {443000, 4474000},
                   {443000, 4476482},
                   {441000, 4476482},
                   {441000, 4477000},
                   {439000, 4477000},
                   {439000, 4474000}},
                  25830);
    GDALAllRegister();
    GDALDatasetH lines = GDALOpenEx(COLINAS_GPKG, GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(lines, nullptr);
    geo::Arguments args{"-clipsrc", box.c_str()};
    GDALVectorTranslateOptions *options = GDALVectorTranslateOptionsNew(args.argv(), nullptr);
    GDALDatasetH clipped = GDALVectorTranslate((root / "clipped.gpkg").c_str(), nullptr, 1, &lines, options, nullptr);
    GDALVectorTranslateOptionsFree(options);
    ASSERT_NE(clipped, nullptr);
    GDALClose(clipped);
    GDALClose(lines);
    const std::string run = "cd '" + root.string() + "' && '" TOLVANE_GEO_BIN
                            "' -q -te 440000 4475000 442000 4476500 -tr 40 40 -mask box.gpkg ";
    for (const char *n : {"1", "8"}) {
        SCOPED_TRACE(n);
        ASSERT_EQ(std::system((run + "-oversample " + n + " -leaks leaks.tif clipped.gpkg out.tif").c_str()), 0);
        expect_no_leak(root / "leaks.tif");
    }
}

} // namespace
