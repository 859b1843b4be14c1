// The drainage's priority flood against the plain one, on generated grids:
// every value (to the bit, the sign of zero too) and every parent the same;
// and its rise of the flats, which floods only the pixels that move, against
// the plain flood of the whole grid.
// The plain flood below is the straightforward one (a binary heap, a queue for
// the pixels raised, bounds checked at each neighbour); the drainage's keeps its
// buffers from one flood to the next, so each grid here is flooded by one
// object after another grid of the same size.
#include "flood.h"
#include "radix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace geo = tolvane::geo;

namespace {

constexpr int DR[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
constexpr int DC[8] = {-1, 0, 1, -1, 1, -1, 0, 1};

const tolvane::Levels LEVELS{0, 4, 1};

double next_level(double v)
{
    return LEVELS.lowest + LEVELS.interval * (std::floor((v - LEVELS.lowest) / LEVELS.interval) + 1);
}

struct Entry {
    double v;
    std::int64_t k;
};
struct Later {
    bool operator()(const Entry &a, const Entry &b) const { return a.v > b.v || (a.v == b.v && a.k > b.k); }
};

void plain_flood(int rows, int columns, std::vector<double> &z, const std::vector<std::int64_t> &outlets,
                 std::vector<std::uint8_t> *parent, const geo::Above *above,
                 std::vector<std::uint32_t> *turn = nullptr)
{
    const std::int64_t n = static_cast<std::int64_t>(rows) * columns;
    std::vector<std::uint8_t> closed(static_cast<std::size_t>(n), 0);
    if (parent)
        parent->assign(static_cast<std::size_t>(n), geo::NO_PARENT);
    if (turn)
        turn->assign(static_cast<std::size_t>(n), geo::NO_TURN);
    std::uint32_t taken = 0;
    std::priority_queue<Entry, std::vector<Entry>, Later> open;
    std::deque<std::int64_t> pit;
    for (std::int64_t k : outlets)
        if (!closed[k] && !std::isnan(z[k])) { // an outlet without value drains nothing
            closed[k] = 1;
            open.push({z[k], k});
        }
    while (!open.empty() || !pit.empty()) {
        std::int64_t c;
        if (!pit.empty()) {
            c = pit.front();
            pit.pop_front();
        } else {
            c = open.top().k;
            open.pop();
        }
        if (turn)
            (*turn)[c] = taken++;
        const int r = static_cast<int>(c / columns), col = static_cast<int>(c % columns);
        const double up = above ? (*above)(z[c]) : z[c];
        for (int d = 0; d < 8; d++) {
            const int nr = r + DR[d], nc = col + DC[d];
            if (nr < 0 || nc < 0 || nr >= rows || nc >= columns)
                continue;
            const std::int64_t m = static_cast<std::int64_t>(nr) * columns + nc;
            if (closed[m] || std::isnan(z[m]))
                continue;
            closed[m] = 1;
            if (parent)
                (*parent)[m] = static_cast<std::uint8_t>(7 - d);
            if (above && z[m] < up) {
                z[m] = up < next_level(z[m]) || z[m] <= z[c] ? up : z[m];
                open.push({z[m], m});
            } else if (!above && z[m] <= z[c]) {
                z[m] = z[c];
                pit.push_back(m);
            } else {
                open.push({z[m], m});
            }
        }
    }
}

// The kinds of grid: ties everywhere, plateaus, smooth slopes, pixels without
// value, zeros of both signs, infinities, values far apart.
using Kind = std::function<double(std::mt19937 &, int r, int c)>;
struct GridKind {
    std::string name;
    Kind value;
};

double uniform(std::mt19937 &g, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(g); }

const std::vector<GridKind> KINDS = {
    {"four values", [](std::mt19937 &g, int, int) { return static_cast<double>(g() % 4); }},
    {"two values", [](std::mt19937 &g, int, int) { return static_cast<double>(g() % 2); }},
    {"terraced hills",
     [](std::mt19937 &g, int r, int c) {
         return std::floor(2 + 1.5 * std::sin(r * 0.7) * std::cos(c * 0.5) + uniform(g, 0, 0.8));
     }},
    {"smooth hills with noise",
     [](std::mt19937 &g, int r, int c) { return 2 + 1.5 * std::sin(r * 0.4) * std::cos(c * 0.3) + uniform(g, 0, 0.3); }},
    {"noise", [](std::mt19937 &g, int, int) { return uniform(g, -1, 5); }},
    {"holes without value",
     [](std::mt19937 &g, int, int) { return g() % 5 == 0 ? NAN : static_cast<double>(g() % 6) * 0.75; }},
    {"zeros of both signs",
     [](std::mt19937 &g, int, int) {
         const double v[] = {-0.0, 0.0, 0.0, -0.0, 1.0, -1.0};
         return v[g() % 6];
     }},
    {"infinities",
     [](std::mt19937 &g, int, int) {
         const unsigned pick = g() % 8;
         return pick == 0 ? INFINITY : pick == 1 ? -INFINITY : uniform(g, 0, 4);
     }},
    {"values far apart",
     [](std::mt19937 &g, int, int) { return (g() % 2 ? 1e12 : -1e12) * uniform(g, 0.5, 1) + uniform(g, 0, 3); }},
};

// The pixels with a value on the grid's edge or beside one without (the
// drainage's outlets), some pixels inside (a kept pit's bottom), one twice.
std::vector<std::int64_t> outlets_of(const std::vector<double> &z, int rows, int columns, std::mt19937 &g)
{
    std::vector<std::int64_t> e;
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < columns; c++) {
            const std::int64_t k = static_cast<std::int64_t>(r) * columns + c;
            if (std::isnan(z[k]))
                continue;
            bool edge = r == 0 || c == 0 || r == rows - 1 || c == columns - 1;
            for (int d = 0; d < 8 && !edge; d++)
                edge = std::isnan(z[k + DR[d] * columns + DC[d]]);
            if (edge || g() % 50 == 0)
                e.push_back(k);
        }
    if (!e.empty())
        e.push_back(e[g() % e.size()]);
    return e;
}

struct Mode {
    std::string name;
    bool parent;
    geo::Above above; // empty: none
};

const std::vector<Mode> MODES = {
    {"raised to the spill, parents", true, {}},
    {"raised to the spill", false, {}},
    {"a step above, parents", true, [](double v) { return v + 0.25; }},
    {"the least step above", false, [](double v) { return std::nextafter(v, INFINITY); }},
};

const std::vector<std::pair<int, int>> SIZES = {{1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 7}, {17, 23}, {40, 40}, {64, 5}};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<double> grid_of(const GridKind &kind, int rows, int columns, std::mt19937 &g)
{
    std::vector<double> z(static_cast<std::size_t>(rows) * columns);
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < columns; c++)
            z[static_cast<std::size_t>(r) * columns + c] = kind.value(g, r, c);
    return z;
}

