// Drainage on constructed results: the shapes the core draws (bands between
// lines, flat pits and floors) with the depressions a result can hold. Each case
// gives how many depressions are kept and removed each way; on every case water
// leaves every pixel but the bottom of a kept pit, no pixel leaves its band, and
// no pixel a spot height set moves.
#include "drainage.h"
#include "flood.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace geo = tolvane::geo;

namespace {

constexpr int INTERVAL = 1000;
const tolvane::Levels LEVELS{0, 4000, INTERVAL};
const geo::Above STEP = [](double v) { return v + 0.5; };

struct Case {
    std::string name;
    int rows, columns;
    std::function<double(int r, int c)> height; // NaN: no value
    int kept, filled, carved;
    std::vector<std::pair<int, int>> spots = {}; // pixels spot heights set
};

double dist(int r, int c, double r0, double c0) { return std::hypot(r - r0, c - c0); }

// A volcano on 91 x 91 pixels: flanks down from a rim ring of 3000 at 16
// pixels from the centre, inside it a band down to a pit ring of 2000 at 4
// pixels, and the pit's floor flat at 2000 (as the core leaves it) or sinking
// below it (as the smooth surface draws it).
constexpr int SIDE = 91;
double volcano(int r, int c, bool sinking)
{
    const double d = dist(r, c, 45, 45);
    if (d >= 16)
        return std::max(50.0, 3000 - (d - 16) * 70);
    if (d >= 4)
        return 2000 + (d - 4) / 12 * 1000;
    return sinking ? 2000 - (4 - d) * 75 : 2000;
}

// A dip of `depth` and width `sigma` around (r0, c0).
double dip(int r, int c, double r0, double c0, double depth, double sigma)
{
    const double d = dist(r, c, r0, c0);
    return depth * std::exp(-d * d / (2 * sigma * sigma));
}

// A valley floor flat at 1000 between two lines of 1000 (columns 15 and 25),
// its sides rising, closed at the top by a rise and open at the bottom edge.
double floor_valley(int r, int c)
{
    return 1000 + 100 * std::max(0, std::abs(c - 20) - 5) + 150 * std::max(0, 6 - r);
}

// That floor descending 4 a pixel toward the bottom edge of 60 rows, dammed by
// a row one pixel thick 300 high: its floor behind the dam at 1084, its spill
// round the dam's end at 1280.
double dammed_valley(int r, int c)
{
    return floor_valley(r, c) + 4.0 * (60 - r) + (r == 40 && std::abs(c - 20) <= 6 ? 300 : 0);
}

// A pit ring of 1000 around one pixel at 990, in the middle of a cone of the
// band above that rises 40 a pixel to a ridge at `ridge` (6 pixels out), then
// falls 30 a pixel to 1010: the ring holds the water of the band up to the ridge.
double ringed_pit(int r, int c, double ridge)
{
    const double d = dist(r, c, 20, 20);
    if (d < 0.5)
        return 990;
    if (d <= 6)
        return 1000 + std::min(ridge - 1000, 40 * d);
    return std::max(1010.0, ridge - 30 * (d - 6));
}

// A valley along row 10 between two lines of base + 1000 (4 rows either side),
// its floor drawn at base + 700 toward them, closed at the left and open at
// the right edge; on its floor two pit rings of base, 3 pixels across, around
// pits 300 deep, as the lowest lines along a river whose floor sinks below
// them. The upstream ring's way out runs into the downstream one.
double strung_rings(int r, int c, double base)
{
    const int across = std::abs(r - 10);
    const double valley = across < 4 ? 700 + 75 * across : 1000 + 150 * (across - 4);
    const double pit = -300 + 200 * std::min(dist(r, c, 10, 24), dist(r, c, 10, 34));
    return base + std::min(valley + 300 * std::max(0, 4 - c), pit);
}

std::vector<std::pair<int, int>> row_of_spots(int row, int columns)
{
    std::vector<std::pair<int, int>> spots;
    for (int c = 0; c < columns; c++)
        spots.emplace_back(row, c);
    return spots;
}

const std::vector<Case> CASES = {
    {"crater with a flat pit ring, kept", SIDE, SIDE, [](int r, int c) { return volcano(r, c, false); }, 1, 0, 0},
    {"crater with a sinking pit, kept", SIDE, SIDE, [](int r, int c) { return volcano(r, c, true); }, 1, 0, 0},
    // On a flank of 70 a pixel a trench soon reaches lower ground.
    {"false pit on the flank between rings, carved", SIDE, SIDE,
     [](int r, int c) { return volcano(r, c, false) - dip(r, c, 45, 80, 600, 2); }, 1, 0, 1},
    {"false pit inside the crater's band, carved, the pit kept", SIDE, SIDE,
     [](int r, int c) { return volcano(r, c, true) - dip(r, c, 45, 55, 450, 1.5); }, 1, 0, 1},
    // A spot height at the bottom of the same pit: the map shows it, it stays.
    {"false pit inside the crater's band at a spot height, kept", SIDE, SIDE,
     [](int r, int c) { return volcano(r, c, true) - dip(r, c, 45, 55, 450, 1.5); }, 2, 0, 0, {{45, 55}}},
    {"flat valley floor between two lines of one level", 60, 41, floor_valley, 0, 0, 0},
    // A trench through the dam moves less than the lake.
    {"dammed valley, carved", 60, 41, dammed_valley, 0, 0, 1},
    // Spot heights across the valley on the dam's row: no trench cuts them, the lake fills.
    {"dammed valley, spot heights across it, filled", 60, 41, dammed_valley, 0, 1, 0, row_of_spots(40, 41)},
    // A narrow dip on a slope of 2 a pixel: a trench to its bottom would run
    // out to the edge; most of it fills, its rim cut a little.
    {"dip on a gentle slope, filled, its rim cut", 60, 60,
     [](int r, int c) { return 1400 + 2.0 * r - dip(r, c, 30, 30, 300, 1.5); }, 0, 0, 1},
    // The ridge 120 above the ring: the band's water leaves by a trench through
    // it, lowered less than a tenth of the interval; the pit below the ring stays.
    {"pit ring holding the band's water to a low ridge, the ridge trenched", 41, 41,
     [](int r, int c) { return ringed_pit(r, c, 1120); }, 1, 0, 1},
    // The ridge 200 above, the band drawn up toward the next line as a saddle
    // between the ring and another line of its level is: the trench lowers it
    // by 160, down to half a tenth above the pit.
    {"pit ring holding the band's water to a ridge a fifth of the interval up, trenched", 41, 41,
     [](int r, int c) { return ringed_pit(r, c, 1200); }, 1, 0, 1},
    // The ridge 400 above: a trench would cut a valley that no line shows.
    {"pit ring holding the band's water to a high ridge, kept whole", 41, 41,
     [](int r, int c) { return ringed_pit(r, c, 1400); }, 1, 0, 0},
    // Below the lowest level no line shows the floor sinking: the valley's
    // water leaves by trenches 0.7 of the interval deep, from ring to ring and
    // to the edge, the pits below the rings staying. Rings of a level above the
    // lowest hold it.
    {"rings of the lowest level along a valley, the valley trenched", 21, 41,
     [](int r, int c) { return strung_rings(r, c, 0); }, 2, 0, 2},
    {"rings of a higher level along a valley, kept whole", 21, 41, [](int r, int c) { return strung_rings(r, c, 1000); },
     2, 0, 0},
    // A bowl 140 deep below 1000 whose rim reads 990: its water has a way out
    // below the level, so no ring of 1000 closes around it.
    {"bowl with its rim just below a level, carved", 41, 41,
     [](int r, int c) {
         const double d = dist(r, c, 20, 20);
         return d <= 8 ? 850 + 17.5 * d : std::max(900.0, 990 - 5 * (d - 8));
     },
     0, 0, 1},
    // Water leaves the model where it has no value.
    {"bowl around nodata, untouched", 41, 41,
     [](int r, int c) { return dist(r, c, 20, 20) < 3 ? NAN : 1000 + 60 * dist(r, c, 20, 20); }, 0, 0, 0},
    // A ridge ring around a bowl 300 deep: a trench through the ridge moves a
    // tenth of what filling the bowl would.
    {"bowl in a ridge ring, carved", 41, 41,
     [](int r, int c) { return std::max(1100.0, 1850 - 30 * std::abs(dist(r, c, 20, 20) - 10)); }, 0, 0, 1},
};

double band_floor(double v) { return LEVELS.lowest + INTERVAL * std::floor((v - LEVELS.lowest) / INTERVAL); }

} // namespace

