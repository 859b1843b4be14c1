// The last repair on constructed grids: a gap in a bend closed along the middle
// of its band, an end whose other side met a line of its level, and sheets whose
// bands hold (or whose gaps are too wide) left as they are.
#include "seal.h"
#include "sheet.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

namespace geo = tolvane::geo;

namespace {


// Circles around the centre of a square sheet, levels 100, 200, ... outwards,
// radius 3, 6, 9, ... cells; `drawn(level, degrees)` says which of their points
// are kept (degrees counterclockwise from the east, 0 to 360).
template <class Drawn> Sheet rings(int side, int count, Drawn drawn)
{
    Sheet s(side, side);
    const double c = (side - 1) / 2.0;
    for (int n = 1; n <= count; n++)
        for (int step = 0; step < 3600; step++) {
            const double degrees = step / 10.0, a = degrees * M_PI / 180;
            if (drawn(100 * n, degrees))
                s.at(static_cast<int>(std::lround(c - 3 * n * std::sin(a))),
                     static_cast<int>(std::lround(c + 3 * n * std::cos(a)))) = 100 * n;
        }
    return s;
}

long long leaks(const Sheet &s)
{
    const std::int32_t highest = *std::max_element(s.cells.begin(), s.cells.end(), [](std::int32_t a, std::int32_t b) {
        return (a == E ? 0 : a) < (b == E ? 0 : b);
    });
    return tolvane::elevation(s.cells.data(), s.rows, s.columns, {100, highest, 100}).leak_pixels;
}

// The ring 300 (radius 9) open over 120 degrees, rings 3 cells apart: the chord
// across the gap (15.6 cells) passes within 4.5 cells of the centre and would cut
// the ring 200. The join follows the bend instead, on the circle halfway between
// the rings 200 and 400, where the piece was cut out.
TEST(Seal, GapInABendClosedAlongTheMiddleOfItsBand)
{
    const auto open = [](int level, double degrees) { return level != 300 || degrees < 30 || degrees > 150; };
    Sheet s = rings(61, 6, open);
    const Sheet before = s;
    ASSERT_GT(leaks(s), 0);
    const geo::Repairs r = geo::seal_leaks(s.cells, s.rows, s.columns, {}, 100, 16);
    EXPECT_EQ(r.joins, 1);
    EXPECT_GT(r.pixels, 10);
    const double c = 30;
    for (int i = 0; i < s.rows; i++)
        for (int j = 0; j < s.columns; j++) {
            const std::size_t k = static_cast<std::size_t>(i) * s.columns + j;
            if (s.cells[k] == before.cells[k])
                continue;
            EXPECT_EQ(before.cells[k], E) << i << " " << j;
            EXPECT_EQ(s.cells[k], 300) << i << " " << j;
            EXPECT_NEAR(std::hypot(i - c, j - c), 9, 1.5) << i << " " << j;
            EXPECT_LT(i, c) << "north of the centre, where the gap is: " << i << " " << j;
        }
    EXPECT_EQ(leaks(s), 0);
}

// Straight lines 100, 200 and 300, five columns apart. The line 200 stops at
// row 19 and starts again at row 25, where it rings a small hill of its own
// level: that side is no end. The end joins the ring, the nearest cell of its
// level that is not its own line.
TEST(Seal, EndMeetsTheSideOfItsLevel)
{
    const int rows = 50, columns = 21;
    Sheet s(rows, columns);
    for (int i = 0; i < rows; i++) {
        s.at(i, 5) = 100;
        s.at(i, 15) = 300;
        if (i < 20 || i >= 29)
            s.at(i, 10) = 200;
    }
    for (int i = 25; i <= 29; i++)
        for (int j = 8; j <= 12; j++)
            if (i == 25 || i == 29 || j == 8 || j == 12)
                s.at(i, j) = 200;
    ASSERT_GT(leaks(s), 0);
    const geo::Repairs r = geo::seal_leaks(s.cells, rows, columns, {}, 100, 8);
    EXPECT_EQ(r.joins, 1);
    for (int i = 20; i < 25; i++)
        EXPECT_EQ(s.at(i, 10), 200) << i;
    EXPECT_EQ(leaks(s), 0);
}

// Whole rings; lines that run off the grid; a gap wider than the distance
// allowed; a gap in the outermost ring, whose band only joins the land beyond
// it, which holds no other level: none is touched.
TEST(Seal, SheetsWhoseBandsHoldOrWhoseGapsAreTooWideAreLeftAlone)
{
    const Sheet whole = rings(61, 6, [](int, double) { return true; });
    const Sheet wide = rings(61, 6, [](int level, double d) { return level != 300 || d < 30 || d > 150; });
    Sheet lines(30, 30);
    for (int i = 0; i < 30; i++)
        for (int n = 1; n <= 5; n++)
            lines.at(i, 5 * n) = 100 * n;
    const Sheet summit = rings(61, 6, [](int level, double d) { return level != 600 || d < 30 || d > 60; });
    for (const Sheet *given : std::initializer_list<const Sheet *>{&whole, &wide, &lines, &summit}) {
        Sheet s = *given;
        const geo::Repairs r = geo::seal_leaks(s.cells, s.rows, s.columns, {}, 100, given == &wide ? 12 : 8);
        EXPECT_EQ(r.joins, 0);
        EXPECT_EQ(s.cells, given->cells);
    }
}

} // namespace
