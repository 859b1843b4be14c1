// Streams: read once, their pixels lowered along each. See streams.h.
#include "streams.h"

#include "failure.h"
#include "gdal_handles.h"
#include "other_layers.h"
#include "lines.h"
#include "paths.h"
#include "srs.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include <cpl_vsi.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

namespace {

// Whether pixels a and b of a grid `columns` wide are neighbours (of the eight).
bool touch(std::int64_t a, std::int64_t b, int columns)
{
    const std::int64_t ra = a / columns, ca = a % columns, rb = b / columns, cb = b % columns;
    return std::abs(ra - rb) <= 1 && std::abs(ca - cb) <= 1;
}

// The streams' ends and what they touch: end 2 i + e is stream i's first
// pixel (e = 0) or its last (e = 1).
class Ends {
public:
    Ends(const std::vector<std::vector<std::int64_t>> &paths, const std::vector<double> &cells, int rows, int columns)
        : paths_(paths), cells_(cells), rows_(rows), columns_(columns), touches_(2 * paths.size()), into_(paths.size())
    {
        // Every stream pixel with its streams, sorted for the look-ups.
        std::vector<std::pair<std::int64_t, std::int32_t>> at;
        for (std::size_t i = 0; i < paths.size(); i++)
            for (std::int64_t k : paths[i])
                at.emplace_back(k, static_cast<std::int32_t>(i));
        std::sort(at.begin(), at.end());
        for (std::size_t end = 0; end < touches_.size(); end++)
            touches_[end] = streams_beside(end, at);
        for (std::size_t end = 0; end < touches_.size(); end++)
            for (std::int32_t j : touches_[end])
                into_[static_cast<std::size_t>(j)].push_back(static_cast<std::int32_t>(end));
    }

    std::size_t streams() const { return paths_.size(); }
    // The other streams `end` lies on or beside.
    const std::vector<std::int32_t> &touches(std::size_t end) const { return touches_[end]; }
    // The ends that touch stream i.
    const std::vector<std::int32_t> &into(std::size_t i) const { return into_[i]; }
    double value(std::size_t end) const { return cells_[static_cast<std::size_t>(pixel(end))]; }

    // Whether water leaves the model at `end`: the area's edge, or a pixel
    // without value beside it.
    bool leaves(std::size_t end) const
    {
        const std::int64_t k = pixel(end);
        const int r = static_cast<int>(k / columns_), c = static_cast<int>(k % columns_);
        if (r == 0 || c == 0 || r == rows_ - 1 || c == columns_ - 1)
            return true;
        for (int dr = -1; dr <= 1; dr++)
            for (int dc = -1; dc <= 1; dc++)
                if (std::isnan(cells_[static_cast<std::size_t>(k + static_cast<std::int64_t>(dr) * columns_ + dc)]))
                    return true;
        return false;
    }

private:
    std::int64_t pixel(std::size_t end) const
    {
        const std::vector<std::int64_t> &p = paths_[end / 2];
        return end % 2 ? p.back() : p.front();
    }

    std::vector<std::int32_t> streams_beside(std::size_t end,
                                             const std::vector<std::pair<std::int64_t, std::int32_t>> &at) const
    {
        const std::int64_t k = pixel(end);
        const auto self = static_cast<std::int32_t>(end / 2);
        const int r = static_cast<int>(k / columns_), c = static_cast<int>(k % columns_);
        std::vector<std::int32_t> t;
        for (int dr = -1; dr <= 1; dr++)
            for (int dc = -1; dc <= 1; dc++) {
                if (r + dr < 0 || c + dc < 0 || r + dr >= rows_ || c + dc >= columns_)
                    continue;
                const std::int64_t m = k + static_cast<std::int64_t>(dr) * columns_ + dc;
                for (auto it = std::lower_bound(at.begin(), at.end(), std::make_pair(m, std::int32_t{-1}));
                     it != at.end() && it->first == m; ++it)
                    if (it->second != self)
                        t.push_back(it->second);
            }
        std::sort(t.begin(), t.end());
        t.erase(std::unique(t.begin(), t.end()), t.end());
        return t;
    }