TEST(Drainage, EveryCaseDrainsAndKeepsItsBands)
{
    for (const Case &t : CASES) {
        SCOPED_TRACE(t.name);
        std::vector<double> cells(static_cast<std::size_t>(t.rows) * t.columns);
        for (int r = 0; r < t.rows; r++)
            for (int c = 0; c < t.columns; c++)
                cells[static_cast<std::size_t>(r) * t.columns + c] = t.height(r, c);
        const std::vector<double> before = cells;
        std::vector<std::int64_t> held;
        for (const auto &[r, c] : t.spots)
            held.push_back(static_cast<std::int64_t>(r) * t.columns + c);
        const geo::Drained d = geo::enforce_drainage(cells, t.rows, t.columns, LEVELS, STEP, held, true);
        for (std::int64_t k : held)
            EXPECT_EQ(cells[k], before[k]) << "a spot height moved at " << k;
        EXPECT_EQ(d.kept, t.kept);
        EXPECT_EQ(d.filled, t.filled);
        EXPECT_EQ(d.carved, t.carved);
        int sinks = 0;
        for (int r = 0; r < t.rows; r++)
            for (int c = 0; c < t.columns; c++) {
                const std::size_t k = static_cast<std::size_t>(r) * t.columns + c;
                if (std::isnan(before[k])) {
                    ASSERT_TRUE(std::isnan(cells[k]));
                    continue;
                }
                // In its band: a pixel on a level may rise into the band above.
                const double low = band_floor(before[k]);
                ASSERT_GE(cells[k], low) << r << " " << c;
                ASSERT_LT(cells[k], low + INTERVAL) << r << " " << c;
                bool lower = r == 0 || c == 0 || r == t.rows - 1 || c == t.columns - 1;
                for (int dr = -1; dr <= 1 && !lower; dr++)
                    for (int dc = -1; dc <= 1 && !lower; dc++) {
                        const std::size_t n = static_cast<std::size_t>(r + dr) * t.columns + (c + dc);
                        lower = std::isnan(cells[n]) || cells[n] < cells[k];
                    }
                if (!lower) {
                    sinks++;
                    EXPECT_TRUE(d.sinks[k]) << "a pixel without a way out at " << r << " " << c;
                }
            }
        EXPECT_EQ(sinks, t.kept);
        EXPECT_EQ(d.kept > 0, d.kept_pixels > 0);
    }
}

