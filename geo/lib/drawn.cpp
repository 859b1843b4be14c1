// The footprint drawn through the open ends, and the inlets opened in it.
#include "drawn.h"

#include "areas.h"
#include "measures.h"
#include "parallel.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>

namespace tolvane::geo {

namespace {

std::size_t at(int i, int j, int columns) { return static_cast<std::size_t>(i) * columns + j; }

// Rows a thread takes at least.
constexpr std::size_t LEAST_ROWS = 16;

} // namespace

namespace {

// The cells of the ring just outside the lines' rectangle `b` (on the grid or
// past its edge, as (row, column) offsets from the rectangle's corner, one
// more than its size each way) that lie farther than 2 cells from every line:
// open ground. Empty when every cell of the ring is near a line.
std::vector<std::size_t> open_ring(const std::vector<std::int32_t> &cells, int columns, const PixelBox &b)
{
    const int ring_rows = b.bottom - b.top + 3, ring_columns = b.right - b.left + 3;
    const auto near_line = [&](int y, int x) { // ring coordinates
        for (int di = -2; di <= 2; di++)
            for (int dj = -2; dj <= 2; dj++) {
                const int i = y + di - 1 + b.top, j = x + dj - 1 + b.left;
                if (di * di + dj * dj <= 4 && i >= b.top && i <= b.bottom && j >= b.left && j <= b.right &&
                    cells[at(i, j, columns)] != tolvane::EMPTY)
                    return true;
            }
        return false;
    };
    std::vector<std::size_t> open;
    for (int y = 0; y < ring_rows; y++)
        for (int x = 0; x < ring_columns; x++)
            if ((y == 0 || x == 0 || y == ring_rows - 1 || x == ring_columns - 1) && !near_line(y, x))
                open.push_back(at(y, x, ring_columns));
    return open;
}

// Marks in `out` the cells of the rectangle `b` within `reach` of a cell of
// `ring` (open_ring).
void leave_out_near_ring(const std::vector<std::size_t> &ring, double reach, const PixelBox &b, int columns,
                         std::uint8_t *out)
{
    const int ring_columns = b.right - b.left + 3;
    const int span = static_cast<int>(std::floor(reach));
    for (std::size_t r : ring) {
        const int y = static_cast<int>(r / ring_columns) - 1 + b.top, x = static_cast<int>(r % ring_columns) - 1 + b.left;
        for (int di = -span; di <= span; di++)
            for (int dj = -span; dj <= span; dj++) {
                const int i = y + di, j = x + dj;
                if (i >= b.top && i <= b.bottom && j >= b.left && j <= b.right &&
                    static_cast<double>(di * di + dj * dj) <= reach * reach)
                    out[at(i, j, columns)] = 1;
            }
    }
}

} // namespace

std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel)
{
    if (ends.empty())
        return std::vector<std::uint8_t>(cells.size(), 1);
    return footprint_of_ends(cells, rows, columns, ends, radius, pixel, SiteMap(cells, rows, columns));
}

namespace {

// The rows of the lines' rectangle, in slices.
void box_rows(const PixelBox &b, const std::function<void(int i)> &row)
{
    in_slices(static_cast<std::size_t>(b.bottom - b.top + 1), LEAST_ROWS, [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; i++)
            row(b.top + static_cast<int>(i));
    });
}