    const std::vector<std::vector<std::int64_t>> &paths_;
    const std::vector<double> &cells_;
    int rows_, columns_;
    std::vector<std::vector<std::int32_t>> touches_, into_;
};

// The streams joined to stream `first` through the ends that touch, in
// order; each is marked in `in_network`.
std::vector<std::size_t> network_of(const Ends &e, std::size_t first, std::vector<std::uint8_t> &in_network)
{
    std::vector<std::size_t> network(1, first);
    in_network[first] = 1;
    const auto join = [&](std::int32_t j) {
        if (!in_network[static_cast<std::size_t>(j)]) {
            in_network[static_cast<std::size_t>(j)] = 1;
            network.push_back(static_cast<std::size_t>(j));
        }
    };
    for (std::size_t q = 0; q < network.size(); q++) {
        const std::size_t i = network[q];
        for (std::int32_t end : e.into(i))
            join(end / 2);
        for (std::size_t end : {2 * i, 2 * i + 1})
            for (std::int32_t j : e.touches(end))
                join(j);
    }
    std::sort(network.begin(), network.end());
    return network;
}

// A network's outlet: the lowest free end (one that touches no other stream),
// or the lowest free end where water leaves the model when that lies within
// `interval` above it; of equal ones the last pixel of the first stream (a
// stream alone on a flat runs as drawn). With no free end (a loop), the
// lowest end.
std::size_t outlet_of(const Ends &e, const std::vector<std::size_t> &network, double interval)
{
    std::size_t lowest = SIZE_MAX, leaving = SIZE_MAX;
    for (int pass = 0; pass < 2 && lowest == SIZE_MAX; pass++)
        for (std::size_t i : network)
            for (std::size_t end : {2 * i + 1, 2 * i}) {
                if (!pass && !e.touches(end).empty())
                    continue;
                if (lowest == SIZE_MAX || e.value(end) < e.value(lowest))
                    lowest = end;
                if (!pass && e.leaves(end) && (leaving == SIZE_MAX || e.value(end) < e.value(leaving)))
                    leaving = end;
            }
    return leaving != SIZE_MAX && e.value(leaving) <= e.value(lowest) + interval ? leaving : lowest;
}

// down[i] for the network that drains at `outlet`: 1 when stream i runs as
// drawn, 0 when reversed. Walked upstream from the outlet's stream through
// the ends that touch the streams turned, nearest the outlet first; then a
// stream only an end of one turned touches, and a stream the walk does not
// reach, by its own ends.
void turn_network(const Ends &e, const std::vector<std::size_t> &network, std::size_t outlet, std::vector<int> &down)
{
    const auto by_own_ends = [&](std::size_t i) { down[i] = e.value(2 * i) < e.value(2 * i + 1) ? 0 : 1; };
    down[outlet / 2] = static_cast<int>(outlet % 2);
    std::vector<std::size_t> queue(1, outlet / 2);
    for (std::size_t t = 0, scan = 0;;) {
        for (; t < queue.size(); t++)
            for (std::int32_t end : e.into(queue[t])) {
                const auto j = static_cast<std::size_t>(end / 2);
                if (down[j] < 0) {
                    down[j] = end % 2;
                    queue.push_back(j);
                }
            }
        std::size_t alone = SIZE_MAX;
        for (; scan < queue.size() && alone == SIZE_MAX; scan += alone == SIZE_MAX)
            for (std::size_t end : {2 * queue[scan], 2 * queue[scan] + 1})
                for (std::int32_t j : e.touches(end))
                    if (down[static_cast<std::size_t>(j)] < 0 && alone == SIZE_MAX)
                        alone = static_cast<std::size_t>(j);
        if (alone == SIZE_MAX)
            break;
        by_own_ends(alone);
        queue.push_back(alone);
    }
    for (std::size_t i : network)
        if (down[i] < 0)
            by_own_ends(i);
}

// Each stream turned to run downstream, in place. Streams that touch (an end
// of one on a pixel of another or beside it) form a network, which drains
// at one outlet (outlet_of): the lowest of its free ends in `cells`, or the
// lowest where water leaves the model when that lies within an interval
// above it: the surface may draw a valley floor a band off, or sink a pit's
// cone around a spot height, and a source there lie below the mouth; a river
// that ends in a lake inside the area, lower by more, keeps its mouth. From
// there the network is walked upstream: a stream whose end touches one
// already turned flows into it there. A stream that only an end of another
// touches (a river drawn as one line past its tributaries' mouths) and a
// stream alone run toward the lower of their own ends. The lower end of each
// stream alone is not enough: between two confluences a stream is a few
// pixels long, and a valley floor the lines leave a band too high can tilt it
// the wrong way, which turns the water of everything upstream off the network.
void orient(std::vector<std::vector<std::int64_t>> &paths, const std::vector<double> &cells, int rows, int columns,
            double interval)
{
    const Ends e(paths, cells, rows, columns);
    std::vector<int> down(e.streams(), -1);
    std::vector<std::uint8_t> in_network(e.streams(), 0);
    for (std::size_t first = 0; first < e.streams(); first++)
        if (!in_network[first]) {
            const std::vector<std::size_t> network = network_of(e, first, in_network);
            turn_network(e, network, outlet_of(e, network, interval), down);
        }
    for (std::size_t i = 0; i < paths.size(); i++)
        if (down[i] == 0)
            std::reverse(paths[i].begin(), paths[i].end());
}

} // namespace