// The pixels whose values differ in a bit, or whose parents differ (when given).
int wrong_pixels(const std::vector<double> &want, const std::vector<double> &got,
                 const std::vector<std::uint8_t> *want_parent = nullptr,
                 const std::vector<std::uint8_t> *got_parent = nullptr)
{
    int wrong = 0;
    for (std::size_t k = 0; k < want.size(); k++)
        wrong += !same_bits(want[k], got[k]) || (want_parent && (*want_parent)[k] != (*got_parent)[k]);
    return wrong;
}

} // namespace

TEST(Flood, GivesThePlainFloodsValuesAndParents)
{
    std::mt19937 g(12345);
    for (const auto &[rows, columns] : SIZES)
        for (const Mode &mode : MODES) {
            geo::PriorityFlood flood(rows, columns, LEVELS); // one object for every grid of the size
            for (const GridKind &kind : KINDS)
                for (int trial = 0; trial < 6; trial++) {
                    SCOPED_TRACE(kind.name + ", " + mode.name + ", " + std::to_string(rows) + " x " +
                                 std::to_string(columns) + ", trial " + std::to_string(trial));
                    const std::vector<double> z = grid_of(kind, rows, columns, g);
                    const std::vector<std::int64_t> outlets = outlets_of(z, rows, columns, g);
                    std::vector<double> want = z, got = z;
                    std::vector<std::uint8_t> want_parent, got_parent;
                    const geo::Above *above = mode.above ? &mode.above : nullptr;
                    plain_flood(rows, columns, want, outlets, mode.parent ? &want_parent : nullptr, above);
                    flood.flood(got, outlets, mode.parent ? &got_parent : nullptr, above);
                    EXPECT_EQ(wrong_pixels(want, got, mode.parent ? &want_parent : nullptr, &got_parent), 0);
                }
        }
}