// A kept pit keeps its depth; the floor of a valley slopes toward its outlet,
// row after row, by the least steps.
TEST(Drainage, PitsKeepTheirDepthAndFloorsSlopeToTheirOutlet)
{
    std::vector<double> crater(SIDE * SIDE);
    for (int r = 0; r < SIDE; r++)
        for (int c = 0; c < SIDE; c++)
            crater[r * SIDE + c] = volcano(r, c, true);
    geo::enforce_drainage(crater, SIDE, SIDE, LEVELS, STEP, {}, false);
    EXPECT_EQ(crater[45 * SIDE + 45], 1700);

    // The trench through the pit ring's ridge: no pixel lowered by a tenth of
    // the interval or more, and the pit left shallower than that.
    std::vector<double> ringed(41 * 41);
    for (int r = 0; r < 41; r++)
        for (int c = 0; c < 41; c++)
            ringed[r * 41 + c] = ringed_pit(r, c, 1120);
    const std::vector<double> drawn = ringed;
    geo::enforce_drainage(ringed, 41, 41, LEVELS, STEP, {}, false);
    EXPECT_EQ(ringed[20 * 41 + 20], 990);
    for (std::size_t k = 0; k < ringed.size(); k++)
        ASSERT_GE(ringed[k], drawn[k] - 0.1 * INTERVAL) << k;
    int trench = 0;
    for (std::size_t k = 0; k < ringed.size(); k++)
        trench += ringed[k] < drawn[k];
    EXPECT_GT(trench, 3);
    // Every pixel but the pit drains downhill, so the pit spills over its lowest
    // neighbour.
    double rim = INFINITY;
    for (int dr = -1; dr <= 1; dr++)
        for (int dc = -1; dc <= 1; dc++)
            if (dr || dc)
                rim = std::min(rim, ringed[(20 + dr) * 41 + 20 + dc]);
    EXPECT_LT(rim - 990, 0.1 * INTERVAL);

    std::vector<double> valley(60 * 41);
    for (int r = 0; r < 60; r++)
        for (int c = 0; c < 41; c++)
            valley[r * 41 + c] = floor_valley(r, c);
    geo::enforce_drainage(valley, 60, 41, LEVELS, STEP, {}, false);
    for (int r = 6; r < 59; r++)
        for (int c = 16; c <= 24; c++) {
            ASSERT_GT(valley[r * 41 + c], valley[(r + 1) * 41 + c]) << r << " " << c;
            ASSERT_LT(valley[r * 41 + c], 1000 + 0.5 * 60) << r << " " << c;
        }
}

// The dammed valley drains at a level between its floor and its spill: the
// lake filled up to it and a trench round the dam cut down to it, every move
// smaller than the 196 of a trench to the floor or of a fill to the spill.
TEST(Drainage, ADepressionDrainsAtTheLevelThatMovesLeast)
{
    constexpr int ROWS = 60, COLUMNS = 41;
    std::vector<double> valley(ROWS * COLUMNS);
    for (int r = 0; r < ROWS; r++)
        for (int c = 0; c < COLUMNS; c++)
            valley[r * COLUMNS + c] = dammed_valley(r, c);
    const std::vector<double> drawn = valley;
    const geo::Drained d = geo::enforce_drainage(valley, ROWS, COLUMNS, LEVELS, STEP, {}, false);
    EXPECT_EQ(d.carved, 1);
    EXPECT_LT(d.most, 196 - 0.01 * INTERVAL);
    const double lake = valley[39 * COLUMNS + 20];
    EXPECT_GT(lake, 1084 + 0.01 * INTERVAL);
    EXPECT_LT(lake, 1280 - 0.01 * INTERVAL);
    int cut = 0;
    for (std::size_t k = 0; k < valley.size(); k++)
        cut += valley[k] < drawn[k];
    EXPECT_GT(cut, 0);
}

