// The footprint the lines draw themselves and the lines' extent: exact distances,
// an L-shaped sheet walled along its inner corner, lines stopping short of the
// grid's last column, and sheets that need nothing left as they are.
#include "drawn.h"
#include "measures.h"
#include "footprint.h"
#include "wall.h"
#include "grid.h"
#include "parallel.h"
#include "sheet.h"

#include <tolvane/geo.h>
#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <cstdio>
#include <random>
#include <string>

#include <gdal.h>
#include <gtest/gtest.h>

namespace geo = tolvane::geo;

namespace {


// Vertical lines every `step` columns from column `first`, levels 100, 200, ...,
// on the rows where keep(i, j) holds.
template <class Keep> Sheet vertical_lines(int rows, int columns, int first, int step, Keep keep)
{
    Sheet s(rows, columns);
    for (int j = first, level = 100; j < columns; j += step, level += 100)
        for (int i = 0; i < rows; i++)
            if (keep(i, j))
                s.at(i, j) = level;
    return s;
}

tolvane::Result run(const Sheet &s)
{
    const std::int32_t highest = *std::max_element(s.cells.begin(), s.cells.end(), [](std::int32_t a, std::int32_t b) {
        return (a == E ? 0 : a) < (b == E ? 0 : b);
    });
    return tolvane::elevation(s.cells.data(), s.rows, s.columns, {100, highest, 100});
}

TEST(SiteMap, ExactAgainstEveryPair)
{
    std::mt19937 random(7);
    for (int rows : {1, 5, 23})
        for (int columns : {1, 9, 31}) {
            std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
            for (auto &s : site)
                s = random() % 17 == 0;
            geo::SiteMap n;
            n.compute(site, rows, columns);
            for (int k = 0; k < rows * columns; k++) {
                long long best = -1;
                for (int m = 0; m < rows * columns; m++)
                    if (site[m]) {
                        const long long di = k / columns - m / columns, dj = k % columns - m % columns;
                        if (best < 0 || di * di + dj * dj < best)
                            best = di * di + dj * dj;
                    }
                ASSERT_EQ(n.squared(k), best) << rows << " x " << columns << ", pixel " << k;
                if (best >= 0) {
                    const long long di = k / columns - n.site(k) / columns, dj = k % columns - n.site(k) % columns;
                    ASSERT_TRUE(site[n.site(k)]);
                    ASSERT_EQ(di * di + dj * dj, best);
                }
            }
        }
}

// The squared distance to the nearest site of every pixel and its index (-1
// and -1 when there is none).
struct NearestSites {
    std::vector<std::int64_t> squared;
    std::vector<std::int64_t> site;
};

// The transform as first written, one column after the other and then one row
// after the other, in 16 bytes a pixel: the oracle of SiteMap's sites.
NearestSites plain_nearest_sites(const std::vector<std::uint8_t> &site, int rows, int columns)
{
    const auto at = [columns](int i, int j) { return static_cast<std::size_t>(i) * columns + j; };
    std::vector<int> site_row(site.size(), -1);
    for (int j = 0; j < columns; j++) {
        for (int i = 0, last = -1; i < rows; i++) {
            if (site[at(i, j)])
                last = i;
            site_row[at(i, j)] = last;
        }
        for (int i = rows - 1, next = -1; i >= 0; i--) {
            if (site[at(i, j)])
                next = i;
            int &r = site_row[at(i, j)];
            if (next >= 0 && (r < 0 || next - i < i - r))
                r = next;
        }
    }
    NearestSites out{std::vector<std::int64_t>(site.size(), -1), std::vector<std::int64_t>(site.size(), -1)};
    std::vector<std::int64_t> f(columns);
    for (int i = 0; i < rows; i++) {
        for (int q = 0; q < columns; q++) {
            const int r = site_row[at(i, q)];
            f[q] = r < 0 ? -1 : static_cast<std::int64_t>(r - i) * (r - i);
        }
        std::vector<int> v;
        std::vector<double> z;
        for (int q = 0; q < columns; q++) {
            if (f[q] < 0)
                continue;
            double s = -INFINITY;
            while (!v.empty()) {
                const int p = v.back();
                s = (static_cast<double>(f[q]) + static_cast<double>(q) * q - static_cast<double>(f[p]) -
                     static_cast<double>(p) * p) /
                    (2.0 * (q - p));
                if (s > z.back())
                    break;
                v.pop_back();
                z.pop_back();
                s = -INFINITY;
            }
            v.push_back(q);
            z.push_back(v.size() == 1 ? -INFINITY : s);
        }
        for (std::size_t x = 0, k = 0; x < static_cast<std::size_t>(columns) && !v.empty(); x++) {
            while (k + 1 < v.size() && z[k + 1] < static_cast<double>(x))
                k++;
            const int q = v[k];
            out.squared[at(i, static_cast<int>(x))] = f[q] + static_cast<std::int64_t>(x - q) * (x - q);
            out.site[at(i, static_cast<int>(x))] = static_cast<std::int64_t>(at(site_row[at(i, q)], q));
        }
    }
    return out;
}

// Sites scattered, on a lattice (every pixel between two rows of sites is a tie)
// and on a slanted lattice: the same site as the plain transform for every
// pixel, whatever the number of threads and the width of the indices.
TEST(SiteMap, SameSitesOnTiesWhateverTheThreads)
{
    std::mt19937 random(11);
    for (int sheet = 0; sheet < 60; sheet++) {
        const int rows = 1 + static_cast<int>(random() % 260), columns = 1 + static_cast<int>(random() % 260);
        const int one_in = 1 + static_cast<int>(random() % 120);
        std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++) {
                const bool scattered = random() % one_in == 0;
                const bool lattice = i % 6 == 0 || j % 8 == 0;
                const bool slanted = (7 * i + 3 * j) % 17 == 0;
                site[static_cast<std::size_t>(i) * columns + j] =
                    sheet % 3 == 0 ? scattered : sheet % 3 == 1 ? scattered && lattice : slanted && random() % 4 != 0;
            }
        const NearestSites plain = plain_nearest_sites(site, rows, columns);
        for (int threads : {1, 2, 3, 7})
            for (auto width : {geo::SiteMap::Width::fit, geo::SiteMap::Width::wide}) {
                const geo::PassThreads passes(threads);
                geo::SiteMap map;
                map.compute(site, rows, columns, width);
                for (std::size_t k = 0; k < site.size(); k++) {
                    ASSERT_EQ(map.site(k), plain.site[k]) << rows << " x " << columns << ", pixel " << k << ", "
                                                          << threads << " threads";
                    ASSERT_EQ(map.squared(k), plain.squared[k]);
                }
            }
    }
}

