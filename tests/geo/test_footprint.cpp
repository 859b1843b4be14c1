// The footprint: the lines' spacing and extent, the area the lines draw through
// their open ends (an L-shaped sheet, a broad flat, a coast's inlet, clean sheets
// left as they are), the wall, and footprints of polygons whose edge the lines
// end on.
#include "drawn.h"
#include "footprint.h"
#include "gdal_handles.h"
#include "grid.h"
#include "measures.h"
#include "parallel.h"
#include "repair.h"
#include "run_tolvane.h"
#include "sheet.h"
#include "wall.h"

#include <tolvane/geo.h>
#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <gdal.h>
#include <gdal_alg.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace geo = tolvane::geo;

namespace {

// The upper quartile of the distances across the borders between the areas
// nearest to contour pixels of different levels, as a list of every border
// gives it: levels on scattered pixels, on rows, and pairs far apart.
TEST(ContourSpacing, UpperQuartileOfTheBorders)
{
    std::mt19937 random(9);
    for (int sheet = 0; sheet < 30; sheet++) {
        const int rows = 2 + static_cast<int>(random() % 300), columns = 2 + static_cast<int>(random() % 300);
        Sheet s(rows, columns);
        if (sheet % 3 == 0)
            for (auto &c : s.cells)
                c = random() % 60 == 0 ? 100 * static_cast<int>(1 + random() % 4) : E;
        else if (sheet % 3 == 1)
            for (int i = 0, step = 2 + static_cast<int>(random() % 9); i < rows; i += step)
                for (int j = 0; j < columns; j++)
                    s.at(i, j) = 100 * (1 + i / step % 2);
        else {
            s.at(0, 0) = 100;
            s.at(rows - 1, columns - 1) = 200;
        }
        std::vector<std::uint8_t> line(s.cells.size());
        for (std::size_t k = 0; k < line.size(); k++)
            line[k] = s.cells[k] != E;
        const NearestSites near = plain_nearest_sites(line, rows, columns);
        std::vector<double> spacings;
        for (int k = 0; k < rows * columns; k++)
            for (int m : {k % columns + 1 < columns ? k + 1 : -1, k + columns < rows * columns ? k + columns : -1}) {
                if (m < 0 || near.site[k] < 0 || s.cells[near.site[k]] == s.cells[near.site[m]])
                    continue;
                const long long a = near.site[k], b = near.site[m];
                spacings.push_back(std::hypot(static_cast<double>(a / columns - b / columns),
                                              static_cast<double>(a % columns - b % columns)));
            }
        double expected = 0;
        if (!spacings.empty()) {
            std::sort(spacings.begin(), spacings.end());
            expected = spacings[spacings.size() * 3 / 4];
        }
        EXPECT_EQ(geo::contour_spacing(s.cells, rows, columns), expected) << "sheet " << sheet;
    }
}

// Lines across the whole grid but one column short on the right: the default grid
// at a pixel size that does not divide the lines' extent. The last column would
// join every band; outside the extent it is walled from the nearest lines (as
// runs without a footprint do) and no zone leaks.
TEST(LinesExtent, LinesStoppingShortOfTheEdgeDoNotLeak)
{
    for (int margin : {1, 2, 5}) {
        // Lines in columns 1, 7, ..., the last one in column 39 - margin.
        Sheet s = vertical_lines(30, 40, 1, 6, [&](int i, int j) { return i >= 1 && i < 30 - margin && j < 39 - margin; });
        const int last_level = 100 * ((39 - margin - 1 + 5) / 6 + 1);
        for (int i = 1; i < 30 - margin; i++)
            s.at(i, 39 - margin) = last_level;
        ASSERT_GT(run(s).leak_pixels, 0) << margin;
        const std::vector<std::uint8_t> inside = geo::within_lines_extent(s.cells, s.rows, s.columns);
        EXPECT_EQ(std::count(inside.begin(), inside.end(), std::uint8_t{0}),
                  30 * margin + 40 * margin - margin * margin)
            << margin;
        geo::SiteMap lines;
        EXPECT_EQ(geo::wall_from_nearest_line(s.cells, s.rows, s.columns, inside, lines),
                  30 * margin + 40 * margin - margin * margin)
            << margin;
        EXPECT_EQ(run(s).leak_pixels, 0) << margin;
    }
    // Reaching column 1 on the left and row 1 at the top, the last column and row:
    // nothing to wall, whatever lies in row 0 and column 0.
    const Sheet full = vertical_lines(20, 30, 1, 7, [](int i, int) { return i >= 1; });
    const auto all = geo::within_lines_extent(full.cells, full.rows, full.columns);
    EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](std::uint8_t v) { return v == 1; }));
}