// The pixels of the footprint's first judgement that are left out (1): the
// dilation of the lines by the radius, eroded from the free centres beyond it,
// kept only within `reach` of a pixel far from every line (`core`) or of the
// rectangle's edge; null when nothing is free. Broad flats inside the area are
// reached too, through a mouth between two lines wider than the disc. What lies
// beyond the edge of the mapped area is broad and near it.
// The radius of each pixel is the local spacing of its nearest line (at least
// 2 cells; `radius` where that line has no neighbour of another level): a disc
// the size of the dense lines' spacing would roll into the bands of a plain
// beside them, whose lines lie many times farther apart, through the mouths
// where those bands meet the edge of the mapped area.
std::unique_ptr<std::uint8_t[]> left_out(const std::vector<std::int32_t> &cells, int rows, int columns,
                                         const PixelBox &b, double radius, double pixel, const SiteMap &to_line)
{
    const std::vector<float> spacing = local_spacing(cells, rows, columns, to_line);
    // Broad is judged with a radius of at least one pixel of the grid asked for,
    // whatever the cells the lines are burned in: on a finer grid, the sea floor
    // between dense lines would be left out, while a larger floor would give
    // back a coast's inlets, whose bands would then leak.
    const std::size_t n = cells.size();
    // The disc of pixel k, and what is broad around it.
    const auto disc = [&](std::size_t k) {
        const std::int64_t site = to_line.site(k);
        const float local = site >= 0 ? spacing[static_cast<std::size_t>(site)] : 0.0f;
        return local > 0 ? footprint_radius(local) : radius;
    };
    // The squared radii of the free centres and of the pixels far from every
    // line (0: none).
    std::vector<float> free(n, 0.0f), far_from_lines(n, 0.0f);
    std::atomic<bool> any_free{false};
    box_rows(b, [&](int i) {
        bool found = false;
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            const double r = disc(k), flat = std::max(r, pixel), core = 2 * flat;
            const double d = static_cast<double>(to_line.squared(k));
            if (d > r * r) {
                free[k] = static_cast<float>(r * r);
                found = true;
            }
            if (d > core * core)
                far_from_lines[k] = static_cast<float>(9 * flat * flat);
        }
        if (found)
            any_free = true;
    });
    const std::vector<std::size_t> ring = open_ring(cells, columns, b);
    if (!any_free && ring.empty())
        return nullptr;
    // The erosion: a pixel within the radius of such a free centre is left out.
    std::unique_ptr<std::uint8_t[]> out = uncleared<std::uint8_t>(n);
    if (any_free)
        within_own_radius_into(free.data(), rows, columns, out.get());
    else
        std::fill(out.get(), out.get() + n, std::uint8_t{0});
    free = {};
    std::unique_ptr<std::uint8_t[]> near_far = uncleared<std::uint8_t>(n);
    within_own_radius_into(far_from_lines.data(), rows, columns, near_far.get());
    far_from_lines = {};
    // Beyond the rectangle lies open ground too: what lies within 2 pixels (and
    // the radius) of a cell of the ring around it that is farther than 2 cells
    // from every line is left out, so that the strip between the rectangle's edge
    // and lines that stop a few pixels short of it (a sliver of nodata along a
    // warped DEM's edge) is left out where open ends border it. Between lines
    // that run off the rectangle no open end borders it: it is given back below.
    leave_out_near_ring(ring, std::min(radius, 2 * pixel), b, columns, out.get());
    box_rows(b, [&](int i) {
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            const int edge = std::min(std::min(i - b.top, b.bottom - i), std::min(j - b.left, b.right - j)) + 1;
            out[k] = out[k] && cells[k] == tolvane::EMPTY && (near_far[k] || !(edge > 3 * std::max(disc(k), pixel)));
        }
    });
    return out;
}

