// The smooth surface on analytic shapes: a cone and a paraboloid whose lines
// are burned as contour pixels and run through the core (plain), then redrawn
// through points on the true circles (smooth). Smooth comes close to the shape
// where plain is off by a share of the interval (its straight bands and flat
// top); the surface crosses each line's level on the line, no cell leaves its
// band, and neither a window's edge, a hole without value nor the threads
// change it beyond a small bound.
#include "parallel.h"
#include "strided.h"
#include "surface.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace geo = tolvane::geo;

namespace {

constexpr int INTERVAL = 1000;
const tolvane::Levels LEVELS{1000, 9000, INTERVAL};
constexpr double PI = 3.14159265358979323846;

struct Shape {
    std::string name;
    std::function<double(double)> height; // of the distance from the centre, over the half side
    std::function<double(double)> radius; // where the height is this level, over the half side
};

const Shape CONE{"cone", [](double u) { return 9900 - 9000 * u; }, [](double z) { return (9900 - z) / 9000; }};
const Shape PARABOLOID{"paraboloid", [](double u) { return 9900 - 9000 * u * u; },
                       [](double z) { return std::sqrt((9900 - z) / 9000); }};
// A steep peak on a gentle plain: its slope, carried on past the foot, would
// take the thin plate below the plain's band.
const Shape PEAK{"peak", [](double u) { return u < 0.4 ? 9900 - 20000 * u : 1900 - 500 * (u - 0.4); },
                 [](double z) { return z >= 1900 ? (9900 - z) / 20000 : 0.4 + (1900 - z) / 500; }};

struct Drawn {
    int side = 0;
    std::vector<double> truth;         // at the pixel centres
    std::vector<std::int32_t> burned;  // the contour pixels
    std::vector<geo::SurfacePoint> points; // on the true lines, a pixel apart
    std::vector<double> plain, smooth; // the core's cells, and redrawn
    std::vector<double> radius;        // distance from the centre, over the half side
};

std::size_t at(int side, int i, int j) { return static_cast<std::size_t>(i) * side + j; }

// The shape on side x side pixels, its lines burned where the shape crosses
// a level between two pixels side by side, on the one nearer the level (as a
// rasterised line falls on the pixels it passes nearest).
void burn_and_draw(Drawn &d, const std::string &name);

Drawn draw(const Shape &shape, int side)
{
    Drawn d;
    d.side = side;
    const std::size_t n = static_cast<std::size_t>(side) * side;
    d.truth.resize(n);
    d.radius.resize(n);
    const double half = side / 2.0;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double u = std::hypot(i + 0.5 - half, j + 0.5 - half) / half;
            d.radius[at(side, i, j)] = u;
            d.truth[at(side, i, j)] = shape.height(u);
        }
    for (int level = LEVELS.lowest; level <= LEVELS.highest; level += INTERVAL) {
        const double r = shape.radius(level) * half;
        if (r > half)
            continue; // beyond the grid's side
        const int count = std::max(8, static_cast<int>(std::ceil(2 * PI * r)));
        for (int m = 0; m < count; m++) {
            const double a = 2 * PI * m / count;
            d.points.push_back({half + r * std::sin(a), half + r * std::cos(a), static_cast<double>(level), 1});
        }
    }
    burn_and_draw(d, shape.name);
    return d;
}

// The truth's lines burned where it crosses a level between two pixels side
// by side, then the core's cells and the smooth surface through the points.
void burn_and_draw(Drawn &d, const std::string &name)
{
    const int side = d.side;
    const std::size_t n = static_cast<std::size_t>(side) * side;
    d.burned.assign(n, tolvane::EMPTY);
    const auto cross = [&](std::size_t a, std::size_t b) {
        const double za = d.truth[a], zb = d.truth[b];
        for (int level = LEVELS.lowest; level <= LEVELS.highest; level += INTERVAL)
            if ((za < level) != (zb < level))
                d.burned[std::fabs(za - level) <= std::fabs(zb - level) ? a : b] = level;
    };
    for (int i = 1; i + 1 < side; i++)
        for (int j = 1; j + 1 < side; j++) {
            const std::size_t k = at(side, i, j);
            if (j + 2 < side)
                cross(k, k + 1);
            if (i + 2 < side)
                cross(k, k + side);
        }
    // Lines that run off the grid are burned to its edge, so that no band
    // leaks round their ends.
    for (int j = 0; j < side; j++) {
        if (d.burned[at(side, 1, j)] != tolvane::EMPTY && d.burned[at(side, 0, j)] == tolvane::EMPTY)
            d.burned[at(side, 0, j)] = d.burned[at(side, 1, j)];
        if (d.burned[at(side, side - 2, j)] != tolvane::EMPTY && d.burned[at(side, side - 1, j)] == tolvane::EMPTY)
            d.burned[at(side, side - 1, j)] = d.burned[at(side, side - 2, j)];
    }
    const tolvane::Result r = tolvane::elevation(d.burned.data(), side, side, LEVELS);
    EXPECT_EQ(r.leak_pixels, 0) << name;
    d.plain.assign(r.cells.begin(), r.cells.end());
    for (double &v : d.plain)
        if (v == tolvane::EMPTY)
            v = NAN;
    d.smooth = d.plain;
    geo::smooth_surface(d.smooth, side, side, d.points, LEVELS.lowest, INTERVAL);
}