TEST(Flood, TheRiseOfTheFlatsGivesTheWholeGridsFlood)
{
    // A step in the Float32 values, as the drainage's: most pixels hold theirs.
    const geo::Above float_step = [](double v) {
        const float f = static_cast<float>(v);
        if (!std::isfinite(f))
            return std::nextafter(v, INFINITY);
        double y = std::max(static_cast<double>(std::nextafter(f, INFINITY)), std::nextafter(v, INFINITY));
        while (static_cast<float>(y) <= f)
            y = std::nextafter(y, INFINITY);
        return y;
    };
    std::vector<geo::Above> steps;
    for (const Mode &mode : MODES)
        if (mode.above)
            steps.push_back(mode.above);
    steps.push_back(float_step);
    std::vector<GridKind> kinds = KINDS;
    kinds.push_back({"a pit in a gentle slope", [](std::mt19937 &g, int r, int c) {
                         return g() % 40 == 0 ? 0.5 : 1 + 1e-6 * (r + c) + (g() % 3 == 0 ? 1e-7 : 0.0);
                     }});
    std::mt19937 g(777);
    for (const auto &[rows, columns] : SIZES)
        for (std::size_t s = 0; s < steps.size(); s++) {
            geo::PriorityFlood flood(rows, columns, LEVELS, 1.0); // a part as large as the grid
            for (const GridKind &kind : kinds)
                for (int trial = 0; trial < 6; trial++) {
                    SCOPED_TRACE(kind.name + ", step " + std::to_string(s) + ", " + std::to_string(rows) + " x " +
                                 std::to_string(columns) + ", trial " + std::to_string(trial));
                    const std::vector<double> z = grid_of(kind, rows, columns, g);
                    const std::vector<std::int64_t> outlets = outlets_of(z, rows, columns, g);
                    std::vector<double> want = z, got = z;
                    plain_flood(rows, columns, want, outlets, nullptr, &steps[s]);
                    flood.rise(got, outlets, steps[s]);
                    EXPECT_EQ(wrong_pixels(want, got), 0);
                }
        }
}

TEST(Flood, TheFillOfThePixelsItMovesGivesTheWholeGridsFlood)
{
    std::vector<GridKind> kinds = KINDS;
    kinds.push_back({"dips in a slope with ties", [](std::mt19937 &g, int r, int c) {
                         return g() % 30 == 0 ? 0.5 : std::floor(4 * (1 + 0.1 * r + 0.07 * c)) / 4;
                     }});
    std::mt19937 g(4242);
    for (const auto &[rows, columns] : SIZES) {
        geo::PriorityFlood flood(rows, columns, LEVELS, 1.0); // a part as large as the grid
        for (const GridKind &kind : kinds)
            for (int trial = 0; trial < 12; trial++) {
                SCOPED_TRACE(kind.name + ", " + std::to_string(rows) + " x " + std::to_string(columns) + ", trial " +
                             std::to_string(trial));
                const std::vector<double> z = grid_of(kind, rows, columns, g);
                const std::vector<std::int64_t> outlets = outlets_of(z, rows, columns, g);
                std::vector<double> want = z, got = z;
                std::vector<std::uint8_t> want_parent, got_parent;
                plain_flood(rows, columns, want, outlets, &want_parent, nullptr);
                flood.fill(got, outlets, got_parent);
                EXPECT_EQ(wrong_pixels(want, got, &want_parent, &got_parent), 0);
            }
    }
}