// The areas left out (8-connected; with `cells`, never through a diagonal
// step of a line), numbered in `area` (-1: none); each area's entry of the
// result tells whether it reaches the rectangle's edge (2) and whether an open
// end lies within two pixels of it (1).
std::vector<std::uint8_t> areas_left_out(const std::uint8_t *out, int columns, const PixelBox &b,
                                         const std::vector<std::size_t> &ends, int *area,
                                         const std::vector<std::int32_t> *cells = nullptr)
{
    const auto in_box = [&b](int i, int j) { return i >= b.top && i <= b.bottom && j >= b.left && j <= b.right; };
    std::vector<std::uint8_t> bordered;
    std::vector<std::size_t> stack;
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t start = at(i, j, columns);
            if (!out[start] || area[start] >= 0)
                continue;
            const int id = static_cast<int>(bordered.size());
            bordered.push_back(0);
            area[start] = id;
            stack.push_back(start);
            while (!stack.empty()) {
                const std::size_t k = stack.back();
                stack.pop_back();
                const int y = static_cast<int>(k / columns), x = static_cast<int>(k % columns);
                for (int di = -1; di <= 1; di++)
                    for (int dj = -1; dj <= 1; dj++) {
                        const int yy = y + di, xx = x + dj;
                        if (!in_box(yy, xx))
                            continue;
                        const std::size_t m = at(yy, xx, columns);
                        const bool across_line = cells && di != 0 && dj != 0 &&
                                                 (*cells)[at(y, xx, columns)] != tolvane::EMPTY &&
                                                 (*cells)[at(yy, x, columns)] != tolvane::EMPTY;
                        if (out[m] && area[m] < 0 && !across_line) {
                            area[m] = id;
                            stack.push_back(m);
                        }
                    }
            }
        }
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++)
            if ((i == b.top || i == b.bottom || j == b.left || j == b.right) && area[at(i, j, columns)] >= 0)
                bordered[area[at(i, j, columns)]] |= 2;
    for (std::size_t e : ends) {
        const int y = static_cast<int>(e / columns), x = static_cast<int>(e % columns);
        for (int di = -2; di <= 2; di++)
            for (int dj = -2; dj <= 2; dj++)
                if (in_box(y + di, x + dj)) {
                    const int id = area[at(y + di, x + dj, columns)];
                    if (id >= 0)
                        bordered[id] |= 1;
                }
    }
    return bordered;
}

} // namespace

std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel,
                                            const SiteMap &to_line)
{
    std::vector<std::uint8_t> inside(cells.size(), 1);
    if (ends.empty())
        return inside;
    const PixelBox b = lines_box(cells, rows, columns);
    const std::unique_ptr<std::uint8_t[]> out = left_out(cells, rows, columns, b, radius, pixel, to_line);
    if (!out)
        return inside;
    // An area left out is kept out only when an open end borders it and it
    // reaches the rectangle's edge: one that does not is enclosed by lines, the
    // inside of a ring or a broad flat.
    std::unique_ptr<int[]> area = uncleared<int>(cells.size());
    std::fill(area.get(), area.get() + cells.size(), -1);
    const std::vector<std::uint8_t> bordered = areas_left_out(out.get(), columns, b, ends, area.get());
    for (std::size_t k = 0; k < cells.size(); k++)
        if (area[k] >= 0 && bordered[area[k]] == 3)
            inside[k] = 0;
    return inside;
}

void give_back_rings(const std::vector<std::int32_t> &cells, int rows, int columns, const std::vector<std::size_t> &ends,
                     std::vector<std::uint8_t> &inside)
{
    if (ends.empty())
        return;
    const PixelBox b = lines_box(cells, rows, columns);
    std::vector<std::uint8_t> out(cells.size(), 0);
    for (std::size_t k = 0; k < cells.size(); k++)
        out[k] = !inside[k] && cells[k] == tolvane::EMPTY;
    std::unique_ptr<int[]> area = uncleared<int>(cells.size());
    std::fill(area.get(), area.get() + cells.size(), -1);
    const std::vector<std::uint8_t> bordered = areas_left_out(out.data(), columns, b, ends, area.get(), &cells);
    for (std::size_t k = 0; k < cells.size(); k++)
        if (area[k] >= 0 && bordered[area[k]] == 0)
            inside[k] = 1;
}