// An L-shaped sheet: vertical lines through the whole height on the left, only
// through the lower half on the right, so that the upper right quarter is
// unmapped and every line there ends along its lower edge.
TEST(FootprintOfEnds, LShapedSheetIsWalledAlongItsInnerCorner)
{
    const int rows = 60, columns = 80;
    const auto in_l = [&](int i, int j) { return i >= 1 && (j < 40 || i >= 30); };
    Sheet s = vertical_lines(rows, columns, 1, 5, in_l);
    ASSERT_GT(run(s).leak_pixels, 0);
    const std::vector<std::size_t> ends = geo::open_ends(s.cells, rows, columns);
    EXPECT_GT(ends.size(), 6u);

    const double spacing = geo::contour_spacing(s.cells, rows, columns);
    EXPECT_EQ(spacing, 5);
    const std::vector<std::uint8_t> inside =
        geo::footprint_of_ends(s.cells, rows, columns, ends, geo::footprint_radius(spacing));
    // Inside: the whole L but at most the radius along its inner edges; outside:
    // the unmapped quarter but at most the radius along the same edges. (Beyond
    // the last line, in column 76, lies the lines' extent, judged apart.)
    long long wrong_in = 0, wrong_out = 0;
    for (int i = 1; i < rows; i++)
        for (int j = 1; j <= 76; j++) {
            const bool near_corner = (i >= 24 && i < 36 && j >= 36) || (j >= 34 && j < 46 && i < 36);
            if (near_corner)
                continue;
            const bool mapped = in_l(i, j);
            wrong_in += mapped && !inside[static_cast<std::size_t>(i) * columns + j];
            wrong_out += !mapped && inside[static_cast<std::size_t>(i) * columns + j];
        }
    EXPECT_EQ(wrong_in, 0);
    EXPECT_EQ(wrong_out, 0);

    geo::wall_outside(s.cells, rows, columns, inside);
    const tolvane::Result r = run(s);
    EXPECT_EQ(r.leak_pixels, 0);
    // Between the lines 100 and 200 (columns 1 and 6), low in the L, and between
    // 1100 and 1200 (columns 51 and 56) below the corner: within their bands.
    EXPECT_GT(r.cells[50 * columns + 3], 100);
    EXPECT_LT(r.cells[50 * columns + 3], 200);
    EXPECT_GT(r.cells[45 * columns + 53], 1100);
    EXPECT_LT(r.cells[45 * columns + 53], 1200);
}

