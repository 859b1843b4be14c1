// Gaps still open after the repairs, found by the bands that run through them.
#include "seal.h"

#include "areas.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <queue>
#include <set>
#include <utility>

namespace tolvane::geo {

namespace {

constexpr double MIDDLE_WEIGHT = 1, MIDDLE_CAP = 20; // of a step's cost, see seal_leaks
constexpr double SIDE_REACH = 1.5;                     // an end's path to a line of its level, in max_gap
constexpr double DIAGONAL = 1.4142135623730951;

// The row and column of the cell k of a grid of `columns` columns.
int row_of(std::size_t k, int columns) { return static_cast<int>(k / columns); }
int column_of(std::size_t k, int columns) { return static_cast<int>(k % columns); }

// A rectangle of the grid around the cells of a join, with its own indices.
struct Box {
    int top, left, rows, columns;

    Box(int i0, int j0, int i1, int j1, int reach, int grid_rows, int grid_columns)
        : top(std::max(0, std::min(i0, i1) - reach)), left(std::max(0, std::min(j0, j1) - reach)),
          rows(std::min(grid_rows, std::max(i0, i1) + reach + 1) - top),
          columns(std::min(grid_columns, std::max(j0, j1) + reach + 1) - left)
    {
    }
    std::size_t size() const { return static_cast<std::size_t>(rows) * columns; }
    std::size_t local(int i, int j) const { return static_cast<std::size_t>(i - top) * columns + (j - left); }
};

// The leaking area around a join: its empty cells in the box, and the cost of a
// step onto each, from the distances to the levels an interval below and above.
struct Corridor {
    Box box;
    std::vector<std::uint8_t> open; // 1: an empty cell of the area
    std::vector<double> cost;       // of a step of length 1 onto the cell
};

// Chamfer distances (steps 1 and the diagonal) from the cells of level v in the box.
std::vector<double> distances_to(const std::vector<std::int32_t> &cells, int columns, const Box &b, std::int32_t v)
{
    const double far = std::numeric_limits<double>::infinity();
    std::vector<double> d(b.size(), far);
    for (int i = 0; i < b.rows; i++)
        for (int j = 0; j < b.columns; j++)
            if (cells[static_cast<std::size_t>(b.top + i) * columns + b.left + j] == v)
                d[static_cast<std::size_t>(i) * b.columns + j] = 0;
    const auto relax = [&](int i, int j, int di, int dj, double step) {
        const int y = i + di, x = j + dj;
        if (y >= 0 && y < b.rows && x >= 0 && x < b.columns) {
            double &here = d[static_cast<std::size_t>(i) * b.columns + j];
            here = std::min(here, d[static_cast<std::size_t>(y) * b.columns + x] + step);
        }
    };
    for (int i = 0; i < b.rows; i++)
        for (int j = 0; j < b.columns; j++) {
            relax(i, j, 0, -1, 1);
            relax(i, j, -1, -1, DIAGONAL);
            relax(i, j, -1, 0, 1);
            relax(i, j, -1, 1, DIAGONAL);
        }
    for (int i = b.rows - 1; i >= 0; i--)
        for (int j = b.columns - 1; j >= 0; j--) {
            relax(i, j, 0, 1, 1);
            relax(i, j, 1, 1, DIAGONAL);
            relax(i, j, 1, 0, 1);
            relax(i, j, 1, -1, DIAGONAL);
        }
    return d;
}

Corridor corridor(const std::vector<std::int32_t> &cells, int columns, EmptyAreas &areas, std::uint32_t area,
                  std::int32_t level, long long interval, const Box &b)
{
    Corridor c{b, std::vector<std::uint8_t>(b.size(), 0), std::vector<double>(b.size(), 1)};
    for (int i = 0; i < b.rows; i++)
        for (int j = 0; j < b.columns; j++) {
            const int y = b.top + i, x = b.left + j;
            c.open[b.local(y, x)] =
                cells[static_cast<std::size_t>(y) * columns + x] == tolvane::EMPTY && areas.area_of(y, x) == area;
        }
    const std::vector<double> below = distances_to(cells, columns, b, static_cast<std::int32_t>(level - interval));
    const std::vector<double> above = distances_to(cells, columns, b, static_cast<std::int32_t>(level + interval));
    for (std::size_t k = 0; k < b.size(); k++) {
        const double apart = std::isinf(below[k]) || std::isinf(above[k]) ? MIDDLE_CAP : std::abs(below[k] - above[k]);
        c.cost[k] = 1 + MIDDLE_WEIGHT * std::min(apart, MIDDLE_CAP);
    }
    return c;
}

// The cheapest 8-connected path from the cell `from` through the corridor's
// open cells to a cell `goal` accepts (a line cell), at a cost of `most` at most:
// the open cells it crosses (in the grid's indices, from the goal back), or
// none; the goal into `reached`. Ties go to the cell first in row-major order.
std::vector<std::size_t> cheapest_path(const Corridor &c, int columns, std::size_t from,
                                       const std::function<bool(int, int)> &goal, double most,
                                       std::size_t *reached = nullptr)
{
    const Box &b = c.box;
    const int fi = row_of(from, columns), fj = column_of(from, columns);
    std::vector<double> spent(b.size(), std::numeric_limits<double>::infinity());
    std::vector<std::size_t> previous(b.size(), b.size());
    using Entry = std::pair<double, std::size_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    const std::size_t start = b.local(fi, fj);
    spent[start] = 0;
    queue.push({0, start});
    while (!queue.empty()) {
        const auto [d, k] = queue.top();
        queue.pop();
        if (d > spent[k])
            continue;
        const int i = b.top + static_cast<int>(k / b.columns), j = b.left + static_cast<int>(k % b.columns);
        if (k != start && !c.open[k]) { // a goal: the path back
            std::vector<std::size_t> path;
            if (reached != nullptr)
                *reached = static_cast<std::size_t>(i) * columns + j;
            for (std::size_t p = previous[k]; p != start; p = previous[p])
                path.push_back(static_cast<std::size_t>(b.top + p / b.columns) * columns + b.left + p % b.columns);
            return path;
        }
        for (int di = -1; di <= 1; di++)
            for (int dj = -1; dj <= 1; dj++) {
                const int y = i + di, x = j + dj;
                if ((di == 0 && dj == 0) || y < b.top || y >= b.top + b.rows || x < b.left || x >= b.left + b.columns)
                    continue;
                const std::size_t m = b.local(y, x);
                const bool open = c.open[m] != 0;
                if (!open && (m == start || !goal(y, x)))
                    continue;
                const double step = di != 0 && dj != 0 ? DIAGONAL : 1;
                const double next = d + step * (open ? c.cost[m] : 1);
                if (next <= most && next < spent[m]) {
                    spent[m] = next;
                    previous[m] = k;
                    queue.push({next, m});
                }
            }
    }
    return {};
}

// The cells of level v joined to `end` along its line within `steps` steps.
std::vector<std::uint8_t> own_line(const std::vector<std::int32_t> &cells, int columns, const Box &b,
                                   std::size_t end, int steps)
{
    std::vector<std::uint8_t> own(b.size(), 0);
    const std::int32_t v = cells[end];
    std::vector<std::pair<int, int>> front{{row_of(end, columns), column_of(end, columns)}};
    own[b.local(front[0].first, front[0].second)] = 1;
    for (int s = 0; s < steps && !front.empty(); s++) {
        std::vector<std::pair<int, int>> next;
        for (const auto &[i, j] : front)
            for (int y = std::max(b.top, i - 1); y <= std::min(b.top + b.rows - 1, i + 1); y++)
                for (int x = std::max(b.left, j - 1); x <= std::min(b.left + b.columns - 1, j + 1); x++)
                    if (!own[b.local(y, x)] && cells[static_cast<std::size_t>(y) * columns + x] == v) {
                        own[b.local(y, x)] = 1;
                        next.push_back({y, x});
                    }
        front = std::move(next);
    }
    return own;
}

// An end beside a leaking area, and whether it touches a line of another level
// (a walled cell is no line).
struct LeakEnd {
    std::size_t at;
    bool touches;
};
using Groups = std::map<std::pair<std::uint32_t, std::int32_t>, std::vector<LeakEnd>>;

// The ends beside each leaking area whose level lies inside the area's range,
// by area and level, in row-major order.
Groups ends_in_leaks(const std::vector<std::int32_t> &cells, int rows, int columns,
                    const std::vector<std::uint8_t> &inside, EmptyAreas &areas, long long interval)
{
    Groups found;
    for (const std::size_t e : line_ends(cells, rows, columns)) {
        const int i = row_of(e, columns), j = column_of(e, columns);
        const std::int32_t v = cells[e];
        bool touches = false;
        for (int y = std::max(0, i - 1); y <= std::min(rows - 1, i + 1); y++)
            for (int x = std::max(0, j - 1); x <= std::min(columns - 1, j + 1); x++) {
                const std::size_t k = static_cast<std::size_t>(y) * columns + x;
                touches = touches || (cells[k] != tolvane::EMPTY && cells[k] != v && (inside.empty() || inside[k]));
            }
        for (int y = std::max(0, i - 1); y <= std::min(rows - 1, i + 1); y++)
            for (int x = std::max(0, j - 1); x <= std::min(columns - 1, j + 1); x++) {
                if (cells[static_cast<std::size_t>(y) * columns + x] != tolvane::EMPTY)
                    continue;
                const std::uint32_t a = areas.area_of(y, x);
                const LevelSet &around = areas.levels[a];
                if (!around.leaks(interval) || !(around.lowest < v && v < around.highest))
                    continue;
                std::vector<LeakEnd> &here = found[{a, v}];
                if (here.empty() || here.back().at != e)
                    here.push_back({e, touches});
            }
    }
    return found;
}

void draw(std::vector<std::int32_t> &cells, const std::vector<std::size_t> &path, std::int32_t v, Repairs &report)
{
    for (const std::size_t k : path)
        cells[k] = v;
    report.joins++;
    report.pixels += static_cast<long long>(path.size());
}

// The pairs of ends of each group, closest first.
void join_pairs(std::vector<std::int32_t> &cells, int rows, int columns, EmptyAreas &areas, const Groups &groups,
                long long interval, double max_gap, Repairs &report)
{
    struct Candidate {
        EndPair ends;
        std::uint32_t area;
        std::int32_t level;
    };
    std::vector<Candidate> pairs;
    for (const auto &[key, ends] : groups)
        for (std::size_t a = 0; a < ends.size(); a++)
            for (std::size_t b = a + 1; b < ends.size(); b++) {
                if (ends[a].touches && ends[b].touches)
                    continue;
                const std::size_t p = ends[a].at, q = ends[b].at;
                const double d = std::hypot(row_of(p, columns) - row_of(q, columns),
                                            column_of(p, columns) - column_of(q, columns));
                if (d <= max_gap)
                    pairs.push_back({{d, 0, p, q}, key.first, key.second});
            }
    std::sort(pairs.begin(), pairs.end(),
              [](const Candidate &p, const Candidate &q) { return joined_before(p.ends, q.ends); });
    std::set<std::size_t> used;
    const int reach = static_cast<int>(std::ceil(max_gap));
    for (const Candidate &p : pairs) {
        const EndPair &e = p.ends;
        if (used.count(e.a) != 0 || used.count(e.b) != 0)
            continue;
        const Box box(row_of(e.a, columns), column_of(e.a, columns), row_of(e.b, columns), column_of(e.b, columns),
                      reach, rows, columns);
        const Corridor c = corridor(cells, columns, areas, p.area, p.level, interval, box);
        const std::vector<std::size_t> path = cheapest_path(
            c, columns, e.a, [&](int y, int x) { return static_cast<std::size_t>(y) * columns + x == e.b; },
            std::numeric_limits<double>::infinity());
        if (path.empty() || static_cast<double>(path.size()) > 2 * e.distance + 4)
            continue;
        draw(cells, path, p.level, report);
        used.insert(e.a);
        used.insert(e.b);
    }
}

// Each end of the groups to the nearest cell of its level that is not its own
// line. An end whose own line that join reached is left: its gap is closed.
void join_to_sides(std::vector<std::int32_t> &cells, int rows, int columns, EmptyAreas &areas, const Groups &groups,
                   long long interval, double max_gap, Repairs &report)
{
    const int reach = static_cast<int>(std::ceil(max_gap));
    const auto around = [&](std::size_t end) {
        return Box(row_of(end, columns), column_of(end, columns), row_of(end, columns), column_of(end, columns), reach,
                   rows, columns);
    };
    for (const auto &[key, ends] : groups) {
        const auto [area, v] = key;
        std::vector<std::uint8_t> closed(ends.size(), 0);
        for (std::size_t e = 0; e < ends.size(); e++) {
            if (closed[e])
                continue;
            const Box box = around(ends[e].at);
            const Corridor c = corridor(cells, columns, areas, area, v, interval, box);
            const std::vector<std::uint8_t> own = own_line(cells, columns, box, ends[e].at, 3 * reach);
            std::size_t met = 0;
            const std::vector<std::size_t> path = cheapest_path(
                c, columns, ends[e].at,
                [&](int y, int x) {
                    return cells[static_cast<std::size_t>(y) * columns + x] == v && !own[box.local(y, x)];
                },
                SIDE_REACH * max_gap, &met);
            if (path.empty())
                continue;
            draw(cells, path, v, report);
            // Only the ends whose walk along their line could reach the cell met.
            const int y = row_of(met, columns), x = column_of(met, columns);
            for (std::size_t o = e + 1; o < ends.size(); o++) {
                const int oy = row_of(ends[o].at, columns), ox = column_of(ends[o].at, columns);
                if (std::max(std::abs(y - oy), std::abs(x - ox)) > reach)
                    continue;
                const Box other = around(ends[o].at);
                if (own_line(cells, columns, other, ends[o].at, 3 * reach)[other.local(y, x)])
                    closed[o] = 1;
            }
        }
    }
}

} // namespace

Repairs seal_leaks(std::vector<std::int32_t> &cells, int rows, int columns, const std::vector<std::uint8_t> &inside,
                   long long interval, double max_gap)
{
    Repairs report;
    if (interval <= 0 || max_gap < 1)
        return report;
    EmptyAreas areas = empty_areas(cells, rows, columns, nullptr);
    Groups groups = ends_in_leaks(cells, rows, columns, inside, areas, interval);
    if (groups.empty())
        return report;
    join_pairs(cells, rows, columns, areas, groups, interval, max_gap, report);
    if (report.joins > 0) { // the areas the joins split, labelled again
        areas = empty_areas(cells, rows, columns, nullptr);
        groups = ends_in_leaks(cells, rows, columns, inside, areas, interval);
    }
    join_to_sides(cells, rows, columns, areas, groups, interval, max_gap, report);
    return report;
}

} // namespace tolvane::geo