struct Streams::Impl {
    Grid grid;
    // Each stream's vertices in map units of the grid's system.
    std::vector<std::vector<std::pair<double, double>>> lines;
};

Streams::Streams(const Request &q, const Grid &g) : impl_(std::make_unique<Impl>())
{
    impl_->grid = g;
    const std::string &path = q.streams.path;
    if (path.empty())
        return;
    const OtherLayer opened = open_layer(path, q, g, "the streams", "streams");
    OGRLayerH layer = opened.layer;
    check_shape(OGR_L_GetGeomType(layer), opened, Shape::lines);
    OGR_L_ResetReading(layer);
    while (OGRFeatureH next = OGR_L_GetNextFeature(layer)) {
        const Feature owned(next);
        OGRGeometryH geometry = OGR_F_GetGeometryRef(next);
        if (!geometry || OGR_G_IsEmpty(geometry))
            continue;
        check_shape(OGR_G_GetGeometryType(geometry), opened, Shape::lines);
        const Geometry copy = in_grid(geometry, opened);
        for_each_part(copy.get(), [&](OGRGeometryH part) {
            std::vector<std::pair<double, double>> line;
            for (int k = 0, n = OGR_G_GetPointCount(part); k < n; k++)
                line.emplace_back(OGR_G_GetX(part, k), OGR_G_GetY(part, k));
            if (line.size() > 1)
                impl_->lines.push_back(std::move(line));
        });
    }
}

Streams::~Streams() = default;

bool Streams::empty() const { return impl_->lines.empty(); }