// Discs of radii around every distance between pixels, with a single site, a
// few, many, and none: the pixels within each are those some site reaches.
TEST(WithinDistance, EveryPixelThatASiteReaches)
{
    std::mt19937 random(5);
    for (int sheet = 0; sheet < 24; sheet++) {
        const int rows = 1 + static_cast<int>(random() % 70), columns = 1 + static_cast<int>(random() % 70);
        const int one_in = sheet % 4 == 0 ? 1 << 20 : 1 + static_cast<int>(random() % 300);
        std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
        for (auto &s : site)
            s = random() % one_in == 0;
        if (sheet % 4 == 1)
            site[random() % site.size()] = 1;
        for (double squared : {-1.0, 0.0, 0.5, 1.0, 2.0, 8.0, 24.99, 25.0, 65.61, 200.0, 1e4, 1e12}) {
            const std::vector<std::uint8_t> within = geo::within_distance(site, rows, columns, squared);
            for (int k = 0; k < rows * columns; k++) {
                bool reached = false;
                for (int m = 0; m < rows * columns && !reached; m++) {
                    const long long di = k / columns - m / columns, dj = k % columns - m % columns;
                    reached = site[m] && static_cast<double>(di * di + dj * dj) <= squared;
                }
                ASSERT_EQ(within[k], reached) << rows << " x " << columns << ", " << squared << ", pixel " << k;
            }
        }
    }
}

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