// A straight valley down the grid, its floor `top` below 5000 at the top
// edge and falling `fall` a row, its sides rising `slope` a pixel: the lines of
// 5000 either side of it, and of 4000 across it further down (its pixels
// there in the band below), a point every row and every column where the
// truth crosses a level.
Drawn draw_valley(int side, double top, double fall, double slope)
{
    Drawn d;
    d.side = side;
    const std::size_t n = static_cast<std::size_t>(side) * side;
    const double half = side / 2.0;
    const auto height = [&](double row, double column) {
        return 5000 - top - fall * row + slope * std::fabs(column - half);
    };
    d.truth.resize(n);
    d.radius.assign(n, 0);
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++)
            d.truth[at(side, i, j)] = height(i + 0.5, j + 0.5);
    for (int level = LEVELS.lowest; level <= LEVELS.highest; level += INTERVAL)
        for (int m = 0; m < side; m++) {
            const double x = (level - height(m + 0.5, half)) / slope; // across, on row m
            if (x >= 0 && x < half)
                for (double sign : {-1.0, 1.0})
                    d.points.push_back({m + 0.5, half + sign * x, static_cast<double>(level), 1});
            const double y = (height(0, m + 0.5) - level) / fall; // down, on column m
            if (y >= 0 && y < side)
                d.points.push_back({y, m + 0.5, static_cast<double>(level), 1});
        }
    burn_and_draw(d, "valley");
    return d;
}

// RMSE over the pixels inside the lowest line (well inside the grid), in intervals.
double rmse(const Drawn &d, const std::vector<double> &cells)
{
    double sum = 0;
    long long count = 0;
    for (std::size_t k = 0; k < cells.size(); k++)
        if (d.radius[k] < 0.9) {
            sum += (cells[k] - d.truth[k]) * (cells[k] - d.truth[k]);
            count++;
        }
    return std::sqrt(sum / count) / INTERVAL;
}

// The cells read bilinearly at (row, column) in pixels (pixel (i, j) spans
// rows i to i + 1), as the surface reads its points.
double bilinear(const std::vector<double> &cells, int side, double row, double column)
{
    const double x = row - 0.5, y = column - 0.5;
    const int i = std::clamp(static_cast<int>(std::floor(x)), 0, side - 2);
    const int j = std::clamp(static_cast<int>(std::floor(y)), 0, side - 2);
    const double fr = std::clamp(x - i, 0.0, 1.0), fc = std::clamp(y - j, 0.0, 1.0);
    return (1 - fr) * ((1 - fc) * cells[at(side, i, j)] + fc * cells[at(side, i, j + 1)]) +
           fr * ((1 - fc) * cells[at(side, i + 1, j)] + fc * cells[at(side, i + 1, j + 1)]);
}

// Every cell stays in the band the core put it in (between its two levels; a
// cell the core left at a level within an interval of it either way), or,
// where a line crosses its pixel, within an interval of that line's level.
void expect_in_bands(const Drawn &d, const std::string &name)
{
    const int side = d.side;
    std::vector<double> line(d.plain.size(), NAN);
    for (const geo::SurfacePoint &p : d.points)
        line[at(side, static_cast<int>(p.row), static_cast<int>(p.column))] = p.value;
    for (std::size_t k = 0; k < d.plain.size(); k++) {
        const double p = d.plain[k], s = d.smooth[k];
        double low = std::floor((p - LEVELS.lowest) / INTERVAL) * INTERVAL + LEVELS.lowest;
        double high = low + INTERVAL;
        if (p == low)
            low -= INTERVAL;
        if (!std::isnan(line[k])) {
            low = std::min(low, line[k] - INTERVAL);
            high = std::max(high, line[k] + INTERVAL);
        }
        ASSERT_GE(s, low) << name << " " << side << ": pixel " << k;
        ASSERT_LE(s, high) << name << " " << side << ": pixel " << k;
    }
}