// A stream meanders down the valley floor between two lines of 1000, in a
// trench sunk below the floor that rises back to it before the edge (as a
// stream's carve leaves a floor the lines hold a level too high): the flood
// fills the trench and slopes the floor straight toward the edge, across the
// meander's bends. Given the stream, every pixel of it drains to the next:
// the lowest neighbour of each is a pixel further down the stream, and water
// still leaves every pixel.
TEST(Drainage, StreamsLeadTheFlowThroughAFilledTrench)
{
    constexpr int ROWS = 60, COLUMNS = 41;
    std::vector<std::int64_t> stream;
    for (int r = 6; r < ROWS; r++) {
        const int c = 20 + static_cast<int>(std::lround(4 * std::sin(r / 4.0)));
        // One pixel wide: each pixel beside the one before.
        if (!stream.empty()) {
            EXPECT_LE(std::abs(static_cast<int>(stream.back() % COLUMNS) - c), 1) << r;
        }
        stream.push_back(static_cast<std::int64_t>(r) * COLUMNS + c);
    }
    const auto valley = [&stream] {
        std::vector<double> cells(static_cast<std::size_t>(ROWS) * COLUMNS);
        for (int r = 0; r < ROWS; r++)
            for (int c = 0; c < COLUMNS; c++)
                cells[static_cast<std::size_t>(r) * COLUMNS + c] = floor_valley(r, c);
        for (std::int64_t k : stream)
            if (k / COLUMNS < 50)
                cells[static_cast<std::size_t>(k)] = 1000 - 2.0 * static_cast<double>(k / COLUMNS);
        return cells;
    };
    // The share of the stream's pixels (the last aside) whose lowest neighbour lies further down it.
    const auto followed = [&stream](const std::vector<double> &cells) {
        int on = 0;
        for (std::size_t i = 0; i + 1 < stream.size(); i++) {
            const int r = static_cast<int>(stream[i] / COLUMNS), c = static_cast<int>(stream[i] % COLUMNS);
            std::int64_t lowest = -1;
            for (int dr = -1; dr <= 1; dr++)
                for (int dc = -1; dc <= 1; dc++) {
                    const std::int64_t m = static_cast<std::int64_t>(r + dr) * COLUMNS + c + dc;
                    if ((dr || dc) && r + dr < ROWS && (lowest < 0 || cells[m] < cells[lowest]))
                        lowest = m;
                }
            on += std::find(stream.begin() + static_cast<std::ptrdiff_t>(i) + 1, stream.end(), lowest) != stream.end();
        }
        return static_cast<double>(on) / static_cast<double>(stream.size() - 1);
    };
    std::vector<double> without = valley();
    geo::enforce_drainage(without, ROWS, COLUMNS, LEVELS, STEP, {}, false);
    EXPECT_LT(followed(without), 0.8);
    std::vector<double> with = valley();
    const geo::Drained d = geo::enforce_drainage(with, ROWS, COLUMNS, LEVELS, STEP, {}, true, {stream});
    EXPECT_EQ(followed(with), 1.0);
    EXPECT_EQ(d.kept, 0);
    for (int r = 1; r + 1 < ROWS; r++)
        for (int c = 1; c + 1 < COLUMNS; c++) {
            bool lower = false;
            for (int dr = -1; dr <= 1; dr++)
                for (int dc = -1; dc <= 1; dc++)
                    lower = lower || with[(r + dr) * COLUMNS + c + dc] < with[r * COLUMNS + c];
            ASSERT_TRUE(lower) << "a pixel without a way out at " << r << " " << c;
        }
    // The trench stays within a tenth of the interval of the floor's band below it.
    for (std::int64_t k : stream)
        EXPECT_GE(with[static_cast<std::size_t>(k)], 0 - 0.1 * INTERVAL) << k;
}

// A stream that runs from the crater's floor out over its rim: the pit ring
// holds no pit, its water leaves along the stream. One that ends on the floor
// leaves the pit as the lines show it.
TEST(Drainage, APitAStreamLeavesIsNoPit)
{
    std::vector<std::int64_t> out, in;
    for (int c = 45; c < SIDE; c++)
        out.push_back(45 * SIDE + c);
    for (int c = 70; c >= 45; c--)
        in.push_back(45 * SIDE + c);
    for (const auto &[stream, kept] : {std::pair{out, 0}, std::pair{in, 1}}) {
        std::vector<double> crater(SIDE * SIDE);
        for (int r = 0; r < SIDE; r++)
            for (int c = 0; c < SIDE; c++)
                crater[r * SIDE + c] = volcano(r, c, true);
        const geo::Drained d = geo::enforce_drainage(crater, SIDE, SIDE, LEVELS, STEP, {}, false, {stream});
        EXPECT_EQ(d.kept, kept);
    }
}

