#include "areas.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cstdlib>

namespace tolvane::geo {

void LevelSet::add(const LevelSet &o)
{
    if (o.count > 0) {
        add(o.lowest);
        add(o.highest);
    }
    for (int k = 0; k < std::min(o.count, 2); k++)
        add(o.level[k]);
    if (o.count > 2)
        count = 3;
    edge = edge || o.edge;
}

bool LevelSet::leaks(long long interval) const
{
    return count > 2 || (count == 2 && std::llabs(static_cast<long long>(level[1]) - level[0]) != interval);
}

void LevelCounts::add(std::int32_t level)
{
    const auto found = std::find_if(counted.begin(), counted.end(), [&](const auto &l) { return l.first == level; });
    if (found == counted.end())
        counted.emplace_back(level, 1);
    else
        found->second++;
}

bool LevelCounts::bands_join(long long interval, int least) const
{
    long long low = 0, high = 0;
    int many = 0;
    for (const auto &[level, count] : counted)
        if (count >= least) {
            low = many == 0 ? level : std::min<long long>(low, level);
            high = many == 0 ? level : std::max<long long>(high, level);
            many++;
        }
    return (many == 2 && high - low != interval) || (many > 2 && high - low > 2 * interval);
}

std::uint32_t EmptyAreas::root(std::uint32_t r)
{
    while (parent[r] != r)
        r = parent[r] = parent[parent[r]];
    return r;
}

void EmptyAreas::join(std::uint32_t a, std::uint32_t b)
{
    a = root(a);
    b = root(b);
    if (a != b) {
        parent[std::max(a, b)] = std::min(a, b);
        levels[std::min(a, b)].add(levels[std::max(a, b)]);
    }
}

std::uint32_t EmptyAreas::area_of(int i, int j)
{
    const auto first = runs.begin() + static_cast<std::ptrdiff_t>(row_runs[static_cast<std::size_t>(i)]);
    const auto last = runs.begin() + static_cast<std::ptrdiff_t>(row_runs[static_cast<std::size_t>(i) + 1]);
    const auto r = std::partition_point(first, last, [j](const Run &run) { return run.last < j; });
    if (r == last || r->first > j)
        return static_cast<std::uint32_t>(runs.size());
    return root(static_cast<std::uint32_t>(r - runs.begin()));
}

EmptyAreas empty_areas(const std::vector<std::int32_t> &cells, int rows, int columns, const std::uint8_t *inside)
{
    EmptyAreas a;
    const auto in = [inside](std::size_t k) { return inside == nullptr || inside[k] != 0; };
    // The runs counted first: the arrays grow once.
    std::size_t count = 0;
    for (int i = 0; i < rows; i++) {
        const std::size_t base = static_cast<std::size_t>(i) * columns;
        for (int j = 0; j < columns; j++)
            count += in(base + j) && cells[base + j] == tolvane::EMPTY &&
                     (j == 0 || !in(base + j - 1) || cells[base + j - 1] != tolvane::EMPTY);
    }
    a.runs.reserve(count);
    a.parent.reserve(count);
    a.levels.reserve(count);
    a.row_runs.reserve(static_cast<std::size_t>(rows) + 1);
    std::size_t previous = 0; // the first run of the row above
    for (int i = 0; i < rows; i++) {
        const std::size_t first_here = a.runs.size();
        a.row_runs.push_back(first_here);
        const std::size_t base = static_cast<std::size_t>(i) * columns;
        const std::int32_t *row = cells.data() + base;
        const auto empty = [&](int j) { return in(base + j) && row[j] == tolvane::EMPTY; };
        for (int j = 0; j < columns;) {
            if (!empty(j)) {
                j++;
                continue;
            }
            int end = j;
            while (end + 1 < columns && empty(end + 1))
                end++;
            // The lines beside the run, above and below it.
            LevelSet levels;
            if (j > 0 && row[j - 1] != tolvane::EMPTY)
                levels.add(row[j - 1]);
            if (end + 1 < columns && row[end + 1] != tolvane::EMPTY)
                levels.add(row[end + 1]);
            levels.edge = (j > 0 && !in(base + j - 1)) || (end + 1 < columns && !in(base + end + 1));
            for (const int d : {-1, 1}) {
                if (i + d < 0 || i + d >= rows)
                    continue;
                const std::size_t beside = base + d * static_cast<std::ptrdiff_t>(columns);
                for (int x = j; x <= end; x++) {
                    if (cells[beside + x] != tolvane::EMPTY)
                        levels.add(cells[beside + x]);
                    levels.edge = levels.edge || !in(beside + x);
                }
            }
            const std::uint32_t id = static_cast<std::uint32_t>(a.runs.size());
            a.runs.push_back({i, j, end});
            a.parent.push_back(id);
            a.levels.push_back(levels);
            // The runs of the row above that share a column with this one.
            while (previous < first_here && a.runs[previous].last < j)
                previous++;
            for (std::size_t r = previous; r < first_here && a.runs[r].first <= end; r++)
                a.join(static_cast<std::uint32_t>(r), id);
            j = end + 1;
        }
        previous = first_here;
    }
    a.row_runs.push_back(a.runs.size());
    return a;
}

} // namespace tolvane::geo