// The flood of some pixels alone gives, at those pixels, what the flood of the
// grid gives where the others have no value, and leaves the rest of its
// arrays as they were; one flood object serves floods of every kind between.
TEST(Flood, TheFloodOfSomePixelsGivesTheGridsFloodWithoutTheRest)
{
    std::mt19937 g(9090);
    for (const auto &[rows, columns] : SIZES) {
        geo::PriorityFlood flood(rows, columns, LEVELS);
        const std::size_t n = static_cast<std::size_t>(rows) * columns;
        for (const GridKind &kind : KINDS)
            for (int trial = 0; trial < 6; trial++) {
                SCOPED_TRACE(kind.name + ", " + std::to_string(rows) + " x " + std::to_string(columns) + ", trial " +
                             std::to_string(trial));
                const std::vector<double> z = grid_of(kind, rows, columns, g);
                std::vector<std::int64_t> pixels;
                std::vector<double> alone(n, NAN);
                for (std::size_t k = 0; k < n; k++)
                    if (g() % 3 != 0) {
                        pixels.push_back(static_cast<std::int64_t>(k));
                        alone[k] = z[k];
                    }
                std::shuffle(pixels.begin(), pixels.end(), g);
                std::vector<std::int64_t> outlets = outlets_of(alone, rows, columns, g);
                outlets.push_back(static_cast<std::int64_t>(g() % n)); // perhaps one of no value here
                std::vector<double> want = alone;
                std::vector<std::uint8_t> want_parent;
                std::vector<std::uint32_t> want_turn;
                plain_flood(rows, columns, want, outlets, &want_parent, nullptr, &want_turn);
                // The rest of the arrays hold what an earlier round left there.
                std::vector<double> got = z;
                std::vector<std::uint8_t> got_parent(n, 3);
                std::vector<std::uint32_t> got_turn(n, 7);
                flood.flood_pixels(pixels, got, outlets, got_parent, got_turn);
                int wrong = 0;
                std::vector<std::uint8_t> in(n, 0);
                for (std::int64_t k : pixels) {
                    in[k] = 1;
                    wrong += !same_bits(want[k], got[k]) || want_parent[k] != got_parent[k] || want_turn[k] != got_turn[k];
                }
                for (std::size_t k = 0; k < n; k++)
                    wrong += !in[k] && (!same_bits(z[k], got[k]) || got_parent[k] != 3 || got_turn[k] != 7);
                EXPECT_EQ(wrong, 0);
                // Between two floods of parts, one that leaves every pixel open.
                std::vector<std::uint8_t> parent;
                std::vector<double> filled = z;
                if (trial % 2)
                    flood.fill(filled, outlets_of(z, rows, columns, g), parent);
                else
                    flood.flood(filled, {}, nullptr, nullptr);
            }
    }
}

// The radix sort of the flood's turns and of the edge's segments: keys that
// differ in any of their four digits only, or not at all, in a stable order.
TEST(Flood, TheRadixSortOrdersByKeyAndKeepsTheOrderOfEqualKeys)
{
    std::mt19937_64 g(31);
    for (int shift : {0, 16, 32, 48, -1}) {
        SCOPED_TRACE("keys apart in the digit at " + std::to_string(shift));
        std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs;
        for (std::uint32_t k = 0; k < 5000; k++) {
            const std::uint64_t digit = shift < 0 ? g() : (g() % 7) << shift;
            pairs.emplace_back(0x1234000000000000ull ^ digit, k);
        }
        std::vector<std::pair<std::uint64_t, std::uint32_t>> want = pairs;
        std::stable_sort(want.begin(), want.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        geo::sort_by_key(pairs);
        EXPECT_EQ(want, pairs);
    }
}
