// Gaps in burned contour lines: find the open ends, pair those that face each
// other across a short empty gap, and burn the straight join.
//
// Working on the burned grid rather than on the vectors serves raster input as
// well as lines, and sees the gaps the core will see: those of the data and those
// the rasterising makes (a line overwritten by its neighbour where the slope is
// steep, a sheet edge moved by a reprojection).
#include "repair.h"

#include "parallel.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace tolvane::geo {

namespace {

constexpr int STEPS[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

// Pixels followed back from an end to find where its line comes from.
constexpr int TRACE = 5;
// Two ends are joined when neither points away from the other and the cosines of
// their angles to the join add up to this at least. Lines that stop side by side
// run the same way: their cosines are opposite and add up to 0.
constexpr double MIN_COSINES = 0.6;

struct End {
    int i, j;
    int level;
    double di, dj; // unit vector from the line towards the end and beyond
};

class Lines {
public:
    Lines(std::vector<std::int32_t> &cells, int rows, int columns) : cells_(cells), rows_(rows), columns_(columns) {}

    bool inside(int i, int j) const { return i >= 0 && i < rows_ && j >= 0 && j < columns_; }
    std::int32_t &at(int i, int j) { return cells_[static_cast<std::size_t>(i) * columns_ + j]; }
    std::int32_t at(int i, int j) const { return cells_[static_cast<std::size_t>(i) * columns_ + j]; }

    // Same-level neighbours of (i, j), at most 8.
    int neighbours(int i, int j, int out[8][2]) const
    {
        const std::int32_t v = at(i, j);
        int n = 0;
        for (const auto &s : STEPS) {
            const int y = i + s[0], x = j + s[1];
            if (inside(y, x) && at(y, x) == v) {
                out[n][0] = y;
                out[n][1] = x;
                n++;
            }
        }
        return n;
    }

    // An end: a line pixel from which its line leaves in one direction only. Its
    // neighbours of the same level (at most two) touch each other, and the pixels
    // of the level two steps away that continue from them touch each other too. A
    // pixel on a line passing by has two ways out; a junction more.
    bool is_end(int i, int j) const
    {
        int n[8][2];
        const int count = neighbours(i, j, n);
        if (count == 0 || count > 2)
            return false;
        if (count == 2 && (std::abs(n[0][0] - n[1][0]) > 1 || std::abs(n[0][1] - n[1][1]) > 1))
            return false;
        // Two neighbours across sides, at a right angle: the corner of a stair-stepped
        // line or of a small closed line, not an end.
        if (count == 2 && (n[0][0] == i || n[0][1] == j) && (n[1][0] == i || n[1][1] == j))
            return false;
        const std::int32_t v = at(i, j);
        int way[16][2];
        int ways = 0;
        for (int y = i - 2; y <= i + 2; y++)
            for (int x = j - 2; x <= j + 2; x++) {
                if (std::max(std::abs(y - i), std::abs(x - j)) != 2 || !inside(y, x) || at(y, x) != v)
                    continue;
                for (int k = 0; k < count; k++)
                    if (std::abs(y - n[k][0]) <= 1 && std::abs(x - n[k][1]) <= 1) {
                        way[ways][0] = y;
                        way[ways][1] = x;
                        ways++;
                        break;
                    }
            }
        // The continuing pixels lie on the ring around the 3 x 3 block: one way out
        // when they form one run of touching pixels.
        int groups = 0;
        int group[16], stack[16];
        std::fill(group, group + ways, -1);
        for (int a = 0; a < ways; a++) {
            if (group[a] >= 0)
                continue;
            int top = 0;
            stack[top++] = a;
            group[a] = groups;
            while (top > 0) {
                const int b = stack[--top];
                for (int c = 0; c < ways; c++)
                    if (group[c] < 0 && std::abs(way[b][0] - way[c][0]) <= 1 && std::abs(way[b][1] - way[c][1]) <= 1) {
                        group[c] = groups;
                        stack[top++] = c;
                    }
            }
            groups++;
        }
        return groups <= 1;
    }

    // The pixels of the line of (i, j) at most `steps` steps from it along the line.
    std::vector<std::pair<int, int>> along(int i, int j, int steps) const
    {
        const std::int32_t v = at(i, j);
        std::vector<std::pair<int, int>> seen{{i, j}};
        std::deque<std::pair<std::pair<int, int>, int>> queue{{{i, j}, 0}};
        while (!queue.empty()) {
            const auto [p, depth] = queue.front();
            queue.pop_front();
            if (depth == steps)
                continue;
            for (const auto &s : STEPS) {
                const int y = p.first + s[0], x = p.second + s[1];
                if (!inside(y, x) || at(y, x) != v ||
                    std::find(seen.begin(), seen.end(), std::make_pair(y, x)) != seen.end())
                    continue;
                seen.push_back({y, x});
                queue.push_back({{y, x}, depth + 1});
            }
        }
        return seen;
    }

    // The direction in which the line runs out at the end (i, j): from the mean of
    // the line pixels within TRACE steps of it, towards it.
    bool direction(int i, int j, double &di, double &dj) const
    {
        const auto line = along(i, j, TRACE);
        if (line.size() < 2)
            return false;
        double si = 0, sj = 0;
        for (std::size_t k = 1; k < line.size(); k++) {
            si += line[k].first;
            sj += line[k].second;
        }
        const double count = static_cast<double>(line.size() - 1);
        di = i - si / count;
        dj = j - sj / count;
        const double norm = std::hypot(di, dj);
        if (norm < 1e-9)
            return false;
        di /= norm;
        dj /= norm;
        return true;
    }

    // The pixels strictly between a and b on an 8-connected straight line.
    static std::vector<std::pair<int, int>> between(int i0, int j0, int i1, int j1)
    {
        std::vector<std::pair<int, int>> path;
        const int di = std::abs(i1 - i0), dj = std::abs(j1 - j0);
        const int si = i0 < i1 ? 1 : -1, sj = j0 < j1 ? 1 : -1;
        int error = dj - di, i = i0, j = j0;
        while (true) {
            const int e2 = 2 * error;
            if (e2 > -di) {
                error -= di;
                j += sj;
            }
            if (e2 < dj) {
                error += dj;
                i += si;
            }
            if (i == i1 && j == j1)
                break;
            path.push_back({i, j});
        }
        return path;
    }

    // Whether the straight join from a to b crosses nothing: its pixels are empty
    // and no diagonal step passes between two line pixels of another level.
    bool clear(const End &a, const End &b) const
    {
        std::vector<std::pair<int, int>> path = between(a.i, a.j, b.i, b.j);
        path.insert(path.begin(), {a.i, a.j});
        path.push_back({b.i, b.j});
        for (std::size_t n = 1; n + 1 < path.size(); n++)
            if (at(path[n].first, path[n].second) != tolvane::EMPTY)
                return false;
        for (std::size_t n = 0; n + 1 < path.size(); n++) {
            const auto [y0, x0] = path[n];
            const auto [y1, x1] = path[n + 1];
            if (y0 == y1 || x0 == x1)
                continue;
            const std::int32_t c1 = at(y0, x1), c2 = at(y1, x0);
            if (c1 != tolvane::EMPTY && c2 != tolvane::EMPTY && c1 != a.level && c2 != a.level)
                return false;
        }
        return true;
    }

    long long burn(const End &a, const End &b)
    {
        const auto path = between(a.i, a.j, b.i, b.j);
        for (const auto &[y, x] : path)
            at(y, x) = a.level;
        return static_cast<long long>(path.size());
    }

private:
    std::vector<std::int32_t> &cells_;
    int rows_, columns_;
};

} // namespace

std::vector<std::size_t> line_ends(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    // Lines only reads; it holds a reference it may write through, never used here.
    const Lines lines(const_cast<std::vector<std::int32_t> &>(cells), rows, columns);
    // Slices of rows, their ends put together in order.
    std::vector<std::pair<std::size_t, std::vector<std::size_t>>> found;
    std::mutex slices;
    in_slices(static_cast<std::size_t>(rows), 16, [&](std::size_t from, std::size_t to) {
        std::vector<std::size_t> ends;
        for (int i = static_cast<int>(from); i < static_cast<int>(to); i++)
            for (int j = 0; j < columns; j++)
                if (lines.at(i, j) != tolvane::EMPTY && lines.is_end(i, j))
                    ends.push_back(static_cast<std::size_t>(i) * columns + j);
        const std::lock_guard<std::mutex> lock(slices);
        found.emplace_back(from, std::move(ends));
    });
    std::sort(found.begin(), found.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::size_t> ends;
    for (const auto &f : found)
        ends.insert(ends.end(), f.second.begin(), f.second.end());
    return ends;
}

namespace {

// The ends of the burned lines in row-major order, with their indices in cells
// to find them by.
void grid_ends(const Lines &lines, int rows, int columns, std::vector<End> &ends, std::vector<std::size_t> &end_at)
{
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            // A line that reaches the grid's edge, or the empty pixel along it that
            // the default extent leaves, runs off the grid: not an open end.
            const bool edge = i <= 1 || j <= 1 || i >= rows - 2 || j >= columns - 2;
            if (edge || lines.at(i, j) == tolvane::EMPTY || !lines.is_end(i, j))
                continue;
            End e{i, j, lines.at(i, j), 0, 0};
            if (!lines.direction(i, j, e.di, e.dj))
                continue;
            end_at.push_back(static_cast<std::size_t>(i) * columns + j);
            ends.push_back(e);
        }
}

// Candidate pairs: same level, not touching (a gap of one pixel at least), no
// farther than max_gap, each pointing at the other; in the order they are joined.
std::vector<EndPair> grid_pairs(const std::vector<End> &ends, const std::vector<std::size_t> &end_at, int rows,
                                int columns, double max_gap)
{
    std::vector<EndPair> pairs;
    const int reach = static_cast<int>(std::floor(max_gap));
    for (int a = 0; a < static_cast<int>(ends.size()); a++) {
        const End &e = ends[a];
        for (int y = std::max(0, e.i - reach); y <= std::min(rows - 1, e.i + reach); y++) {
            const std::size_t row = static_cast<std::size_t>(y) * columns;
            const auto first = std::lower_bound(end_at.begin(), end_at.end(), row + std::max(0, e.j - reach));
            const auto last = std::upper_bound(first, end_at.end(), row + std::min(columns - 1, e.j + reach));
            for (auto found = first; found != last; ++found) {
                const int b = static_cast<int>(found - end_at.begin());
                if (b <= a || ends[b].level != e.level)
                    continue;
                const End &f = ends[b];
                const double vi = f.i - e.i, vj = f.j - e.j, d = std::hypot(vi, vj);
                if (d < 1.5 || d > max_gap)
                    continue;
                const double ca = (e.di * vi + e.dj * vj) / d, cb = -(f.di * vi + f.dj * vj) / d;
                if (ca < 0 || cb < 0 || ca + cb < MIN_COSINES)
                    continue;
                pairs.push_back({d, 2 - ca - cb, static_cast<std::size_t>(a), static_cast<std::size_t>(b)});
            }
        }
    }
    std::sort(pairs.begin(), pairs.end(), joined_before);
    return pairs;
}

// An end left over may point at the side of a line of its level that is not
// its own: the gap a rasterised line leaves where it meets a fold of itself or
// a piece cut off from it. The nearest pixel of such a line within 45 degrees of
// its direction, reached across empty pixels (best_distance above max_gap: none).
// Its own line is whatever is reachable along it within far more steps than the
// gap is long.
End side_target(const Lines &lines, const End &e, int rows, int columns, double max_gap, double &best_distance)
{
    const double cone = std::sqrt(0.5);
    const int reach = static_cast<int>(std::floor(max_gap));
    const auto own = lines.along(e.i, e.j, 4 * reach + 2 * TRACE);
    End best{0, 0, e.level, 0, 0};
    best_distance = max_gap + 1;
    for (int y = std::max(0, e.i - reach); y <= std::min(rows - 1, e.i + reach); y++)
        for (int x = std::max(0, e.j - reach); x <= std::min(columns - 1, e.j + reach); x++) {
            if (lines.at(y, x) != e.level)
                continue;
            const double vi = y - e.i, vj = x - e.j, d = std::hypot(vi, vj);
            if (d < 1.5 || d > max_gap || d >= best_distance || (e.di * vi + e.dj * vj) / d < cone ||
                std::find(own.begin(), own.end(), std::make_pair(y, x)) != own.end())
                continue;
            const End target{y, x, e.level, 0, 0};
            if (!lines.clear(e, target))
                continue;
            best = target;
            best_distance = d;
        }
    return best;
}

} // namespace

Repairs repair_gaps(std::vector<std::int32_t> &cells, int rows, int columns, double max_gap,
                    std::vector<std::pair<std::size_t, std::size_t>> *joins)
{
    Repairs report;
    Lines lines(cells, rows, columns);
    std::vector<End> ends;
    std::vector<std::size_t> end_at;
    grid_ends(lines, rows, columns, ends, end_at);
    report.open_ends = static_cast<int>(ends.size());
    std::vector<bool> used(ends.size(), false);
    for (const EndPair &p : grid_pairs(ends, end_at, rows, columns, max_gap)) {
        if (used[p.a] || used[p.b] || !lines.clear(ends[p.a], ends[p.b]))
            continue;
        used[p.a] = used[p.b] = true;
        if (joins)
            joins->push_back({end_at[p.a], end_at[p.b]});
        report.pixels += lines.burn(ends[p.a], ends[p.b]);
        report.joins++;
    }
    for (std::size_t a = 0; a < ends.size(); a++) {
        if (used[a])
            continue;
        double distance = 0;
        const End best = side_target(lines, ends[a], rows, columns, max_gap, distance);
        if (distance <= max_gap) {
            used[a] = true;
            if (joins)
                joins->push_back({end_at[a], static_cast<std::size_t>(best.i) * columns + best.j});
            report.pixels += lines.burn(ends[a], best);
            report.joins++;
        }
    }
    return report;
}

void repair_gaps_as_pixels(std::vector<std::int32_t> &cells, int rows, int columns, int factor, double max_gap,
                           Repairs &report)
{
    if (factor <= 1 || max_gap <= 0)
        return;
    const int prow = (rows + factor - 1) / factor, pcol = (columns + factor - 1) / factor;
    // A pixel shows the level of its first line cell in row-major order.
    std::vector<std::int32_t> pixels(static_cast<std::size_t>(prow) * pcol, tolvane::EMPTY);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::int32_t v = cells[static_cast<std::size_t>(i) * columns + j];
            std::int32_t &p = pixels[static_cast<std::size_t>(i / factor) * pcol + j / factor];
            if (v != tolvane::EMPTY && p == tolvane::EMPTY)
                p = v;
        }
    std::vector<std::pair<std::size_t, std::size_t>> joins;
    repair_gaps(pixels, prow, pcol, max_gap, &joins);