namespace {

// Marks 1 in `state` the pixels of the lines' rectangle that lie in an empty
// area whose lines hold more than two levels, or two not `interval` apart, and
// that touches a pixel outside; false when there is none.
bool mark_leaking_areas(const std::vector<std::int32_t> &cells, int rows, int columns,
                        const std::vector<std::uint8_t> &inside, int interval, std::vector<std::uint8_t> &state)
{
    EmptyAreas areas = empty_areas(cells, rows, columns, inside.data());
    const PixelBox b = lines_box(cells, rows, columns);
    bool any = false;
    for (std::uint32_t r = 0; r < areas.runs.size(); r++) {
        const LevelSet &around = areas.levels[areas.root(r)];
        const EmptyAreas::Run &run = areas.runs[r];
        if (!around.edge || !around.leaks(interval) || run.row < b.top || run.row > b.bottom)
            continue;
        for (int j = std::max(run.first, b.left); j <= std::min(run.last, b.right); j++) {
            state[at(run.row, j, columns)] = 1;
            any = true;
        }
    }
    return any;
}

// The centres of a disc of squared radius `r2` among the pixels marked 1: those
// farther than its radius from every line, reached from beside a pixel outside
// through such centres (8-connected); marked 2, in the order reached.
std::vector<std::size_t> roll_from_outside(int rows, int columns, const std::vector<std::uint8_t> &inside,
                                           const SiteMap &lines, double r2, std::vector<std::uint8_t> &state)
{
    const auto centre = [&](std::size_t k) { return state[k] == 1 && static_cast<double>(lines.squared(k)) > r2; };
    const auto beside = [&](std::size_t k, const auto &take) {
        const int i = static_cast<int>(k / columns), j = static_cast<int>(k % columns);
        for (int y = std::max(0, i - 1); y <= std::min(rows - 1, i + 1); y++)
            for (int x = std::max(0, j - 1); x <= std::min(columns - 1, j + 1); x++)
                if (take(at(y, x, columns)))
                    return true;
        return false;
    };
    std::vector<std::size_t> reached, stack;
    for (std::size_t k = 0; k < state.size(); k++) {
        if (!centre(k) || !beside(k, [&](std::size_t m) { return !inside[m]; }))
            continue;
        state[k] = 2;
        stack.push_back(k);
        while (!stack.empty()) {
            const std::size_t c = stack.back();
            stack.pop_back();
            reached.push_back(c);
            beside(c, [&](std::size_t m) {
                if (centre(m)) {
                    state[m] = 2;
                    stack.push_back(m);
                }
                return false;
            });
        }
    }
    return reached;
}

} // namespace

void open_leaking_inlets(const std::vector<std::int32_t> &cells, int rows, int columns, double radius,
                         const SiteMap &lines, int interval, std::vector<std::uint8_t> &inside)
{
    const double narrower = std::max(2.0, radius / 2);
    std::vector<std::uint8_t> state(cells.size(), 0);
    if (!(narrower < radius) || !mark_leaking_areas(cells, rows, columns, inside, interval, state))
        return;
    // What the disc covers of those areas from its centres is left out.
    const double r2 = narrower * narrower;
    const int reach = static_cast<int>(std::floor(narrower));
    for (const std::size_t c : roll_from_outside(rows, columns, inside, lines, r2, state)) {
        const int i = static_cast<int>(c / columns), j = static_cast<int>(c % columns);
        for (int y = std::max(0, i - reach); y <= std::min(rows - 1, i + reach); y++)
            for (int x = std::max(0, j - reach); x <= std::min(columns - 1, j + reach); x++)
                if ((y - i) * (y - i) + (x - j) * (x - j) <= r2 && state[at(y, x, columns)] != 0)
                    inside[at(y, x, columns)] = 0;
    }
}

double footprint_radius(double spacing) { return std::max(2.0, spacing); }
std::vector<std::uint8_t> grown_by_one_pixel(const std::vector<std::uint8_t> &inside, int rows, int columns)
{
    std::vector<std::uint8_t> grown = inside;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            if (inside[at(i, j, columns)])
                continue;
            for (int di = -1; di <= 1 && !grown[at(i, j, columns)]; di++)
                for (int dj = -1; dj <= 1; dj++) {
                    const int y = i + di, x = j + dj;
                    if (y >= 0 && y < rows && x >= 0 && x < columns && inside[at(y, x, columns)]) {
                        grown[at(i, j, columns)] = 1;
                        break;
                    }
                }
        }
    return grown;
}

} // namespace tolvane::geo