namespace {

// A valley on 20 x 21 pixels, its floor down column 10 to the south edge, its
// sides rising 30 a pixel and its floor falling 10 a pixel, all inside one band.
constexpr int VROWS = 20, VCOLUMNS = 21;
double v_valley(int r, int c) { return 1500 + 30 * std::abs(c - 10) + 10 * (VROWS - 1 - r); }

// The cells of `height` on VROWS x VCOLUMNS pixels.
std::vector<double> v_grid(const std::function<double(int r, int c)> &height)
{
    std::vector<double> cells(static_cast<std::size_t>(VROWS) * VCOLUMNS);
    for (int r = 0; r < VROWS; r++)
        for (int c = 0; c < VCOLUMNS; c++)
            cells[static_cast<std::size_t>(r) * VCOLUMNS + c] = height(r, c);
    return cells;
}

// Where D8 water from pixel (r, c) of a VROWS x VCOLUMNS grid goes: the
// neighbour of the steepest drop over its distance ((r, c) itself: none lower).
std::pair<int, int> d8_to(const std::vector<double> &cells, int r, int c)
{
    const auto z = [&cells](int i, int j) { return cells[static_cast<std::size_t>(i) * VCOLUMNS + j]; };
    double best = 0;
    std::pair<int, int> to{r, c};
    for (int dr = -1; dr <= 1; dr++)
        for (int dc = -1; dc <= 1; dc++) {
            if ((!dr && !dc) || r + dr < 0 || c + dc < 0 || r + dr >= VROWS || c + dc >= VCOLUMNS)
                continue;
            const double drop = (z(r, c) - z(r + dr, c + dc)) / std::hypot(dr, dc);
            if (drop > best) {
                best = drop;
                to = {r + dr, c + dc};
            }
        }
    return to;
}

using PixelPath = std::vector<std::pair<int, int>>;

PixelPath straight(int r0, int c0, int r1, int c1)
{
    PixelPath p;
    const int n = std::max(std::abs(r1 - r0), std::abs(c1 - c0));
    for (int k = 0; k <= n; k++)
        p.emplace_back(r0 + (r1 - r0) * k / n, c0 + (c1 - c0) * k / n);
    return p;
}

PixelPath joined(PixelPath a, const PixelPath &b)
{
    a.insert(a.end(), b.begin() + (a.back() == b.front()), b.end());
    return a;
}

struct StreamCase {
    std::string name;
    std::vector<PixelPath> streams; // downstream
};

const std::vector<StreamCase> STEEPEST = {
    // Down the side diagonally: beside each step a pixel one side away falls
    // 30, more than the diagonal's drop over its length.
    {"a stream down a side diagonally", {joined(straight(2, 18, 10, 10), straight(10, 10, 19, 10))}},
    // A tributary beside the river for a pixel before it joins: the river's
    // pixels beside it lie lower than its own next one.
    {"a tributary beside its river before the confluence",
     {straight(0, 10, 19, 10), joined(joined(straight(4, 3, 10, 9), {{11, 9}}), {{12, 10}})}},
};

} // namespace

// D8 water from each pixel of a stream takes the steepest way down (the drop
// over the distance, a diagonal's the square root of two), and that is the
// next pixel of the stream: not a pixel beside it off the streams that a
// diagonal step falls less than, nor a pixel of another stream beside it,
// which would take the water off before the confluence.
TEST(Drainage, EachStreamPixelsSteepestWayIsTheNextDownIt)
{
    for (const StreamCase &t : STEEPEST) {
        SCOPED_TRACE(t.name);
        std::vector<double> cells = v_grid(v_valley);
        std::vector<std::vector<std::int64_t>> streams;
        for (const PixelPath &p : t.streams) {
            streams.emplace_back();
            for (const auto &[r, c] : p)
                streams.back().push_back(static_cast<std::int64_t>(r) * VCOLUMNS + c);
        }
        geo::enforce_drainage(cells, VROWS, VCOLUMNS, LEVELS, STEP, {}, false, streams);
        for (const PixelPath &p : t.streams)
            for (std::size_t i = 0; i + 1 < p.size(); i++) {
                const auto [r, c] = p[i];
                const double z = cells[static_cast<std::size_t>(r) * VCOLUMNS + c];
                EXPECT_EQ(d8_to(cells, r, c), p[i + 1]) << "from " << r << " " << c;
                EXPECT_GE(z, 1000 - 0.1 * INTERVAL) << r << " " << c; // within a tenth below its band
            }
    }
}

namespace {

struct HeadCase {
    std::string name;
    std::function<double(int r, int c)> height;
    PixelPath stream; // downstream, from its head
};

// Ground tilted 20 a pixel down to the west and 10 to the south, all inside one band.
double tilted(int r, int c) { return 1300 + 20 * c + 10 * (VROWS - 1 - r); }

const std::vector<HeadCase> HEADS = {
    // The pixels above the head fall more to the west, diagonally, than to it.
    {"a stream's head on ground tilted across it", tilted, straight(5, 10, 19, 10)},
    // The pixels around a head high on a valley's side fall toward its floor.
    {"a stream's head on a valley's side", v_valley, joined(straight(2, 18, 10, 10), straight(10, 10, 19, 10))},
};

} // namespace