// An island in the unmapped quarter of an L: a ring drawn as a diamond, whose
// pixels step only diagonally, with nothing inside it. Its middle lies farther
// than two radii from the ring, so the disc leaves it out, and a flood that
// steps diagonally crosses the ring into the open ground around it. The inside
// of the ring is mapped: given back whole, and nothing else.
TEST(FootprintOfEnds, InsideOfAnIslandsRingStaysInside)
{
    const int rows = 80, columns = 100;
    Sheet s = vertical_lines(rows, columns, 1, 5, [](int i, int j) { return i >= 1 && (j < 40 || i >= 50); });
    const int ci = 25, cj = 70, half = 18;
    const auto ring = [&](int i, int j) { return std::abs(i - ci) + std::abs(j - cj); };
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++)
            if (ring(i, j) == half)
                s.at(i, j) = 500;
    const std::vector<std::size_t> ends = geo::open_ends(s.cells, rows, columns);
    const double radius = geo::footprint_radius(geo::contour_spacing(s.cells, rows, columns));
    const std::vector<std::uint8_t> drawn = geo::footprint_of_ends(s.cells, rows, columns, ends, radius);
    ASSERT_FALSE(drawn[static_cast<std::size_t>(ci) * columns + cj]);
    std::vector<std::uint8_t> inside = drawn;
    geo::give_back_rings(s.cells, rows, columns, ends, inside);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::size_t k = static_cast<std::size_t>(i) * columns + j;
            if (ring(i, j) < half)
                ASSERT_TRUE(inside[k]) << i << " " << j;
            else
                ASSERT_EQ(inside[k], drawn[k]) << i << " " << j;
        }
}

// The same L with a broad flat on the right, 15 columns wide between the lines
// 1100 and 1200, open to the unmapped quarter above it: a disc of the spacing
// rolls in, but the flat is no farther than that from its lines and lies inside,
// bar a band along its mouth.
TEST(FootprintOfEnds, BroadFlatOpenToTheOutsideStaysInside)
{
    const int rows = 60, columns = 90;
    Sheet s(rows, columns);
    const std::vector<int> line_columns = {1, 6, 11, 16, 21, 26, 31, 36, 41, 46, 51, 56, 71, 76, 81, 86};
    for (std::size_t n = 0; n < line_columns.size(); n++)
        for (int i = line_columns[n] < 40 ? 1 : 30; i < rows; i++)
            s.at(i, line_columns[n]) = 100 * static_cast<std::int32_t>(n + 1);
    const std::vector<std::size_t> ends = geo::open_ends(s.cells, rows, columns);
    const double radius = geo::footprint_radius(geo::contour_spacing(s.cells, rows, columns));
    EXPECT_EQ(radius, 5);
    const std::vector<std::uint8_t> inside = geo::footprint_of_ends(s.cells, rows, columns, ends, radius);
    for (int i = 46; i < rows; i++)
        for (int j = 57; j < 71; j++)
            ASSERT_TRUE(inside[static_cast<std::size_t>(i) * columns + j]) << i << " " << j;
    for (int i = 2; i < 25; i++)
        for (int j = 45; j < 85; j++)
            ASSERT_FALSE(inside[static_cast<std::size_t>(i) * columns + j]) << i << " " << j;
    geo::wall_outside(s.cells, rows, columns, inside);
    EXPECT_EQ(run(s).leak_pixels, 0);
}

// The L with an inlet: below the unmapped quarter the line 1200 (column 56)
// starts 7 rows lower than its neighbours 1100 and 1300, 10 columns apart. No
// disc of the spacing fits between them, so the drawn footprint fills the inlet,
// and the bands 1100 to 1200 and 1200 to 1300 join round the line's end. A disc
// of half the spacing rolls in from the quarter: what it covers of the inlet,
// down to the line's end, is left out, and nothing else. The L without the inlet
// keeps its footprint.
TEST(FootprintOfEnds, InletWhereBandsJoinIsLeftOut)
{
    const int rows = 60, columns = 80;
    const auto in_l = [&](int i, int j) { return i >= 1 && (j < 40 || i >= 30); };
    for (const bool inlet : {true, false}) {
        SCOPED_TRACE(inlet ? "inlet" : "no inlet");
        Sheet s = vertical_lines(rows, columns, 1, 5, [&](int i, int j) { return in_l(i, j) && (!inlet || j != 56 || i >= 37); });
        const std::vector<std::size_t> ends = geo::open_ends(s.cells, rows, columns);
        const geo::SiteMap lines(s.cells, rows, columns);
        const double radius = geo::footprint_radius(geo::contour_spacing(s.cells, rows, columns, lines));
        const std::vector<std::uint8_t> drawn = geo::footprint_of_ends(s.cells, rows, columns, ends, radius, 1, lines);
        std::vector<std::uint8_t> inside = drawn;
        geo::open_leaking_inlets(s.cells, rows, columns, radius, lines, 100, inside);
        long long taken = 0;
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++) {
                const std::size_t k = static_cast<std::size_t>(i) * columns + j;
                EXPECT_FALSE(inside[k] && !drawn[k]) << i << " " << j;
                if (drawn[k] && !inside[k]) {
                    taken++;
                    EXPECT_TRUE(i >= 30 && i <= 37 && j > 51 && j < 61) << i << " " << j;
                }
            }
        Sheet walled = s;
        geo::wall_outside(walled.cells, rows, columns, inside);
        if (inlet) {
            EXPECT_GT(taken, 0);
            geo::wall_outside(s.cells, rows, columns, drawn);
            EXPECT_GT(run(s).leak_pixels, 0);
        } else {
            EXPECT_EQ(taken, 0);
        }
        EXPECT_EQ(run(walled).leak_pixels, 0);
    }
}