// Lines every 100 m, three of them stopping halfway and one broken by a gap of
// 20 m, prepared at 4 m on one thread and on several: the same window, with
// its joins, drawn footprint and walls.
TEST(Prepare, SameWindowWhateverTheThreads)
{
    GDALAllRegister();
    const std::string path = testing::TempDir() + "tolvane-prepare-threads.geojson";
    if (FILE *f = std::fopen(path.c_str(), "w")) {
        std::string features;
        for (int k = 0; k <= 10; k++) {
            const std::string x = std::to_string(100 * k), elev = std::to_string(100 + 10 * k);
            const auto line = [&](const std::string &y0, const std::string &y1) {
                features += std::string(features.empty() ? "" : ",") + "{\"type\": \"Feature\", \"properties\": {\"elev\": " +
                            elev + "}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[" + x + ", " + y0 +
                            "], [" + std::to_string(100 * k + 37) + ", " + y1 + "]]}}";
            };
            if (k == 3 || k == 4 || k == 8)
                line("0", "450");
            else if (k == 6) {
                line("0", "590");
                line("610", "1000");
            } else
                line("0", "1000");
        }
        std::fputs(("{\"type\": \"FeatureCollection\", \"crs\": {\"type\": \"name\", \"properties\": {\"name\": "
                    "\"urn:ogc:def:crs:EPSG::25830\"}}, \"features\": [" + features + "]}").c_str(),
                   f);
        std::fclose(f);
    }
    tolvane::geo::Request q;
    q.source.path = path;
    q.grid.xres = q.grid.yres = 4;
    std::optional<tolvane::geo::Window> first;
    for (int threads : {1, 2, 3, 8}) {
        q.core.threads = threads;
        const tolvane::geo::ContourSource source(q);
        const tolvane::geo::Grid &g = source.grid();
        const tolvane::geo::Window w = source.prepare(0, 0, g.rows, g.columns);
        ASSERT_GT(w.outside, 0);
        ASSERT_GT(w.radius, 0);
        if (!first) {
            first = w;
            continue;
        }
        EXPECT_EQ(w.cells, first->cells) << threads << " threads";
        EXPECT_EQ(w.inside, first->inside);
        EXPECT_EQ(w.shown, first->shown);
        EXPECT_EQ(w.grid_joins, first->grid_joins);
        EXPECT_EQ(w.gap_distance, first->gap_distance);
        EXPECT_EQ(w.radius, first->radius);
        EXPECT_EQ(w.open_ends, first->open_ends);
    }
    std::remove(path.c_str());
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
    EXPECT_EQ(geo::ends_left_open(s.cells, rows, columns, inside), 1u); // (5, 20) alone
    EXPECT_EQ(geo::ends_left_open(s.cells, rows, columns, {}), geo::open_ends(s.cells, rows, columns).size());
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

// The default grid over the bundled lines' extent (2000 x 1500 m): the same
// margin on every side, whether or not the pixel size divides the extent; -te
// and -tap keep their own edges.
TEST(GridOver, SameMarginOnEverySide)
{
    const geo::Extent box{440000, 4475000, 442000, 4476500};
    for (double pixel : {3.0, 7.0, 10.0, 13.0, 15.0}) {
        geo::GridRequest o;
        o.xres = o.yres = pixel;
        const geo::Grid g = geo::place_grid(box, o, "");
        const double left = box.xmin - g.origin_x, right = g.origin_x + g.columns * pixel - box.xmax;
        const double top = g.origin_y - box.ymax, bottom = box.ymin - (g.origin_y - g.rows * pixel);
        EXPECT_NEAR(left, right, 1e-6) << pixel;
        EXPECT_NEAR(top, bottom, 1e-6) << pixel;
        EXPECT_GE(left, pixel) << pixel;
        EXPECT_LT(left, 1.5 * pixel) << pixel;
        EXPECT_GE(top, pixel) << pixel;
        EXPECT_LT(top, 1.5 * pixel) << pixel;
    }
    geo::GridRequest aligned;
    aligned.xres = aligned.yres = 7;
    aligned.aligned = true;
    EXPECT_EQ(geo::place_grid(box, aligned, "").origin_x, 439992); // 62856 x 7, below 440000 - 7
    aligned.aligned = false;
    aligned.extent = geo::Extent{439000, 4474000, 443000, 4477000};
    EXPECT_EQ(geo::place_grid(box, aligned, "").origin_x, 439000);
}

// The bundled lines through tolvane-geo: at 10 m the defaults give the cells of a
// run with every default turned off; at pixel sizes that do not divide their
// extent, with or without -tap or a wider -te, nothing leaks and nothing is
// reported.
TEST(Defaults, BundledLinesAtAnyPixelSize)
{
    std::string folder = testing::TempDir() + "tolvane-footprint-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string dir = folder + "/";
    // tolvane-geo -q ARGUMENTS INPUT DIR/OUTPUT: exit status and standard error.
    const auto geo_run = [&](const std::string &arguments, const std::string &input, const std::string &output) {
        const std::string command = "'" TOLVANE_GEO_BIN "' -q " + arguments + " '" + input + "' '" + dir + output +
                                    "' 2> '" + dir + "err.txt'";
        const int status = std::system(command.c_str());
        std::string err;
        if (FILE *f = std::fopen((dir + "err.txt").c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, f))
                err += line;
            std::fclose(f);
        }
        return std::make_pair(status, err);
    };
    const auto bytes = [&](const std::string &name) {
        std::string data;
        if (FILE *f = std::fopen((dir + name).c_str(), "rb")) {
            char block[65536];
            for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;)
                data.append(block, n);
            std::fclose(f);
        }
        return data;
    };
    ASSERT_EQ(geo_run("-tr 10 10", COLINAS_GPKG, "default.tif").first, 0);
    ASSERT_EQ(geo_run("-tr 10 10 -mask none -repair_gaps 0", COLINAS_GPKG, "off.tif").first, 0);
    EXPECT_EQ(bytes("default.tif"), bytes("off.tif"));
    for (const std::string grid : {"-tr 7 7", "-tr 13 13", "-tr 3 3", "-tap -tr 15 15", "-tr 7 7 -te 439900 4474900 442100 4476600"}) {
        const auto [status, err] = geo_run("-strict " + grid, COLINAS_GPKG, "dem.tif");
        EXPECT_EQ(status, 0) << grid << ": " << err;
        EXPECT_EQ(err, "") << grid;
    }

    // A line of 200 that stops halfway between 100 and 300: what is left leaking
    // is named, and -strict refuses it, writing nothing.
    if (FILE *f = std::fopen((dir + "stop.geojson").c_str(), "w")) {
        std::fputs("{\"type\": \"FeatureCollection\", "
                   "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"urn:ogc:def:crs:EPSG::25830\"}}, "
                   "\"features\": ["
                   "{\"type\": \"Feature\", \"properties\": {\"elev\": 100}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[0, 0], [0, 100]]}},"
                   "{\"type\": \"Feature\", \"properties\": {\"elev\": 200}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[50, 0], [50, 50]]}},"
                   "{\"type\": \"Feature\", \"properties\": {\"elev\": 300}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[100, 0], [100, 100]]}}]}",
                   f);
        std::fclose(f);
    }
    const std::string stop = dir + "stop.geojson";
    const auto [status, err] = geo_run("-tr 2 2", stop, "warned.tif");
    EXPECT_EQ(status, 0) << err;
    EXPECT_NE(err.find("1 line ends stop in the open inside the footprint"), std::string::npos) << err;
    std::remove((dir + "strict.tif").c_str());
    const auto [strict_status, strict_err] = geo_run("-strict -tr 2 2", stop, "strict.tif");
    EXPECT_NE(strict_status, 0);
    EXPECT_NE(strict_err.find("-strict: "), std::string::npos) << strict_err;
    EXPECT_EQ(bytes("strict.tif"), "");
    std::filesystem::remove_all(folder);
}

} // namespace