// A stream's head gathers the water of the ground around it: D8 water from
// each pixel beside the head off the stream and not beside the stream's next
// pixel takes the steepest way down into the head, which stays within a tenth
// of the interval below its band, and the water of the hollow above it
// reaches it through them.
TEST(Drainage, TheGroundAroundAStreamsHeadDrainsIntoIt)
{
    for (const HeadCase &t : HEADS) {
        SCOPED_TRACE(t.name);
        std::vector<double> cells = v_grid(t.height);
        std::vector<std::int64_t> stream;
        for (const auto &[r, c] : t.stream)
            stream.push_back(static_cast<std::int64_t>(r) * VCOLUMNS + c);
        geo::enforce_drainage(cells, VROWS, VCOLUMNS, LEVELS, STEP, {}, false, {stream});
        const auto z = [&cells](int r, int c) { return cells[static_cast<std::size_t>(r) * VCOLUMNS + c]; };
        const auto [hr, hc] = t.stream[0];
        const auto [nr, nc] = t.stream[1];
        EXPECT_GE(z(hr, hc), 1000 - 0.1 * INTERVAL);
        int around = 0;
        for (int r = hr - 1; r <= hr + 1; r++)
            for (int c = hc - 1; c <= hc + 1; c++) {
                if (r < 0 || c < 0 || r >= VROWS || c >= VCOLUMNS || (r == hr && c == hc) ||
                    (std::abs(r - nr) <= 1 && std::abs(c - nc) <= 1))
                    continue;
                EXPECT_EQ(d8_to(cells, r, c), t.stream[0]) << "from " << r << " " << c;
                around++;
            }
        EXPECT_GT(around, 0);
        // Further out, the hollow above the head: two and three pixels from
        // it, nearer to it than to the stream's later pixels and not beside
        // them, D8 water reaches the head, the ground no more than a quarter
        // of the interval lower than it was.
        int hollow = 0;
        for (int r = hr - 3; r <= hr + 3; r++)
            for (int c = hc - 3; c <= hc + 3; c++) {
                if (r < 0 || c < 0 || r >= VROWS || c >= VCOLUMNS ||
                    std::max(std::abs(r - hr), std::abs(c - hc)) < 2)
                    continue;
                const int to_head = (r - hr) * (r - hr) + (c - hc) * (c - hc);
                bool upstream = true;
                for (std::size_t i = 1; i < t.stream.size() && upstream; i++) {
                    const auto [sr, sc] = t.stream[i];
                    upstream = (r - sr) * (r - sr) + (c - sc) * (c - sc) > std::max(to_head, 2);
                }
                if (!upstream)
                    continue;
                std::pair<int, int> k{r, c};
                for (int step = 0; step < 6 && k != t.stream[0]; step++)
                    k = d8_to(cells, k.first, k.second);
                EXPECT_EQ(k, t.stream[0]) << "from " << r << " " << c;
                EXPECT_GE(z(r, c), t.height(r, c) - 0.25 * INTERVAL) << r << " " << c;
                hollow++;
            }
        EXPECT_GT(hollow, 0);
    }
}

namespace {

// A pit 150 deep below a ring of 1000 three pixels from (20, 20), in a band
// rising 10 a pixel to a ridge at 1020 two pixels out, falling to 1005 at the
// edge: a depression within the one level 1000.
double shallow_ringed_pit(int r, int c)
{
    const double d = dist(r, c, 20, 20);
    if (d < 3)
        return 850 + 50 * d;
    if (d <= 5)
        return 1000 + 10 * (d - 3);
    return std::max(1005.0, 1020 - 5 * (d - 5));
}

// A square line of `level` closed on itself, `half` pixels either side of
// (row, column) (pixel corners: the centre of pixel (20, 20) is at 20.5).
geo::ClosedLine square(double level, double row, double column, double half)
{
    return {level,
            {row - half, row - half, row + half, row + half, row - half},
            {column - half, column + half, column + half, column - half, column - half}};
}

struct RingCase {
    std::string name;
    std::function<double(int r, int c)> height;
    std::optional<std::vector<geo::ClosedLine>> closed; // none: a contour raster
    int kept;
};

const std::vector<RingCase> RING_CASES = {
    {"lines unknown: the pixels' ring keeps it", shallow_ringed_pit, std::nullopt, 1},
    {"a closed line of the ring's level around it, kept", shallow_ringed_pit,
     std::vector<geo::ClosedLine>{square(1000, 20.5, 20.5, 3)}, 1},
    // An open line whose ends lie on the footprint's edge (a coast) shows the
    // same ring of pixels once the footprint closes it: no line closes it.
    {"no line closed on itself, removed", shallow_ringed_pit, std::vector<geo::ClosedLine>{}, 0},
    {"a closed line of another level around it, removed", shallow_ringed_pit,
     std::vector<geo::ClosedLine>{square(2000, 20.5, 20.5, 3)}, 0},
    {"a closed line of its level elsewhere, removed", shallow_ringed_pit,
     std::vector<geo::ClosedLine>{square(1000, 8.5, 8.5, 3)}, 0},
    // Down through several levels, open lines all round: a valley running on
    // beyond the data, which a fill would bury; the pixels' rings keep it.
    {"a crater through several levels, no line closed, kept", [](int r, int c) { return volcano(r, c, true); },
     std::vector<geo::ClosedLine>{}, 1},
};

} // namespace

// A depression within one level is kept for its ring only inside a line of
// that level closed on itself, when the lines are known.
TEST(Drainage, ARingWithinOneLevelNeedsALineClosedAroundIt)
{
    for (const RingCase &t : RING_CASES) {
        SCOPED_TRACE(t.name);
        const int side = t.name.find("crater") != std::string::npos ? SIDE : 41;
        std::vector<double> cells(static_cast<std::size_t>(side) * side);
        for (int r = 0; r < side; r++)
            for (int c = 0; c < side; c++)
                cells[static_cast<std::size_t>(r) * side + c] = t.height(r, c);
        const geo::Drained d = geo::enforce_drainage(cells, side, side, LEVELS, STEP, {}, false, {},
                                                     t.closed ? &*t.closed : nullptr);
        EXPECT_EQ(d.kept, t.kept);
        EXPECT_EQ(d.filled + d.carved, 1 - t.kept);
    }
}