// A bay (columns 18 to 21, outside) between a low shore and a steep one. West of
// it the land below 100 runs from the line 100 (column 1) to the shore; east of
// it the lines 200 and 300 come from the grid's edge and end on the shore, 4
// columns from the low land. Walled from the nearest contour pixel, the bay's
// west side took 200 and the low land was interpolated as a band 100 to 200;
// the nearest line through the inside is 100 there, and the band 200 to 300 gets
// walls of its own levels only. A hill's unmapped top takes its ring's level.
TEST(Wall, LowShoreTakesItsOwnLineAcrossABay)
{
    const int rows = 40, columns = 40;
    Sheet s(rows, columns);
    for (int i = 1; i < rows; i++)
        s.at(i, 1) = 100;
    for (int j = 22; j < columns; j++)
        s.at(20, j) = 200, s.at(25, j) = 300;
    std::vector<std::uint8_t> inside(s.cells.size(), 1);
    for (int i = 0; i < rows; i++)
        for (int j = 18; j <= 21; j++)
            inside[static_cast<std::size_t>(i) * columns + j] = 0;
    // A hill ringed by its 400 line in the band 300 to 400, its top unmapped: the
    // ring walls it in, whatever lies nearer beyond the ring.
    for (int i = 30; i <= 36; i++)
        for (int j = 28; j <= 34; j++) {
            if (i == 30 || i == 36 || j == 28 || j == 34)
                s.at(i, j) = 400;
            else
                inside[static_cast<std::size_t>(i) * columns + j] = 0;
        }
    EXPECT_EQ(geo::wall_outside(s.cells, rows, columns, inside), 4 * rows + 5 * 5);
    for (int i = 31; i < 36; i++)
        for (int j = 29; j < 34; j++)
            EXPECT_EQ(s.at(i, j), 400) << i << " " << j;
    for (int i = 0; i < rows; i++) {
        EXPECT_EQ(s.at(i, 18), 100) << i;
        const std::int32_t east = s.at(i, 21);
        if (i > 20 && i < 25) {
            EXPECT_TRUE(east == 200 || east == 300) << i << ": " << east;
        }
    }
    const tolvane::Result r = run(s);
    EXPECT_EQ(r.leak_pixels, 0);
    for (int i = 1; i < rows; i++)
        for (int j = 2; j < 18; j++)
            ASSERT_LE(r.cells[static_cast<std::size_t>(i) * columns + j], 100) << i << " " << j;
    const double band = r.cells[23 * columns + 30];
    EXPECT_GT(band, 200);
    EXPECT_LT(band, 300);
}