struct Case {
    const Shape *shape;
    int side;
    double smooth_within; // of the truth, in intervals
    double plain_beyond;
};

class Shapes : public ::testing::TestWithParam<Case> {};

TEST_P(Shapes, SmoothComesCloseWherePlainDoesNot)
{
    const Case &c = GetParam();
    const Drawn d = draw(*c.shape, c.side);
    const double plain = rmse(d, d.plain), smooth = rmse(d, d.smooth);
    EXPECT_LT(smooth, c.smooth_within) << c.shape->name << " " << c.side << ": plain " << plain;
    EXPECT_GT(plain, c.plain_beyond) << c.shape->name << " " << c.side << ": smooth " << smooth;
}

// Lines 2, 4 and 9 pixels apart on the cone, whose bands plain draws straight
// already (what smooth gains there is the top plain leaves flat); the
// paraboloid's bands narrow from 3 to 13 pixels at the top line down to 1 to 4
// at the lowest, and plain is off in all of them. The paraboloid is a shape the
// thin plate follows, so on the small grids, solved further than the largest
// ones, smooth comes within a hundredth of the interval (with the largest
// grids' few steps: 0.015 at 61 pixels, 0.010 at 81).
INSTANTIATE_TEST_SUITE_P(Surface, Shapes,
                         ::testing::Values(Case{&CONE, 41, 0.08, 0.08}, Case{&CONE, 81, 0.04, 0.06},
                                           Case{&CONE, 161, 0.02, 0.04}, Case{&PARABOLOID, 61, 0.01, 0.15},
                                           Case{&PARABOLOID, 81, 0.007, 0.15},
                                           Case{&PARABOLOID, 161, 0.03, 0.15}));

// The surface crosses each line's level on the line, within a twentieth of the
// interval, and every cell stays in its band.
TEST(Surface, LinesKeepTheirLevelAndCellsTheirBand)
{
    for (const Shape *shape : {&CONE, &PARABOLOID})
        for (int side : {41, 61, 81, 161}) {
            if (shape == &PARABOLOID && side == 41)
                continue; // its lowest lines burned too close to close its bands
            const Drawn d = draw(*shape, side);
            double worst = 0;
            for (const geo::SurfacePoint &p : d.points)
                if (std::hypot(p.row - side / 2.0, p.column - side / 2.0) < 0.9 * side / 2.0)
                    worst = std::max(worst, std::fabs(bilinear(d.smooth, side, p.row, p.column) - p.value));
            EXPECT_LT(worst, 0.05 * INTERVAL) << shape->name << " " << side;
            expect_in_bands(d, shape->name);
        }
}

// Where the fit leaves a band (the peak's steep slope carried on past its foot,
// below the plain's band) the surface bends back into it instead of lying on
// the level: hardly a cell sits exactly on one (the clamp alone put a ring of
// thousands there, most of the plain), and none leaves its band.
TEST(Surface, CellsHeldOffTheLevels)
{
    for (int side : {81, 161}) {
        const Drawn d = draw(PEAK, side);
        expect_in_bands(d, PEAK.name);
        int on = 0;
        for (double v : d.smooth)
            on += std::fmod(v - LEVELS.lowest, INTERVAL) == 0;
        EXPECT_LT(on, side / 10) << side;
    }
}

// The summit the core leaves flat rises towards the top (900 above the line),
// on a grid where the top ring spans 25 pixels and on one where it spans 76,
// more than the pull towards the core's cells reaches.
TEST(Surface, SummitRises)
{
    for (int side : {161, 481}) {
        const Drawn d = draw(PARABOLOID, side);
        const std::size_t centre = at(side, side / 2, side / 2);
        EXPECT_EQ(d.plain[centre], 9000) << side;
        EXPECT_GT(d.smooth[centre], 9000 + 0.6 * INTERVAL) << side;
        EXPECT_LT(d.smooth[centre], 9000 + INTERVAL) << side;
    }
}