std::vector<std::vector<std::int64_t>> Streams::downstream(const std::vector<double> &cells, int row, int column,
                                                           int rows, int columns, double interval) const
{
    const Grid &g = impl_->grid;
    // Each stream's pixels in order, a quarter of a pixel at a time along it.
    std::vector<std::vector<std::int64_t>> paths;
    std::vector<std::uint8_t> seen(cells.size(), 0);
    for (const auto &line : impl_->lines) {
        std::vector<std::int64_t> path;
        std::vector<double> near; // the nearest the line comes to each pixel's centre, in pixels
        for (std::size_t v = 1; v < line.size(); v++) {
            const double r0 = (g.origin_y - line[v - 1].second) / g.yres - row,
                         c0 = (line[v - 1].first - g.origin_x) / g.xres - column;
            const double r1 = (g.origin_y - line[v].second) / g.yres - row,
                         c1 = (line[v].first - g.origin_x) / g.xres - column;
            const int steps = std::max(1, static_cast<int>(std::ceil(4 * std::hypot(r1 - r0, c1 - c0))));
            for (int s = v == 1 ? 0 : 1; s <= steps; s++) {
                const double t = static_cast<double>(s) / steps;
                const double y = r0 + t * (r1 - r0), x = c0 + t * (c1 - c0);
                const int i = static_cast<int>(std::floor(y));
                const int j = static_cast<int>(std::floor(x));
                if (i < 0 || j < 0 || i >= rows || j >= columns)
                    continue;
                const std::int64_t k = static_cast<std::int64_t>(i) * columns + j;
                const double off = std::hypot(y - i - 0.5, x - j - 0.5);
                if (!path.empty() && path.back() == k)
                    near.back() = std::min(near.back(), off);
                // A pixel once: a stream that comes back to it would rise there.
                if (std::isnan(cells[static_cast<std::size_t>(k)]) || seen[static_cast<std::size_t>(k)])
                    continue;
                path.push_back(k);
                near.push_back(off);
                seen[static_cast<std::size_t>(k)] = 1;
            }
        }
        // A line across a pixel's corner touches a third pixel beside the two
        // it joins: off the stream, which steps from one to the other
        // diagonally, one pixel wide, every pixel draining to the next. A pixel
        // whose centre the line passes within half a pixel of stays.
        std::size_t kept = 0;
        for (std::size_t p = 0; p < path.size(); p++) {
            if (kept > 0 && p + 1 < path.size() && near[p] > 0.5 && touch(path[kept - 1], path[p + 1], columns)) {
                seen[static_cast<std::size_t>(path[p])] = 0;
                continue;
            }
            path[kept++] = path[p];
        }
        path.resize(kept);
        for (std::int64_t k : path)
            seen[static_cast<std::size_t>(k)] = 0;
        if (path.size() < 2)
            continue;
        paths.push_back(std::move(path));
    }
    orient(paths, cells, rows, columns, interval);
    return paths;
}

long long Streams::carve(std::vector<double> &cells, int row, int column, int rows, int columns,
                         const tolvane::Levels &levels) const
{
    if (empty() || !(levels.interval > 0) || rows < 1 || columns < 1)
        return 0;
    std::vector<std::vector<std::int64_t>> paths = downstream(cells, row, column, rows, columns, levels.interval);
    std::vector<std::uint8_t> on(cells.size(), 0);
    for (const auto &path : paths)
        for (std::int64_t k : path)
            on[static_cast<std::size_t>(k)] = 1;
    // The least fall from one pixel of a stream to the next, and below the
    // pixels beside it: a thousandth of the interval, which a Float32 model keeps.
    const double fall = levels.interval / 1000;
    const std::vector<double> before = cells;
    long long lowered = 0;
    for (const std::vector<std::int64_t> &path : paths) {
        double last = INFINITY;
        for (std::int64_t k : path) {
            const auto u = static_cast<std::size_t>(k);
            const double t = (before[u] - levels.lowest) / levels.interval, floor = std::floor(t);
            const double level = levels.lowest + levels.interval * floor;
            double v;
            if (t == floor) {
                // On a level: a line it crosses, which stays at it, or a flat the
                // core left between two lines of that level (a valley floor), down
                // which the stream falls by the least step, at most half an interval.
                v = last > level ? level : std::max(std::min(level, last) - fall, level - levels.interval / 2);
            } else {
                const int i = static_cast<int>(k / columns), j = static_cast<int>(k % columns);
                v = std::min(cells[u], last - fall);
                for (int di = -1; di <= 1; di++)
                    for (int dj = -1; dj <= 1; dj++) {
                        const int r = i + di, c = j + dj;
                        if (r < 0 || c < 0 || r >= rows || c >= columns)
                            continue;
                        const std::size_t m = static_cast<std::size_t>(r) * columns + c;
                        if (!on[m] && !std::isnan(before[m]))
                            v = std::min(v, before[m] - fall);
                    }
                v = std::max(v, level); // never below its band
            }
            if (v < cells[u]) {
                cells[u] = v;
                lowered++;
            }
            last = cells[u];
        }
    }
    return lowered;
}

} // namespace tolvane::geo