    // The joins are made between the ends still open on the cells: a pixel whose
    // end is no end on the cells (lines that fall on one pixel, a line
    // overwritten by its neighbour) has nothing to join there.
    const std::vector<std::size_t> ends = line_ends(cells, rows, columns);
    std::vector<std::vector<std::size_t>> ends_in(pixels.size());
    for (std::size_t k : ends)
        ends_in[(k / columns / factor) * pcol + (k % columns) / factor].push_back(k);
    // The end of level v nearest to the cell (ti, tj) within a pixel of `pixel`
    // (the line may stop on the cells of the pixel beside it), or none.
    const auto nearest = [&](std::size_t pixel, std::int32_t v, double ti, double tj) {
        std::size_t best = cells.size();
        double best_distance = 0;
        const int pi = static_cast<int>(pixel / pcol), pj = static_cast<int>(pixel % pcol);
        for (int y = std::max(0, pi - 1); y <= std::min(prow - 1, pi + 1); y++)
            for (int x = std::max(0, pj - 1); x <= std::min(pcol - 1, pj + 1); x++)
                for (std::size_t k : ends_in[static_cast<std::size_t>(y) * pcol + x]) {
                    if (cells[k] != v)
                        continue;
                    const double d =
                        std::hypot(static_cast<double>(k / columns) - ti, static_cast<double>(k % columns) - tj);
                    if (best == cells.size() || d < best_distance) {
                        best = k;
                        best_distance = d;
                    }
                }
        return best;
    };
    Lines on_cells(cells, rows, columns);
    for (const auto &[a, b] : joins) {
        const std::int32_t v = pixels[a];
        const double bi = (static_cast<double>(b / pcol) + 0.5) * factor - 0.5;
        const double bj = (static_cast<double>(b % pcol) + 0.5) * factor - 0.5;
        const std::size_t from = nearest(a, v, bi, bj);
        if (from == cells.size())
            continue;
        const std::size_t to = nearest(b, v, static_cast<double>(from / columns), static_cast<double>(from % columns));
        if (to == cells.size())
            continue;
        const End e{static_cast<int>(from / columns), static_cast<int>(from % columns), v, 0, 0};
        const End f{static_cast<int>(to / columns), static_cast<int>(to % columns), v, 0, 0};
        if (!on_cells.clear(e, f))
            continue;
        report.joins++;
        report.pixels += on_cells.burn(e, f);
    }
}