// A valley's floor between two lines of one level, down to where a line of
// the next level crosses it: the core draws it straight from the lines'
// level down along the valley, too high; the smooth surface dips toward the
// floor as the slopes on either side lead it, and stays in the band.
TEST(Surface, AValleyBetweenTwoLinesOfOneLevelDips)
{
    struct Valley {
        int side;
        double top, fall, slope, within; // within: the most of plain's height smooth keeps
    };
    for (const Valley &v : {Valley{161, 200, 8, 40, 0.9}, Valley{161, 300, 6, 25, 0.9}, Valley{121, 150, 10, 30, 0.9},
                            Valley{401, 200, 8, 40, 0.74}, Valley{481, 300, 6, 40, 0.66}}) {
        const Drawn d = draw_valley(v.side, v.top, v.fall, v.slope);
        double plain = 0, smooth = 0; // the mean height over the floor, along its upper reach
        for (int i = 5; i <= 35; i++) {
            const std::size_t k = at(v.side, i, v.side / 2);
            plain += d.plain[k] - d.truth[k];
            smooth += d.smooth[k] - d.truth[k];
        }
        // Without the zones' points the thin plate stays as high as the core
        // (0.97, 0.97 and 1.19 of its height over the floor); with them 0.68 to 0.84.
        // The last two grids are too large for the full steps on the finest
        // grid, where the points shape the coarser ones and the next to the
        // finest sees them again at the height those drew: 0.70 and 0.63,
        // against 0.77 and 0.70 on the coarser ones alone and 0.94 and 0.92
        // without them.
        EXPECT_LT(smooth, v.within * plain) << v.side << " " << v.top;
        EXPECT_GT(smooth, 0) << v.side << " " << v.top;
        expect_in_bands(d, "valley");
    }
}

// Beyond the lowest line, out to the grid's edge, a run of the library leaves
// a flat at that line's level; the smooth surface goes on down from it as the
// slope inside leads it, levelling out within the band below, and hardly a
// cell of it stays on the level. A dome whose slope eases outwards, drawn down
// to its 3000 line only, 10 to 50 pixels from the grid's edge: the thin plate
// alone carried the easing on and rose back above the line (to 3130).
TEST(Surface, TheLowlandBeyondTheLowestLineGoesOnDown)
{
    constexpr int side = 161, lowest = 3000;
    const Shape DOME{"dome", [](double u) { return 500 + 9400 * std::exp(-2.2 * u); },
                     [](double z) { return std::log(9400 / (z - 500)) / 2.2; }};
    const Drawn d = draw(DOME, side);
    const double beyond = DOME.radius(lowest) + 2.0 / side; // a pixel beyond the line
    std::vector<double> cells = d.plain;
    for (std::size_t k = 0; k < cells.size(); k++)
        if (d.radius[k] > beyond)
            cells[k] = lowest;
    std::vector<geo::SurfacePoint> points;
    for (const geo::SurfacePoint &p : d.points)
        if (p.value >= lowest)
            points.push_back(p);
    geo::smooth_surface(cells, side, side, points, LEVELS.lowest, INTERVAL);
    double mean = 0;
    int count = 0, near = 0;
    for (std::size_t k = 0; k < cells.size(); k++)
        if (d.radius[k] > beyond + 20.0 / side) {
            EXPECT_GE(cells[k], lowest - INTERVAL);
            EXPECT_LE(cells[k], lowest);
            mean += cells[k];
            count++;
            near += std::fabs(cells[k] - lowest) < INTERVAL / 40.0;
        }
    mean /= count;
    EXPECT_LT(mean, lowest - 0.3 * INTERVAL);
    EXPECT_LT(near, count / 20) << "of " << count;
}

// A window of the grid with a halo around it, fitted on its own through the
// points that fall in it, gives its inner cells within a tenth of the interval
// of the whole grid's (its edge, free, bends differently from the whole
// grid's cells there): lines as far apart as these need a halo of a few bands.
TEST(Surface, WindowWithHaloMatchesTheWhole)
{
    const Drawn d = draw(PARABOLOID, 161);
    const int r0 = 20, c0 = 40, side = 100, halo = 30;
    std::vector<double> cells(static_cast<std::size_t>(side) * side);
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++)
            cells[at(side, i, j)] = d.plain[at(161, r0 + i, c0 + j)];
    std::vector<geo::SurfacePoint> points;
    for (const geo::SurfacePoint &p : d.points)
        if (p.row >= r0 && p.row <= r0 + side && p.column >= c0 && p.column <= c0 + side)
            points.push_back({p.row - r0, p.column - c0, p.value, p.weight});
    geo::smooth_surface(cells, side, side, points, LEVELS.lowest, INTERVAL);
    double worst = 0, edge = 0;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double e = std::fabs(cells[at(side, i, j)] - d.smooth[at(161, r0 + i, c0 + j)]);
            const bool inner = std::min({i, j, side - 1 - i, side - 1 - j}) >= halo;
            (inner ? worst : edge) = std::max(inner ? worst : edge, e);
        }
    EXPECT_LT(worst, 0.1 * INTERVAL) << "at the window's edge: " << edge;
}

