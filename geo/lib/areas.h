// The empty areas of a burned grid: 4-connected stretches of empty pixels, as the
// core's labelling fills them, with the levels of the lines around each.
#ifndef TOLVANE_GEO_AREAS_H
#define TOLVANE_GEO_AREAS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tolvane::geo {

// The levels of the lines around an area: two at most kept, `count` 3 for more,
// and the lowest and highest of them all.
struct LevelSet {
    std::int32_t level[2] = {0, 0};
    int count = 0;
    std::int32_t lowest = 0, highest = 0;
    bool edge = false; // the area touches a pixel outside the footprint

    void add(std::int32_t v)
    {
        if (count == 0) {
            lowest = highest = v;
        } else {
            lowest = std::min(lowest, v);
            highest = std::max(highest, v);
        }
        if (count >= 3 || (count >= 1 && level[0] == v) || (count == 2 && level[1] == v))
            return;
        if (count < 2)
            level[count] = v;
        count++;
    }
    void add(const LevelSet &o);
    // Bands hold two levels an interval apart, or one (a summit, a pit).
    bool leaks(long long interval) const;
};

// The levels of the lines beside an area, each with the count of its cells
// there. Bands join through the area when the levels with at least `least`
// cells are two not `interval` apart, or more than two spanning more than two
// intervals: three levels in a row are a cell of a line burned against the
// next, beside a band; a few cells of many levels, the ends of dense lines.
struct LevelCounts {
    std::vector<std::pair<std::int32_t, int>> counted;

    void clear() { counted.clear(); }
    void add(std::int32_t level);
    bool bands_join(long long interval, int least) const;
};

// Each 4-connected area of the cells `take` takes (of a grid of `rows` x
// `columns`), in order of its first cell: `area(cells, beside)` with the
// area's cells and the cells beside it that `take` refuses, each once.
template <class Take, class Area>
void each_area(int rows, int columns, const Take &take, const Area &area)
{
    const std::size_t n = static_cast<std::size_t>(rows) * columns;
    std::vector<std::uint8_t> seen(n, 0);
    std::vector<std::size_t> cells, beside, stack;
    for (std::size_t start = 0; start < n; start++) {
        if (seen[start] || !take(start))
            continue;
        cells.clear();
        beside.clear();
        seen[start] = 1;
        stack.push_back(start);
        while (!stack.empty()) {
            const std::size_t k = stack.back();
            stack.pop_back();
            cells.push_back(k);
            const std::size_t i = k / columns, j = k % columns;
            const std::size_t next[4] = {i > 0 ? k - columns : n, i + 1 < static_cast<std::size_t>(rows) ? k + columns : n,
                                         j > 0 ? k - 1 : n, j + 1 < static_cast<std::size_t>(columns) ? k + 1 : n};
            for (const std::size_t m : next) {
                if (m == n || seen[m])
                    continue;
                seen[m] = 1;
                if (take(m))
                    stack.push_back(m);
                else
                    beside.push_back(m);
            }
        }
        for (const std::size_t m : beside)
            seen[m] = 0; // beside the areas on both its sides
        area(cells, beside);
    }
}

// The empty pixels inside a footprint, as runs along the rows joined into
// 4-connected areas (union-find over the runs), with the levels of the lines
// beside each area.
struct EmptyAreas {
    struct Run {
        int row, first, last;
    };
    std::vector<Run> runs;            // in row-major order
    std::vector<std::size_t> row_runs; // the first run of each row, then runs.size()
    std::vector<std::uint32_t> parent;
    std::vector<LevelSet> levels; // of the area, at its root run

    std::uint32_t root(std::uint32_t r);
    void join(std::uint32_t a, std::uint32_t b);
    // The root run of the area holding the empty pixel (i, j); runs.size() for a
    // pixel of no area.
    std::uint32_t area_of(int i, int j);
};

// The areas of the empty pixels of `cells` for which inside[k] != 0 (every
// empty pixel when `inside` is null).
EmptyAreas empty_areas(const std::vector<std::int32_t> &cells, int rows, int columns, const std::uint8_t *inside);

} // namespace tolvane::geo

#endif