// An end beside a walled pixel meets the footprint's edge, whatever level the
// wall took there: only an end that stops among the inside's empty pixels is left
// open (the count the warning about leaks gives).
TEST(Wall, EndsBesideTheWallAreNotLeftOpen)
{
    const int rows = 12, columns = 32;
    Sheet s(rows, columns);
    std::vector<std::uint8_t> inside(s.cells.size(), 1);
    for (int j = 0; j <= 30; j++)
        s.at(1, j) = 100;
    for (int i = 3; i <= 8; i++) {
        s.at(i, 10) = 300; // a wall of another level than the line ending on it
        inside[static_cast<std::size_t>(i) * columns + 10] = 0;
    }
    for (int j = 11; j <= 20; j++)
        s.at(5, j) = 200;
    EXPECT_GE(geo::open_ends(s.cells, rows, columns).size(), 2u);
    EXPECT_EQ(geo::ends_left_open(geo::open_ends(s.cells, rows, columns), rows, columns, inside), 1u); // (5, 20) alone
    EXPECT_EQ(geo::ends_left_open(geo::open_ends(s.cells, rows, columns), rows, columns, {}), geo::open_ends(s.cells, rows, columns).size());
}

// Lines that stop 2 rows short of the lines' rectangle, whose bottom is set by
// the first line alone: the sliver of nodata along a warped DEM's edge. The strip
// below their ends is narrower than the disc, yet it joins every band; it is
// left out from the open ground beyond the rectangle, and the strips between the
// lines' starts along the top, where no end stops, are given back.
TEST(FootprintOfEnds, LinesStoppingShortOfTheRectanglesEdgeEndOnIt)
{
    const int rows = 40, columns = 40;
    for (int n : {1, 2}) { // the same sheet on a grid n times finer
        Sheet s = vertical_lines(rows * n, columns * n, 1, 5 * n,
                                 [&](int i, int j) { return i >= 1 && i <= (j == 1 ? 38 : 36) * n; });
        ASSERT_GT(run(s).leak_pixels, 0) << n;
        const std::vector<std::size_t> ends = geo::open_ends(s.cells, s.rows, s.columns);
        EXPECT_EQ(ends.size(), 6u) << n; // the last line's end lies on the rectangle's edge
        const double radius = geo::footprint_radius(geo::contour_spacing(s.cells, s.rows, s.columns));
        EXPECT_EQ(radius, 5 * n);
        const std::vector<std::uint8_t> inside =
            geo::footprint_of_ends(s.cells, s.rows, s.columns, ends, radius, n);
        for (int i = 1; i <= 34 * n; i++) // the ends lie 2 rows below, on the footprint's edge
            for (int j = 1; j <= 36 * n; j++)
                ASSERT_TRUE(inside[static_cast<std::size_t>(i) * s.columns + j]) << n << ": " << i << " " << j;
        for (int j = 3 * n; j < 36 * n; j++)
            ASSERT_FALSE(inside[static_cast<std::size_t>(38 * n) * s.columns + j]) << n << ": " << j;
        geo::wall_outside(s.cells, s.rows, s.columns, inside);
        const tolvane::Result r = run(s);
        EXPECT_EQ(r.leak_pixels, 0) << n;
        // Between the lines 300 and 400, just above their ends.
        const double v = r.cells[static_cast<std::size_t>(35 * n) * s.columns + 13 * n];
        EXPECT_GT(v, 300) << n;
        EXPECT_LT(v, 400) << n;
    }
}

