#include "wall.h"

#include "parallel.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <climits>
#include <cstddef>

namespace tolvane::geo {

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

} // namespace tolvane::geo