namespace {

// Craters within craters on a tilted plane, each a radial profile through
// random knots (so that rings of several levels nest, some holding water above
// them to a ridge that a trench lets out), a few dips, holes without value and
// spot heights, quantized to tens so that flats and ties abound.
std::vector<double> nested_craters(std::mt19937 &g, int rows, int columns, std::vector<std::int64_t> &spots,
                                   bool whole_tens)
{
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> z(static_cast<std::size_t>(rows) * columns);
    const double tilt_r = 40 * u(g) - 20, tilt_c = 40 * u(g) - 20;
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < columns; c++)
            z[static_cast<std::size_t>(r) * columns + c] = 2500 + tilt_r * (r - rows / 2.0) + tilt_c * (c - columns / 2.0);
    const int craters = 2 + static_cast<int>(4 * u(g));
    for (int i = 0; i < craters; i++) {
        // Later ones smaller and lower, often inside an earlier one.
        const double r0 = rows * u(g), c0 = columns * u(g), radius = 6 + 18 * u(g) / (1 + i);
        double level = i == 0 || u(g) < 0.5 ? 3000 : 2000;
        // Knots from the rim in: each level down a ring, most with a ridge inside it.
        std::vector<std::pair<double, double>> knots = {{radius, level + 500 * u(g)}};
        for (double d = radius; d > 1.5 && level > 0;) {
            d -= 1 + 3 * u(g);
            knots.emplace_back(std::max(d, 0.0), level + (u(g) < 0.7 ? 100 + 300 * u(g) : 20 * u(g)));
            d -= 1 + 2 * u(g);
            level -= 1000;
            knots.emplace_back(std::max(d, 0.0), level + 50 * u(g) - 25);
        }
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < columns; c++) {
                const double d = dist(r, c, r0, c0);
                if (d >= radius)
                    continue;
                double h = knots.back().second;
                for (std::size_t k = 1; k < knots.size(); k++)
                    if (d <= knots[k - 1].first && d >= knots[k].first) {
                        const double t = (knots[k - 1].first - d) / std::max(1e-9, knots[k - 1].first - knots[k].first);
                        h = knots[k - 1].second + t * (knots[k].second - knots[k - 1].second);
                        break;
                    }
                z[static_cast<std::size_t>(r) * columns + c] = h;
            }
    }
    for (int i = 0; i < 4; i++) {
        const double r0 = rows * u(g), c0 = columns * u(g), depth = 500 * u(g), sigma = 1 + 2 * u(g);
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < columns; c++)
                z[static_cast<std::size_t>(r) * columns + c] -= dip(r, c, r0, c0, depth, sigma);
    }
    for (double &v : z)
        v = std::clamp(whole_tens ? std::round(v / 10) * 10 : v, 10.0, 3990.0);
    for (int i = 0; i < 3; i++)
        z[static_cast<std::size_t>(g() % z.size())] = NAN;
    for (int i = 0; i < 2; i++)
        spots.push_back(static_cast<std::int64_t>(g() % z.size()));
    return z;
}

// A bowl from a rim at 3500 down to a floor flat at 1010 and one pixel of
// 800, its bottom; on the floor a pit ring of 1000 whose band holds water up
// to a ridge 120 above it: the bowl is kept first, then the pit in it, found
// by a flood of the bowl alone.
double bowl_holding_a_ringed_pit(int r, int c)
{
    const double d = dist(r, c, 30, 30), e = dist(r, c, 30, 36);
    if (d >= 25)
        return 3500;
    if (r == 30 && c == 22)
        return 800;
    if (e < 0.5)
        return 990;
    if (e <= 3)
        return 1000 + std::min(120.0, 40 * e);
    return std::max({1010.0, 1120 - 30 * (e - 3), d <= 14 ? 0.0 : 1010 + (d - 14) / 11 * 2490});
}

bool same_cells(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
               return std::isnan(x) ? std::isnan(y) : (x == y && std::signbit(x) == std::signbit(y));
           });
}

} // namespace