// Lines that stop nowhere in the open: closed rings and lines running off the
// grid. No open end, no footprint, nothing beyond the extent: the defaults leave
// every cell as it was.
TEST(FootprintOfEnds, CleanSheetsNeedNothing)
{
    Sheet s = vertical_lines(40, 50, 1, 8, [](int i, int j) { return i >= 1 && j < 20; });
    for (int i = 10; i <= 30; i++)
        for (int j = 25; j <= 45; j++)
            if (i == 10 || i == 30 || j == 25 || j == 45)
                s.at(i, j) = 300;
    for (int i = 15; i <= 25; i++)
        for (int j = 30; j <= 40; j++)
            if (i == 15 || i == 25 || j == 30 || j == 40)
                s.at(i, j) = 400;
    // The rings reach neither the last column nor the last row: the margin is
    // walled there. Put a line on the last row and column so that nothing is.
    for (int j = 0; j < 50; j++)
        s.at(39, j) = s.at(39, j) == E ? 300 : s.at(39, j);
    for (int i = 0; i < 40; i++)
        s.at(i, 49) = 300;
    const std::vector<std::size_t> ends = geo::open_ends(s.cells, s.rows, s.columns);
    EXPECT_TRUE(ends.empty());
    const auto inside = geo::footprint_of_ends(s.cells, s.rows, s.columns, ends, 3);
    EXPECT_TRUE(std::all_of(inside.begin(), inside.end(), [](std::uint8_t v) { return v == 1; }));
    const auto extent = geo::within_lines_extent(s.cells, s.rows, s.columns);
    EXPECT_TRUE(std::all_of(extent.begin(), extent.end(), [](std::uint8_t v) { return v == 1; }));
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

// Contours that GDAL draws from a DEM without nodata (every line runs to the
// sheet's edge or closes), run with no option at several pixel sizes: no pixel
// inside the lines' extent is left nodata and no line end stops in the open.
// A mountain beside a plain (lines 1 to 28 pixels of 10 m apart), and a coast
// of sea floor and land, with negative and positive levels and rings.
TEST(Footprint, CleanSheetsFromAContourGeneratorStayFull)
{
    struct Case {
        const char *name;
        double interval;
        double (*z)(double x, double y);
    };
    const Case cases[] = {
        {"mountain beside a plain", 100,
         [](double x, double y) { return 3000 * std::exp(-x / 300) + 20 * std::sin(y / 150); }},
        {"coast", 50,
         [](double x, double y) { return 300 * std::sin(x / 400) * std::cos(y / 300) + 0.1 * x - 60; }},
    };
    GDALAllRegister();
    const int rows = 120, columns = 200;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        prueba::Carpeta folder;
        const auto root = folder.raiz();
        GDALDatasetH dem = GDALCreate(GDALGetDriverByName("MEM"), "", columns, rows, 1, GDT_Float32, nullptr);
        double transform[6] = {500000, 10, 0, 4500000, 0, -10};
        GDALSetGeoTransform(dem, transform);
        std::vector<float> z(static_cast<std::size_t>(rows) * columns);
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++)
                z[static_cast<std::size_t>(i) * columns + j] = static_cast<float>(c.z(10 * j + 5, 10 * i + 5));
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(dem, 1), GF_Write, 0, 0, columns, rows, z.data(), columns, rows,
                               GDT_Float32, 0, 0),
                  CE_None);
        OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
        OSRImportFromEPSG(srs, 25830);
        GDALDatasetH lines = GDALCreate(GDALGetDriverByName("GPKG"), (root / "lines.gpkg").c_str(), 0, 0, 0,
                                        GDT_Unknown, nullptr);
        ASSERT_NE(lines, nullptr);
        OGRLayerH layer = GDALDatasetCreateLayer(lines, "contours", srs, wkbLineString, nullptr);
        OSRDestroySpatialReference(srs);
        OGRFieldDefnH elev = OGR_Fld_Create("elev", OFTReal);
        OGR_L_CreateField(layer, elev, TRUE);
        OGR_Fld_Destroy(elev);
        ASSERT_EQ(GDALContourGenerate(GDALGetRasterBand(dem, 1), c.interval, 0, 0, nullptr, FALSE, 0, layer, -1, 0,
                                      nullptr, nullptr),
                  CE_None);
        OGREnvelope extent;
        OGR_L_GetExtent(layer, &extent, TRUE);
        GDALClose(lines);
        GDALClose(dem);
        for (const char *pixel : {"10", "25", "40"}) {
            SCOPED_TRACE(pixel);
            const std::string run = "cd '" + root.string() + "' && '" TOLVANE_GEO_BIN "' -tr " + pixel + " " + pixel +
                                    " lines.gpkg out.tif > said.txt 2>&1";
            ASSERT_EQ(std::system(run.c_str()), 0);
            EXPECT_EQ(prueba::lee(root / "said.txt").find("stop in the open"), std::string::npos)
                << prueba::lee(root / "said.txt");
            GDALDatasetH out = GDALOpen((root / "out.tif").c_str(), GA_ReadOnly);
            ASSERT_NE(out, nullptr);
            double t[6];
            GDALGetGeoTransform(out, t);
            const int w = GDALGetRasterXSize(out), h = GDALGetRasterYSize(out);
            std::vector<float> v(static_cast<std::size_t>(w) * h);
            ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(out, 1), GF_Read, 0, 0, w, h, v.data(), w, h, GDT_Float32, 0, 0),
                      CE_None);
            const double nodata = GDALGetRasterNoDataValue(GDALGetRasterBand(out, 1), nullptr);
            long long inside = 0, empty = 0;
            for (int i = 0; i < h; i++)
                for (int j = 0; j < w; j++) {
                    const double x = t[0] + (j + 0.5) * t[1], y = t[3] + (i + 0.5) * t[5];
                    if (x < extent.MinX || x > extent.MaxX || y < extent.MinY || y > extent.MaxY)
                        continue;
                    inside++;
                    const float value = v[static_cast<std::size_t>(i) * w + j];
                    empty += std::isnan(value) || value == nodata;
                }
            GDALClose(out);
            EXPECT_GT(inside, 0);
            EXPECT_EQ(empty, 0);
        }
    }
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