// Cells without value stay so, and the fit bridges them: the other cells are
// within a hundredth of the interval of those of the grid without the hole
// (whose cells only lose their pull towards the core's).
TEST(Surface, HoleWithoutValueStaysAndIsBridged)
{
    const Drawn d = draw(PARABOLOID, 81);
    std::vector<double> holed = d.plain;
    for (int i = 20; i < 30; i++)
        for (int j = 45; j < 60; j++)
            holed[at(81, i, j)] = NAN;
    geo::smooth_surface(holed, 81, 81, d.points, LEVELS.lowest, INTERVAL);
    for (int i = 0; i < 81; i++)
        for (int j = 0; j < 81; j++) {
            const std::size_t k = at(81, i, j);
            if (i >= 20 && i < 30 && j >= 45 && j < 60)
                ASSERT_TRUE(std::isnan(holed[k]));
            else
                ASSERT_NEAR(holed[k], d.smooth[k], 0.01 * INTERVAL) << i << " " << j;
        }
}

// A sheet of lines of one level: the surface passes on the level along the
// line, stays in its band on either side (below it where the core drew a band
// up to it, above where a summit's rise), and far from the line comes back
// towards the core's cells (within a fifth of the interval, 35 cells away).
TEST(Surface, OneLevel)
{
    const int side = 80;
    std::vector<double> cells(static_cast<std::size_t>(side) * side);
    std::vector<geo::SurfacePoint> points;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++)
            cells[at(side, i, j)] = j < 40 ? 2500 : 3000 + 10 * (j - 40);
    for (int i = 0; i <= side; i++)
        points.push_back({static_cast<double>(i), 40.0, 3000, 1});
    const std::vector<double> core = cells;
    geo::smooth_surface(cells, side, side, points, LEVELS.lowest, INTERVAL);
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double v = cells[at(side, i, j)];
            if (j == 39 || j == 40) {
                ASSERT_NEAR(v, 3000, 0.05 * INTERVAL) << i << " " << j;
            }
            ASSERT_TRUE(j < 40 ? v >= 2000 && v <= 3000 : v >= 2000 && v <= 4000) << i << " " << j << ": " << v;
            if (j < 5 || j >= side - 5) {
                ASSERT_NEAR(v, core[at(side, i, j)], 0.2 * INTERVAL) << i << " " << j;
            }
        }
}

// Grids of one or two rows or columns, where a point's four cells fold onto
// fewer and the held cells sit on the last row or column: the line keeps its
// level, every cell its band, and none goes without value.
TEST(Surface, ThinGridsKeepTheLineAndTheBands)
{
    for (const auto &[rows, columns] : {std::pair{1, 40}, std::pair{2, 40}, std::pair{40, 1}, std::pair{40, 2}}) {
        const bool across = columns > 2; // the line runs across the rows, at column 20
        std::vector<double> cells(static_cast<std::size_t>(rows) * columns);
        std::vector<geo::SurfacePoint> points;
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++) {
                const int u = across ? j : i;
                cells[at(columns, i, j)] = u < 20 ? 2000 + 50 * u : 3000 + 50 * (u - 20);
            }
        for (int s = 0; s <= (across ? rows : columns); s++)
            points.push_back(across ? geo::SurfacePoint{static_cast<double>(s), 20.0, 3000, 1}
                                    : geo::SurfacePoint{20.0, static_cast<double>(s), 3000, 1});
        geo::smooth_surface(cells, rows, columns, points, LEVELS.lowest, INTERVAL);
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++) {
                const int u = across ? j : i;
                const double v = cells[at(columns, i, j)];
                ASSERT_TRUE(u < 20 ? v >= 2000 && v <= 3000 : v >= 3000 && v <= 4000)
                    << rows << "x" << columns << " " << i << " " << j << ": " << v;
                if (u == 19 || u == 20) {
                    ASSERT_NEAR(v, 3000, 0.05 * INTERVAL) << rows << "x" << columns << " " << i << " " << j;
                }
            }
    }
}

