// The points a grid of the surface's cascade sees: every stride-th of the sets
// taken one after the other, and wherever they are, those that stand alone.
// The walk reads only the points it yields, so a coarse grid, which sees a
// few of the points, reads a few of their cache lines.
#ifndef TOLVANE_GEO_STRIDED_H
#define TOLVANE_GEO_STRIDED_H

#include <cstddef>
#include <vector>

namespace tolvane::geo {

// The indices of the points that stand alone (alone(point) true), in order.
template <typename Point, typename Alone>
std::vector<std::size_t> standing_alone(const std::vector<Point> &points, Alone alone)
{
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < points.size(); i++)
        if (alone(points[i]))
            out.push_back(i);
    return out;
}

// f(i) in order for each i in [0, size) where base + i is a multiple of
// `stride` (a power of two) or that is in `alone` (ascending), once each.
template <typename F>
void each_strided(std::size_t size, std::size_t base, std::size_t stride, const std::vector<std::size_t> &alone, F f)
{
    const std::size_t every = stride - 1;
    std::size_t m = (stride - (base & every)) & every, a = 0;
    while (m < size || a < alone.size()) {
        std::size_t i = m;
        if (a < alone.size() && (m >= size || alone[a] <= m))
            i = alone[a++];
        if (i == m)
            m += stride;
        f(i);
    }
}

} // namespace tolvane::geo

#endif