// A mountain beside a plain: lines 2 columns apart on the left, running the
// whole height, lines 11 to 14 apart on the right that stop halfway down, where
// the mapped area ends, and one last line down the right edge. The upper
// quartile of the spacing is far below the plain's: a disc of that radius
// would roll through the plain's mouths into its bands. Each pixel's disc is
// the size of its nearest line's own spacing: the plain stays in, the
// unmapped half is out.
TEST(FootprintOfEnds, BandsOfAPlainBesideAMountainStayInside)
{
    const int rows = 60, columns = 90;
    Sheet s(rows, columns);
    int level = 100;
    for (int j = 1; j <= 29; j += 2, level += 100)
        for (int i = 1; i < rows; i++)
            s.at(i, j) = level;
    for (int j = 40; j <= 82; j += 14, level += 100)
        for (int i = 1; i <= 34; i++)
            s.at(i, j) = level;
    for (int i = 1; i < rows; i++)
        s.at(i, 88) = level;

    const double spacing = geo::contour_spacing(s.cells, rows, columns);
    EXPECT_LT(spacing, 7);
    const std::vector<float> local = geo::local_spacing(s.cells, rows, columns, geo::SiteMap(s.cells, rows, columns));
    EXPECT_EQ(local[static_cast<std::size_t>(10) * columns + 5], 2.0f);   // the mountain
    EXPECT_EQ(local[static_cast<std::size_t>(10) * columns + 29], 2.0f);  // its last line, beside the plain
    EXPECT_EQ(local[static_cast<std::size_t>(10) * columns + 40], 11.0f); // the plain's first
    EXPECT_EQ(local[static_cast<std::size_t>(10) * columns + 54], 14.0f); // the plain
    EXPECT_EQ(local[static_cast<std::size_t>(10) * columns + 60], 0.0f);  // no line there

    const std::vector<std::uint8_t> inside = geo::footprint_of_ends(
        s.cells, rows, columns, geo::open_ends(s.cells, rows, columns), geo::footprint_radius(spacing));
    long long wrong_in = 0, wrong_out = 0;
    // The band between the mountain's last line and the plain's first takes the
    // mountain's disc on its left side: only the plain's own bands are judged.
    for (int i = 1; i <= 28; i++)
        for (int j = 41; j <= 87; j++)
            wrong_in += !inside[static_cast<std::size_t>(i) * columns + j];
    for (int i = 42; i < rows - 1; i++)
        for (int j = 36; j <= 80; j++)
            wrong_out += inside[static_cast<std::size_t>(i) * columns + j];
    EXPECT_EQ(wrong_in, 0);
    EXPECT_EQ(wrong_out, 0);
}

} // namespace