// Without points, or without an interval, the cells are left as they are.
TEST(Surface, NoPointsNoChange)
{
    std::vector<double> cells(25, 1500);
    cells[7] = NAN;
    const std::vector<double> before = cells;
    geo::smooth_surface(cells, 5, 5, {}, LEVELS.lowest, INTERVAL);
    for (std::size_t k = 0; k < cells.size(); k++)
        EXPECT_TRUE(cells[k] == before[k] || (std::isnan(cells[k]) && std::isnan(before[k])));
    geo::smooth_surface(cells, 5, 5, {{2.5, 2.5, 2000, 1}}, LEVELS.lowest, 0);
    EXPECT_EQ(cells[12], 1500);
}

// The same cells, byte for byte, on one thread and on several.
TEST(Surface, SameCellsWhateverTheThreads)
{
    const Drawn d = draw(PARABOLOID, 161);
    std::vector<double> one = d.plain, four = d.plain;
    {
        const geo::PassThreads threads(1);
        geo::smooth_surface(one, 161, 161, d.points, LEVELS.lowest, INTERVAL);
    }
    {
        const geo::PassThreads threads(4);
        geo::smooth_surface(four, 161, 161, d.points, LEVELS.lowest, INTERVAL);
    }
    EXPECT_EQ(0, std::memcmp(one.data(), four.data(), one.size() * sizeof(double)));
}

// The points each grid of the cascade sees, walked through the few it reads,
// against the test of every point: every stride-th counted through the sets,
// the ones alone wherever they stand (on a stride's place or not, first,
// last, all of a set or none), each once and in order.
TEST(Surface, EachGridSeesEveryStrideThPointAndThoseAloneOnce)
{
    std::mt19937 g(7);
    for (int trial = 0; trial < 400; trial++) {
        const std::size_t size = g() % 70, base = g() % 100, stride = std::size_t{1} << (g() % 7);
        const unsigned share = trial % 4 == 0 ? 0 : trial % 4 == 1 ? 100 : g() % 40;
        std::vector<int> alone_flag(size);
        for (int &a : alone_flag)
            a = g() % 100 < share ? 1 : 0;
        const std::vector<std::size_t> alone = geo::standing_alone(alone_flag, [](int a) { return a == 1; });
        std::vector<std::size_t> want, got;
        for (std::size_t i = 0; i < size; i++)
            if (alone_flag[i] || (base + i) % stride == 0)
                want.push_back(i);
        geo::each_strided(size, base, stride, alone, [&](std::size_t i) { got.push_back(i); });
        ASSERT_EQ(want, got) << "size " << size << ", base " << base << ", stride " << stride;
    }
}

// The tasks of unequal cost that the surface's grids share among the threads:
// each runs once, the passes inside one stay on its thread, and a task's
// failure reaches the caller after the others have run; the same of two
// parts run side by side.
TEST(Surface, TasksRunOnceEachAndTheirPassesAlone)
{
    const geo::PassThreads threads(3);
    std::vector<int> runs(40, 0), inner(40, 0);
    EXPECT_THROW(geo::in_tasks(runs.size(),
                               [&](std::size_t t) {
                                   runs[t]++;
                                   inner[t] = geo::pass_threads();
                                   if (t == 7)
                                       throw std::runtime_error("task 7");
                               }),
                 std::runtime_error);
    EXPECT_EQ(std::vector<int>(40, 1), runs);
    EXPECT_EQ(std::vector<int>(40, 1), inner);
    EXPECT_EQ(3, geo::pass_threads());
    // Two parts side by side (the footprint's two): both run, the other's
    // passes alone, and the failure of one reaches the caller after both.
    for (int failing = 0; failing < 3; failing++) {
        int mine = 0, other = 0;
        const auto run = [&] {
            geo::side_by_side(
                [&] {
                    mine = geo::pass_threads();
                    if (failing == 1)
                        throw std::runtime_error("mine");
                },
                [&] {
                    other = geo::pass_threads();
                    if (failing == 2)
                        throw std::runtime_error("other");
                });
        };
        if (failing == 0)
            run();
        else
            EXPECT_THROW(run(), std::runtime_error);
        EXPECT_EQ(3, mine);
        EXPECT_EQ(1, other);
    }
}

} // namespace