// A trench cut through a pit ring's ridge lowers the rim of a shallow dip
// beside it, whose water then leaves lower: the round after floods that dip
// again too. Each dip is a pixel beside the trench, 50 below the trench's
// pixel next to it, its other neighbours raised above that one.
TEST(Drainage, ATrenchLowersTheDipsBesideIt)
{
    constexpr int SIDE = 41;
    std::vector<double> ridge(SIDE * SIDE);
    for (int r = 0; r < SIDE; r++)
        for (int c = 0; c < SIDE; c++)
            ridge[static_cast<std::size_t>(r) * SIDE + c] = ringed_pit(r, c, 1120);
    const std::vector<double> trenched = geo::flood_after_pits(ridge, SIDE, SIDE, LEVELS, {}, nullptr, true).cells;
    const auto at = [](int r, int c) { return static_cast<std::size_t>(r) * SIDE + c; };
    int dips = 0;
    for (int tr = 0; tr < SIDE; tr++)
        for (int tc = 0; tc < SIDE; tc++) {
            const std::size_t t = at(tr, tc);
            if (!(trenched[t] < ridge[t]) || ridge[t] <= 1050)
                continue; // not the trench's, or not through the ridge
            for (int d = 0; d < 8; d++) {
                const int hr = tr + geo::DR[d], hc = tc + geo::DC[d];
                if (hr < 1 || hc < 1 || hr >= SIDE - 1 || hc >= SIDE - 1 || trenched[at(hr, hc)] < ridge[at(hr, hc)])
                    continue;
                std::vector<double> dipped = ridge;
                for (int e = 0; e < 8; e++) {
                    const std::size_t n = at(hr + geo::DR[e], hc + geo::DC[e]);
                    if (n != t && !(trenched[n] < ridge[n]))
                        dipped[n] = std::max(dipped[n], ridge[t] + 30);
                }
                dipped[at(hr, hc)] = ridge[t] - 50;
                const geo::PitsFlood fp = geo::flood_after_pits(dipped, SIDE, SIDE, LEVELS, {}, nullptr, false);
                const geo::PitsFlood fw = geo::flood_after_pits(dipped, SIDE, SIDE, LEVELS, {}, nullptr, true);
                ASSERT_TRUE(same_cells(fp.cells, fw.cells)) << "dip at " << hr << " " << hc;
                ASSERT_TRUE(same_cells(fp.filled, fw.filled)) << "dip at " << hr << " " << hc;
                ASSERT_EQ(fp.parent, fw.parent) << "dip at " << hr << " " << hc;
                dips += fw.cells[t] < dipped[t] && fw.filled[at(hr, hc)] < ridge[t];
            }
        }
    EXPECT_GT(dips, 3); // the trench still cut there, the dip's water out below its old rim
}

// The rounds that flood only the depressions kept before give the cells of
// those that flood the whole grid each time, with the lines known or not,
// and leave the carving the same flood: each pixel's level and parent, the
// rims' around the depressions flooded again too. The heights in whole tens
// meet the flood's ties (a rim whose lowest neighbours share a level, the
// flats), which the rims' parents are not told from; the others, as a smooth
// surface's, mostly are.
TEST(Drainage, FloodingOnlyTheKeptDepressionsGivesTheWholeGridsCells)
{
    std::mt19937 g(20261209);
    int kept = 0, carved = 0;
    for (int run = 0; run < 180; run++) {
        int rows = 40 + static_cast<int>(g() % 50), columns = 40 + static_cast<int>(g() % 50);
        std::vector<std::int64_t> spots;
        std::vector<double> input = nested_craters(g, rows, columns, spots, run < 120);
        if (run < 2) {
            rows = columns = 61;
            spots.clear();
            input.assign(61 * 61, 0);
            for (int r = 0; r < rows; r++)
                for (int c = 0; c < columns; c++)
                    input[static_cast<std::size_t>(r) * columns + c] = bowl_holding_a_ringed_pit(r, c);
        }
        std::vector<geo::ClosedLine> lines;
        for (int i = 0; i < 4; i++)
            lines.push_back(square(1000.0 * (1 + g() % 3), g() % rows, g() % columns, 3 + g() % 12));
        const std::vector<geo::ClosedLine> *closed = run % 2 ? &lines : nullptr;
        std::vector<double> part = input, whole = input;
        const geo::Drained a = geo::enforce_drainage(part, rows, columns, LEVELS, STEP, spots, true, {}, closed, false);
        const geo::Drained b = geo::enforce_drainage(whole, rows, columns, LEVELS, STEP, spots, true, {}, closed, true);
        const geo::PitsFlood fp = geo::flood_after_pits(input, rows, columns, LEVELS, spots, closed, false);
        const geo::PitsFlood fw = geo::flood_after_pits(input, rows, columns, LEVELS, spots, closed, true);
        ASSERT_TRUE(same_cells(fp.cells, fw.cells)) << "run " << run;
        ASSERT_TRUE(same_cells(fp.filled, fw.filled)) << "run " << run;
        ASSERT_EQ(fp.parent, fw.parent) << "run " << run;
        ASSERT_TRUE(same_cells(part, whole)) << "run " << run;
        ASSERT_EQ(a.kept, b.kept) << "run " << run;
        ASSERT_EQ(a.kept_pixels, b.kept_pixels) << "run " << run;
        ASSERT_EQ(a.filled, b.filled) << "run " << run;
        ASSERT_EQ(a.carved, b.carved) << "run " << run;
        ASSERT_EQ(a.moved, b.moved) << "run " << run;
        ASSERT_EQ(a.sinks, b.sinks) << "run " << run;
        kept += a.kept;
        carved += a.carved;
    }
    EXPECT_GT(kept, 200); // the craters nest deep enough to take several rounds
    EXPECT_GT(carved, 20);
}