void reach_footprint_edge(std::vector<std::int32_t> &cells, int rows, int columns,
                          const std::vector<std::uint8_t> &inside, double max_gap, Repairs &report)
{
    if (max_gap <= 0 || inside.size() != cells.size())
        return;
    const std::vector<std::size_t> ends = line_ends(cells, rows, columns);
    Lines lines(cells, rows, columns);
    const int reach = static_cast<int>(std::floor(max_gap));
    for (std::size_t k : ends) {
        if (!inside[k])
            continue;
        const End e{static_cast<int>(k / columns), static_cast<int>(k % columns), cells[k], 0, 0};
        // The outside cells within reach, nearest first.
        std::vector<std::pair<double, std::size_t>> outside;
        for (int y = std::max(0, e.i - reach); y <= std::min(rows - 1, e.i + reach); y++)
            for (int x = std::max(0, e.j - reach); x <= std::min(columns - 1, e.j + reach); x++) {
                const std::size_t at = static_cast<std::size_t>(y) * columns + x;
                const double d = std::hypot(y - e.i, x - e.j);
                if (!inside[at] && d <= max_gap && cells[at] == tolvane::EMPTY)
                    outside.push_back({d, at});
            }
        std::sort(outside.begin(), outside.end());
        // An end beside an outside cell meets the edge already; otherwise the
        // cells between it and the nearest outside cell it sees take the line there.
        if (outside.empty() || outside.front().first < 1.5)
            continue;
        for (const auto &candidate : outside) {
            const std::size_t at = candidate.second;
            const End target{static_cast<int>(at / columns), static_cast<int>(at % columns), e.level, 0, 0};
            if (!lines.clear(e, target))
                continue;
            report.pixels += lines.burn(e, target);
            report.joins++;
            break;
        }
    }
}

} // namespace tolvane::geo
