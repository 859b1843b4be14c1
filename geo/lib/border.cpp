// The edge of the mapped area traced through the lines' ends, and the
// footprint it closes on a burned window.
#include "border.h"

#include "areas.h"

#include "failure.h"
#include "gdal_handles.h"
#include "lines.h"
#include "radix.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <unordered_map>
#include <utility>

namespace tolvane::geo {

namespace {

// Every cell (i, j), in units of one cell, that the segment from (x0, y0) to
// (x1, y1) passes through or touches, x along j and y along i; through a
// corner both cells beside it too, so that no 4-connected path slips past.
template <typename Put> void cells_along(double x0, double y0, double x1, double y1, Put &&put)
{
    long long j = static_cast<long long>(std::floor(x0)), i = static_cast<long long>(std::floor(y0));
    const long long j1 = static_cast<long long>(std::floor(x1)), i1 = static_cast<long long>(std::floor(y1));
    const double dx = x1 - x0, dy = y1 - y0;
    const int sj = dx > 0 ? 1 : -1, si = dy > 0 ? 1 : -1;
    const double inf = std::numeric_limits<double>::infinity();
    const double tdx = dx != 0 ? std::abs(1 / dx) : inf, tdy = dy != 0 ? std::abs(1 / dy) : inf;
    double tx = dx != 0 ? ((dx > 0 ? std::floor(x0) + 1 - x0 : x0 - std::floor(x0)) * tdx) : inf;
    double ty = dy != 0 ? ((dy > 0 ? std::floor(y0) + 1 - y0 : y0 - std::floor(y0)) * tdy) : inf;
    put(i, j);
    const long long steps = std::llabs(j1 - j) + std::llabs(i1 - i);
    for (long long s = 0; s < steps; s++) {
        if (std::abs(tx - ty) < 1e-12) {
            put(i, j + sj);
            put(i + si, j);
            j += sj;
            i += si;
            tx += tdx;
            ty += tdy;
            s++;
        } else if (tx < ty) {
            j += sj;
            tx += tdx;
        } else {
            i += si;
            ty += tdy;
        }
        put(i, j);
    }
}

struct Segment {
    MapPoint p, q;
};

double orient(const MapPoint &u, const MapPoint &v, const MapPoint &w)
{
    return (v.x - u.x) * (w.y - u.y) - (v.y - u.y) * (w.x - u.x);
}

double to_segment(const MapPoint &x, const MapPoint &s0, const MapPoint &s1)
{
    const double vx = s1.x - s0.x, vy = s1.y - s0.y;
    const double vv = vx * vx + vy * vy;
    const double t = vv > 0 ? std::clamp(((x.x - s0.x) * vx + (x.y - s0.y) * vy) / vv, 0.0, 1.0) : 0.0;
    return std::hypot(s0.x + t * vx - x.x, s0.y + t * vy - x.y);
}

// Whether the segments cross or come within `touch` of each other.
bool meet(const MapPoint &a, const MapPoint &b, const Segment &s, double touch)
{
    const double d1 = orient(a, b, s.p), d2 = orient(a, b, s.q), d3 = orient(s.p, s.q, a), d4 = orient(s.p, s.q, b);
    if (((d1 < 0 && d2 > 0) || (d1 > 0 && d2 < 0)) && ((d3 < 0 && d4 > 0) || (d3 > 0 && d4 < 0)))
        return true;
    return std::min({to_segment(s.p, a, b), to_segment(s.q, a, b), to_segment(a, s.p, s.q), to_segment(b, s.p, s.q)}) <=
           touch;
}

// The segments of the lines and the joins kept, by square bucket of the plane.
// The millions of the lines' segments, added before the first search, are
// gathered by bucket once (sorted, not hashed one by one); the few added after
// it (the joins) go into a map.
class SegmentIndex {
public:
    explicit SegmentIndex(double side) : side_(side) {}

    // `line`: the part of the lines the segment belongs to (-1: a join).
    void add(const Segment &s, long long line = -1)
    {
        const std::size_t k = segments_.size();
        segments_.push_back(s);
        lines_.push_back(line);
        seen_.push_back(0);
        each_bucket(s.p, s.q, 0, [&](std::uint64_t key) {
            if (searched_)
                later_[key].push_back(k);
            else
                pending_.emplace_back(key, k);
        });
    }

    // Whether a segment met from a to b, shrunk by `shrink` at both ends (it
    // starts and stops on lines), meets one of them, but for the segments of
    // the lines `own` (-1: none).
    bool blocks(const MapPoint &a, const MapPoint &b, double shrink, double touch, const long long (&own)[2])
    {
        const double length = std::hypot(b.x - a.x, b.y - a.y);
        if (length <= 2 * shrink)
            return false;
        const double ux = (b.x - a.x) / length, uy = (b.y - a.y) / length;
        const MapPoint a2{a.x + ux * shrink, a.y + uy * shrink}, b2{b.x - ux * shrink, b.y - uy * shrink};
        gather();
        stamp_++;
        bool hit = false;
        const auto try_segment = [&](std::size_t k) {
            if (hit || seen_[k] == stamp_)
                return;
            seen_[k] = stamp_;
            if (lines_[k] >= 0 && (lines_[k] == own[0] || lines_[k] == own[1]))
                return;
            hit = meet(a2, b2, segments_[k], touch);
        };
        each_bucket(a2, b2, 1, [&](std::uint64_t key) {
            const auto at = std::lower_bound(keys_sorted_.begin(), keys_sorted_.end(), key);
            if (at != keys_sorted_.end() && *at == key) {
                const auto b = static_cast<std::size_t>(at - keys_sorted_.begin());
                for (std::size_t e = starts_[b]; e < starts_[b + 1]; e++)
                    try_segment(in_bucket_[e]);
            }
            if (const auto found = later_.find(key); found != later_.end())
                for (std::size_t k : found->second)
                    try_segment(k);
        });
        return hit;
    }

private:
    // The segments added so far, by bucket: the buckets' keys in order, where
    // each bucket's segments start, and the segments.
    void gather()
    {
        if (searched_)
            return;
        searched_ = true;
        sort_by_key(pending_);
        in_bucket_.reserve(pending_.size());
        for (std::size_t e = 0; e < pending_.size(); e++) {
            if (e == 0 || pending_[e].first != pending_[e - 1].first) {
                keys_sorted_.push_back(pending_[e].first);
                starts_.push_back(e);
            }
            in_bucket_.push_back(pending_[e].second);
        }
        starts_.push_back(pending_.size());
        pending_ = {};
    }

    // The buckets along the segment, each once, and with `around` 1 their
    // neighbours too. A segment is kept in the buckets along it and looked
    // for in those around the one met: one within `touch` of a bucket's edge
    // is found all the same, and the many segments of the lines each go into
    // a bucket or two, where the few segments met look in nine times as many.
    template <typename F> void each_bucket(const MapPoint &p, const MapPoint &q, int around, F &&f)
    {
        keys_.clear();
        cells_along(p.x / side_, p.y / side_, q.x / side_, q.y / side_, [&](long long y, long long x) {
            for (long long dx = -around; dx <= around; dx++)
                for (long long dy = -around; dy <= around; dy++)
                    keys_.push_back(static_cast<std::uint64_t>(x + dx) * 0x9E3779B97F4A7C15ull ^
                                    static_cast<std::uint64_t>(y + dy));
        });
        std::sort(keys_.begin(), keys_.end());
        keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
        for (const std::uint64_t key : keys_)
            f(key);
    }

    double side_;
    std::vector<Segment> segments_;
    std::vector<long long> lines_;
    std::vector<unsigned> seen_;
    unsigned stamp_ = 0;
    std::vector<std::uint64_t> keys_; // each_bucket's, kept from one segment to the next
    bool searched_ = false;
    std::vector<std::pair<std::uint64_t, std::size_t>> pending_; // (bucket, segment) until the first search
    std::vector<std::uint64_t> keys_sorted_;
    std::vector<std::size_t> starts_, in_bucket_;
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> later_;
};

// The `count` ends of `pool` nearest to `from` (not itself), nearest first.
std::vector<std::size_t> nearest(const std::vector<MapPoint> &ends, const std::vector<std::size_t> &pool,
                                 std::size_t from, std::size_t count)
{
    std::vector<std::pair<double, std::size_t>> by_distance;
    for (std::size_t k : pool)
        if (k != from)
            by_distance.emplace_back(std::hypot(ends[k].x - ends[from].x, ends[k].y - ends[from].y), k);
    const std::size_t n = std::min(count, by_distance.size());
    std::partial_sort(by_distance.begin(), by_distance.begin() + static_cast<std::ptrdiff_t>(n), by_distance.end());
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < n; k++)
        out.push_back(by_distance[k].second);
    return out;
}

// The ends sorted along x, so that each end's neighbours are searched among
// those within a growing window of x.
class EndFinder {
public:
    explicit EndFinder(const std::vector<MapPoint> &ends) : ends_(ends)
    {
        for (std::size_t k = 0; k < ends.size(); k++)
            order_.push_back(k);
        std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) { return ends[a].x < ends[b].x; });
    }

    // The `count` ends nearest to `from`.
    std::vector<std::size_t> nearest_to(std::size_t from, std::size_t count) const
    {
        std::vector<std::pair<double, std::size_t>> best;
        const MapPoint &p = ends_[from];
        const auto at = std::lower_bound(order_.begin(), order_.end(), p.x,
                                         [&](std::size_t k, double x) { return ends_[k].x < x; });
        // Walk out both ways along x while an end could still be nearer.
        auto left = at, right = at;
        const auto bound = [&] { return best.size() < count ? std::numeric_limits<double>::infinity() : best.back().first; };
        const auto take = [&](std::size_t k) {
            if (k == from)
                return;
            const double d = std::hypot(ends_[k].x - p.x, ends_[k].y - p.y);
            if (best.size() < count || d < best.back().first) {
                best.insert(std::upper_bound(best.begin(), best.end(), std::make_pair(d, k)), {d, k});
                if (best.size() > count)
                    best.pop_back();
            }
        };
        while (left != order_.begin() || right != order_.end()) {
            const double dl = left != order_.begin() ? p.x - ends_[*(left - 1)].x : std::numeric_limits<double>::infinity();
            const double dr = right != order_.end() ? ends_[*right].x - p.x : std::numeric_limits<double>::infinity();
            if (std::min(dl, dr) > bound())
                break;
            if (dl <= dr)
                take(*--left);
            else
                take(*right++);
        }
        std::vector<std::size_t> out;
        for (const auto &b : best)
            out.push_back(b.second);
        return out;
    }

private:
    const std::vector<MapPoint> &ends_;
    std::vector<std::size_t> order_;
};

// How many of its nearest ends each end is tried with at first.
constexpr std::size_t NEIGHBOURS = 8;
// The ends still short of two joins are tried with this many of the others.
constexpr std::size_t SHORT_NEIGHBOURS = 16;
// The least sum of the cosines between the two ends' ways out and the join
// for a repaired gap to be a line running on (each end within 40 degrees).
constexpr double HEADING_ON = 1.5;

// The lines' ends as read: each with the way its line runs out there (unit),
// and the segments of the repair's joins (the features from `features` on).
struct LineEnds {
    std::vector<MapPoint> found, heading;
    std::vector<long long> line; // of each end found: its part of the lines
    std::vector<Segment> repairs;
    MapPoint low{std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()},
        high{-std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}; // the lines' box
};

// The ends where the lines stop, each with its part of the lines.
struct StoppingEnds {
    std::vector<MapPoint> at;
    std::vector<long long> line;
};

// Every line's segments go into `index`; the ends of the lines that do not
// close on themselves into the result.
LineEnds read_line_ends(OGRLayerH layer, double pixel, long long features, SegmentIndex &index)
{
    LineEnds e;
    OGR_L_ResetReading(layer);
    std::vector<MapPoint> points;
    long long line = 0;
    for (long long read = 0;; read++) {
        const Feature f(OGR_L_GetNextFeature(layer));
        if (!f)
            break;
        OGRGeometryH g = OGR_F_GetGeometryRef(f.get());
        for_each_part(g, [&](OGRGeometryH part) {
            const int n = OGR_G_GetPointCount(part);
            if (n < 2)
                return;
            points.clear();
            for (int k = 0; k < n; k++)
                points.push_back({OGR_G_GetX(part, k), OGR_G_GetY(part, k)});
            if (read >= features) {
                e.repairs.push_back({points.front(), points.back()});
                return;
            }
            line++;
            for (int k = 1; k < n; k++)
                index.add({points[k - 1], points[k]}, line);
            for (const MapPoint &p : points) {
                e.low = {std::min(e.low.x, p.x), std::min(e.low.y, p.y)};
                e.high = {std::max(e.high.x, p.x), std::max(e.high.y, p.y)};
            }
            if (points.front().x == points.back().x && points.front().y == points.back().y)
                return;
            for (int side = 0; side < 2; side++) {
                e.found.push_back(points.back());
                e.line.push_back(line);
                e.heading.push_back(way_out(points, pixel));
                std::reverse(points.begin(), points.end());
            }
        });
    }
    return e;
}

// The ends where the lines stop: not those where the line runs on.
// Ends within a hundredth of a pixel of another are where pieces of one line
// meet: the line runs on there. So it does across a gap the repair joined
// where both ends head on across it: a line cut short, whose join is then a
// part of it (added to `index`, and to `running_on` by its place among the
// repairs), but for the repairs marked in `on_edge`. Two ends of a level side
// by side along the data's edge, which the repair joins too, head into the
// edge and stay on it; the edge runs along their join.
StoppingEnds stopping_ends(LineEnds &e, double pixel, SegmentIndex &index, const std::vector<bool> &on_edge,
                           std::vector<std::size_t> &running_on)
{
    const double touch = 0.01 * pixel;
    std::vector<MapPoint> &found = e.found;
    const EndFinder finder(found);
    std::vector<bool> runs_on(found.size(), false);
    for (std::size_t k = 0; k < found.size(); k++) {
        const std::vector<std::size_t> next = finder.nearest_to(k, 1);
        if (!next.empty() && std::hypot(found[next[0]].x - found[k].x, found[next[0]].y - found[k].y) <= touch)
            runs_on[k] = true;
    }
    const auto end_at = [&](const MapPoint &p) -> std::ptrdiff_t {
        found.push_back(p);
        const std::vector<std::size_t> next = finder.nearest_to(found.size() - 1, 1);
        found.pop_back();
        if (next.empty() || std::hypot(found[next[0]].x - p.x, found[next[0]].y - p.y) > touch)
            return -1;
        return static_cast<std::ptrdiff_t>(next[0]);
    };
    for (std::size_t k = 0; k < e.repairs.size(); k++) {
        const Segment &r = e.repairs[k];
        if (!on_edge.empty() && on_edge[k])
            continue;
        const std::ptrdiff_t a = end_at(r.p), b = end_at(r.q);
        const double length = std::hypot(r.q.x - r.p.x, r.q.y - r.p.y);
        if (a < 0 || b < 0 || length == 0)
            continue;
        const double ux = (r.q.x - r.p.x) / length, uy = (r.q.y - r.p.y) / length;
        const double ca = e.heading[a].x * ux + e.heading[a].y * uy,
                     cb = -(e.heading[b].x * ux + e.heading[b].y * uy);
        if (ca + cb >= HEADING_ON) {
            runs_on[a] = runs_on[b] = true;
            index.add(r); // part of the line, which no join may cross
            running_on.push_back(k);
        }
    }
    StoppingEnds ends;
    for (std::size_t k = 0; k < found.size(); k++)
        if (!runs_on[k]) {
            ends.at.push_back(found[k]);
            ends.line.push_back(e.line[k]);
        }
    return ends;
}

// The joins among the ends, taken shortest first: each end takes at most two,
// and a join that crosses a line or a kept join is left out. The joins make
// chains along the edge; one that would close a chain on itself is left out
// unless `closing`: the edge's chain closes only once around the whole area,
// and a short join across three ends near each other (a bend of the clip, an
// end just off the row) would close a chain of a few and take the place of
// the join to the next end along the edge.
class Joiner {
public:
    Joiner(const StoppingEnds &ends, double pixel, SegmentIndex &index)
        : ends_(ends.at), lines_(ends.line), degree_(ends_.size(), 0), chain_(ends_.size()), shrink_(0.001 * pixel),
          tolerance_(1e-6 * pixel), index_(index)
    {
        for (std::size_t k = 0; k < ends_.size(); k++)
            chain_[k] = k;
    }

    // `across_own`: a join may cross the lines of its own two ends.
    void join(std::vector<std::pair<std::size_t, std::size_t>> pairs, bool closing, bool across_own)
    {
        for (auto &c : pairs)
            if (c.first > c.second)
                std::swap(c.first, c.second);
        std::sort(pairs.begin(), pairs.end());
        pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
        std::stable_sort(pairs.begin(), pairs.end(),
                         [&](const auto &x, const auto &y) { return length(x) < length(y); });
        for (const auto &[a, b] : pairs) {
            const long long own[2] = {across_own ? lines_[a] : -1, across_own ? lines_[b] : -1};
            if (degree_[a] >= 2 || degree_[b] >= 2 || (!closing && chain_of(a) == chain_of(b)) ||
                index_.blocks(ends_[a], ends_[b], shrink_, tolerance_, own))
                continue;
            chain_[chain_of(a)] = chain_of(b);
            joins_.push_back({ends_[a], ends_[b]});
            index_.add({ends_[a], ends_[b]});
            degree_[a]++;
            degree_[b]++;
        }
    }

    // The ends that have fewer than two joins.
    std::vector<std::size_t> short_of_two() const
    {
        std::vector<std::size_t> out;
        for (std::size_t k = 0; k < ends_.size(); k++)
            if (degree_[k] < 2)
                out.push_back(k);
        return out;
    }

    std::vector<BorderJoin> joins() && { return std::move(joins_); }

private:
    double length(const std::pair<std::size_t, std::size_t> &c) const
    {
        return std::hypot(ends_[c.first].x - ends_[c.second].x, ends_[c.first].y - ends_[c.second].y);
    }

    std::size_t chain_of(std::size_t k)
    {
        while (chain_[k] != k)
            k = chain_[k] = chain_[chain_[k]];
        return k;
    }

    const std::vector<MapPoint> &ends_;
    const std::vector<long long> &lines_;
    std::vector<int> degree_;
    std::vector<std::size_t> chain_; // the first end of each end's chain, by halving
    const double shrink_, tolerance_;
    SegmentIndex &index_;
    std::vector<BorderJoin> joins_;
};

} // namespace

namespace {

// The edge traced through the ends where the lines stop (the repairs marked in
// `on_edge` left to stop there too); `read` and `running_on` as
// stopping_ends gives them, `index` holding the lines, the repairs that run on
// and the joins.
std::vector<BorderJoin> trace(OGRLayerH layer, double pixel, long long features, const std::vector<bool> &on_edge,
                              SegmentIndex &index, LineEnds &read, std::vector<std::size_t> &running_on)
{
    read = read_line_ends(layer, pixel, features, index);
    const StoppingEnds ends = stopping_ends(read, pixel, index, on_edge, running_on);
    if (ends.at.empty())
        return {};
    Joiner joiner(ends, pixel, index);
    {
        const EndFinder finder(ends.at);
        std::vector<std::pair<std::size_t, std::size_t>> pairs;
        for (std::size_t a = 0; a < ends.at.size(); a++)
            for (std::size_t b : finder.nearest_to(a, NEIGHBOURS))
                pairs.emplace_back(a, b);
        joiner.join(std::move(pairs), false, false);
    }
    // An end whose neighbours along the edge lie beyond its nearest ends (these
    // joined among themselves) is joined to the nearest end still short of two.
    // Where a line runs along the edge close to it, bulging past the straight
    // join between its end and the next, the join crosses its own line and
    // cuts off the bulge's few cells: left open, the chain would let the flood
    // in between the line and the edge. Last, the chains are closed on
    // themselves where that is left.
    struct Round {
        bool closing, across_own;
    };
    const Round rounds[] = {{false, false}, {false, true}, {true, false}, {true, true}};
    for (const Round &r : rounds) {
        const std::vector<std::size_t> short_of_two = joiner.short_of_two();
        std::vector<std::pair<std::size_t, std::size_t>> pairs;
        for (std::size_t a : short_of_two)
            for (std::size_t b : nearest(ends.at, short_of_two, a, SHORT_NEIGHBOURS))
                pairs.emplace_back(a, b);
        joiner.join(std::move(pairs), r.closing, r.across_own);
    }
    return std::move(joiner).joins();
}

// Whether nothing lies on one side of the segment: a straight path from its
// middle, square to it, meets no line and no join on its way out of the
// lines' box (`low`, `high`).
bool open_on_one_side(const Segment &r, SegmentIndex &index, const MapPoint &low, const MapPoint &high, double pixel)
{
    const double length = std::hypot(r.q.x - r.p.x, r.q.y - r.p.y);
    const double reach = std::hypot(high.x - low.x, high.y - low.y) + 2 * pixel;
    const MapPoint m{(r.p.x + r.q.x) / 2, (r.p.y + r.q.y) / 2};
    const MapPoint n{-(r.q.y - r.p.y) / length, (r.q.x - r.p.x) / length};
    const long long none[2] = {-1, -1};
    for (const double side : {1.0, -1.0})
        if (!index.blocks(m, {m.x + side * reach * n.x, m.y + side * reach * n.y}, 0.001 * pixel, 1e-6 * pixel, none))
            return true;
    return false;
}

} // namespace

// A line that leaves the data and comes back a little further along the edge
// (a coast running out of a clip and in again) has two ends that head on
// across the chord between them, as across a gap, and the repair joins them.
// The chord lies on the edge, though: nothing lies beyond it, where across a
// gap in the lines' midst there are the lines on either side. Such chords'
// ends stop on the edge, and the edge is traced again with them; left as a
// line running on, the chord would keep the edge's joins from the ends beside
// it, and they would run the long way round, inside.
std::vector<BorderJoin> border_joins(OGRLayerH layer, double pixel, long long features)
{
    std::vector<bool> on_edge;
    {
        SegmentIndex index(4 * pixel);
        LineEnds read;
        std::vector<std::size_t> running_on;
        std::vector<BorderJoin> joins = trace(layer, pixel, features, on_edge, index, read, running_on);
        on_edge.assign(read.repairs.size(), false);
        bool any = false;
        for (std::size_t k : running_on)
            if (open_on_one_side(read.repairs[k], index, read.low, read.high, pixel))
                any = on_edge[k] = true;
        if (!any)
            return joins;
    }
    SegmentIndex index(4 * pixel);
    LineEnds read;
    std::vector<std::size_t> running_on;
    return trace(layer, pixel, features, on_edge, index, read, running_on);
}

namespace {

// Liang and Barsky's clipping: the part of the segment from (x0, y0) to
// (x1, y1) within the rectangle, as the span [t0, t1] along it; false when
// the segment misses the rectangle.
bool clip(double x0, double y0, double x1, double y1, double left, double top, double right, double bottom,
          double &t0, double &t1)
{
    t0 = 0;
    t1 = 1;
    const double dx = x1 - x0, dy = y1 - y0;
    const double p[4] = {-dx, dx, -dy, dy}, q[4] = {x0 - left, right - x0, y0 - top, bottom - y0};
    for (int k = 0; k < 4; k++) {
        if (p[k] == 0) {
            if (q[k] < 0)
                return false;
            continue;
        }
        const double t = q[k] / p[k];
        if (p[k] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    return true;
}

// Every cell of the window a segment from (x0, y0) to (x1, y1) (in cells of
// the window, fractional) passes through or touches, marked in `mark`; the
// nearest cell on the window's edge for those past it. A join on the window's
// edge or past it (between lines that run off the grid) closes the edge's
// cells: else the flood would start between them. Only the part within a
// cell of the window is walked, the rest along that margin.
void mark_cells(double x0, double y0, double x1, double y1, int rows, int columns, std::vector<std::uint8_t> &mark)
{
    const auto put = [&](long long i, long long j) {
        i = std::clamp<long long>(i, 0, rows - 1);
        j = std::clamp<long long>(j, 0, columns - 1);
        mark[static_cast<std::size_t>(i) * columns + static_cast<std::size_t>(j)] = 1;
    };
    const double left = -1, top = -1, right = columns + 1.0, bottom = rows + 1.0;
    const auto clamped = [&](double x, double y) {
        return std::make_pair(std::clamp(x, left, right), std::clamp(y, top, bottom));
    };
    const auto walk = [&](std::pair<double, double> a, std::pair<double, double> b) {
        cells_along(a.first, a.second, b.first, b.second, put);
    };
    double t0, t1;
    if (!clip(x0, y0, x1, y1, left, top, right, bottom, t0, t1)) {
        walk(clamped(x0, y0), clamped(x1, y1));
        return;
    }
    const double dx = x1 - x0, dy = y1 - y0;
    const auto at = [&](double t) { return clamped(x0 + t * dx, y0 + t * dy); };
    walk(clamped(x0, y0), at(t0));
    walk(at(t0), at(t1));
    walk(at(t1), clamped(x1, y1));
}

// The voids of inside_border, marked reached: each area of cells not
// reached, free of lines and joins (4-connected; none touches the window's
// edge, where the flood starts), that has at least as many cells of joins
// beside it as of lines (a band that meets the edge of the data between its
// two lines has mostly lines beside it), where the levels of the lines beside
// it join bands (LevelCounts). Lines stop on a void with their ends, a few cells each:
// every level beside it counts. Whether there was one.
bool reach_leaking_voids(const std::vector<std::int32_t> &cells, int rows, int columns,
                         const std::vector<std::uint8_t> &join, long long interval, std::vector<std::uint8_t> &reached)
{
    bool any = false;
    LevelCounts levels;
    std::vector<std::size_t> voids;
    each_area(
        rows, columns, [&](std::size_t k) { return !reached[k] && !join[k] && cells[k] == tolvane::EMPTY; },
        [&](const std::vector<std::size_t> &area, const std::vector<std::size_t> &beside) {
            std::size_t lines = 0;
            levels.clear();
            for (const std::size_t m : beside)
                if (cells[m] != tolvane::EMPTY) {
                    levels.add(cells[m]);
                    lines++;
                }
            const std::size_t joins = beside.size() - lines; // the rest beside are joins' cells
            if (joins > 0 && joins >= lines && levels.bands_join(interval, 1)) {
                voids.insert(voids.end(), area.begin(), area.end());
                any = true;
            }
        });
    for (const std::size_t k : voids)
        reached[k] = 1;
    return any;
}

// A join in units of one cell of the window, x along its columns and y along
// its rows.
struct CellSegment {
    double x0, y0, x1, y1;
};

std::vector<CellSegment> in_cells(const std::vector<BorderJoin> &joins, const CellGrid &g)
{
    const auto fx = [&](const MapPoint &p) { return (p.x - g.origin_x) / g.xres - g.column; };
    const auto fy = [&](const MapPoint &p) { return (g.origin_y - p.y) / g.yres - g.row; };
    std::vector<CellSegment> out;
    out.reserve(joins.size());
    for (const BorderJoin &b : joins)
        out.push_back({fx(b.a), fy(b.a), fx(b.b), fy(b.b)});
    return out;
}

// The cells inside, given those the flood `reached` from the window's edge
// and the cells the joins touch (`join`).
std::vector<std::uint8_t> inside_of(const std::vector<std::int32_t> &cells, int rows, int columns,
                                    const std::vector<CellSegment> &joins, const std::vector<std::uint8_t> &join,
                                    const std::vector<std::uint8_t> &reached)
{
    const std::size_t n = static_cast<std::size_t>(rows) * columns;
    std::vector<std::uint8_t> inside(n, 0);
    for (std::size_t k = 0; k < n; k++)
        inside[k] = !reached[k] && !(join[k] && cells[k] == tolvane::EMPTY);
    // A join across a cell, straight where the edge it stands for bends,
    // leaves the cell's centre on one side: the cell is inside when the centre
    // is on the side of every join across it where the cell beyond lies
    // inside. A join along the cell's side or through its corner only touches
    // it, and the cell stays on the edge.
    std::unordered_map<std::size_t, bool> crossed; // join-only cell: inside by every join so far
    for (const CellSegment &s : joins) {
        const double x0 = s.x0, y0 = s.y0, x1 = s.x1, y1 = s.y1;
        const double length = std::hypot(x1 - x0, y1 - y0);
        if (length == 0)
            continue;
        const double nx = -(y1 - y0) / length, ny = (x1 - x0) / length;
        const double half = 0.5 * (std::abs(nx) + std::abs(ny)), longest = std::max(std::abs(nx), std::abs(ny));
        const auto judge = [&](long long i, long long j) {
            if (i < 0 || j < 0 || i >= rows || j >= columns)
                return;
            const std::size_t k = static_cast<std::size_t>(i) * columns + static_cast<std::size_t>(j);
            if (!join[k] || cells[k] != tolvane::EMPTY)
                return;
            const double cx = j + 0.5, cy = i + 0.5;
            const double along = ((cx - x0) * (x1 - x0) + (cy - y0) * (y1 - y0)) / (length * length);
            const double side = (cx - x0) * nx + (cy - y0) * ny;
            if (along < 0 || along > 1 || std::abs(side) >= half)
                return;
            const double sign = side > 0 ? 1 : -1;
            const long long bi = static_cast<long long>(std::floor(cy + sign * ny / longest)),
                            bj = static_cast<long long>(std::floor(cx + sign * nx / longest));
            bool in = side != 0 && bi >= 0 && bj >= 0 && bi < rows && bj < columns;
            if (in) {
                const std::size_t beyond = static_cast<std::size_t>(bi) * columns + static_cast<std::size_t>(bj);
                in = !reached[beyond] && !(join[beyond] && cells[beyond] == tolvane::EMPTY);
            }
            const auto found = crossed.find(k);
            if (found == crossed.end())
                crossed.emplace(k, in);
            else
                found->second = found->second && in;
        };
        // Only the part over the window: past it the join closes the edge's cells.
        double t0, t1;
        if (clip(x0, y0, x1, y1, 0, 0, columns, rows, t0, t1))
            cells_along(x0 + t0 * (x1 - x0), y0 + t0 * (y1 - y0), x0 + t1 * (x1 - x0), y0 + t1 * (y1 - y0), judge);
    }
    for (const auto &[k, in] : crossed)
        if (in)
            inside[k] = 1;
    return inside;
}

} // namespace

std::vector<std::uint8_t> inside_border(const std::vector<std::int32_t> &cells, const CellGrid &g,
                                        const std::vector<BorderJoin> &joins, const VoidRule *voids,
                                        std::vector<std::uint8_t> *in_voids)
{
    std::vector<std::uint8_t> inside;
    if (joins.empty())
        return inside;
    const int rows = g.rows, columns = g.columns;
    const std::size_t n = static_cast<std::size_t>(rows) * columns;
    const std::vector<CellSegment> segments = in_cells(joins, g);
    std::vector<std::uint8_t> join(n, 0);
    for (const auto &[x0, y0, x1, y1] : segments)
        mark_cells(x0, y0, x1, y1, rows, columns, join);
    // 0: not reached, 1: reached from the window's edge.
    std::vector<std::uint8_t> reached(n, 0);
    std::deque<std::size_t> queue;
    const auto open = [&](std::size_t k) { return !reached[k] && !join[k] && cells[k] == tolvane::EMPTY; };
    const auto seed = [&](std::size_t k) {
        if (open(k)) {
            reached[k] = 1;
            queue.push_back(k);
        }
    };
    for (int i = 0; i < rows; i++) {
        seed(static_cast<std::size_t>(i) * columns);
        seed(static_cast<std::size_t>(i) * columns + columns - 1);
    }
    for (int j = 0; j < columns; j++) {
        seed(static_cast<std::size_t>(j));
        seed(static_cast<std::size_t>(rows - 1) * columns + j);
    }
    while (!queue.empty()) {
        const std::size_t k = queue.front();
        queue.pop_front();
        const std::size_t i = k / columns, j = k % columns;
        if (i > 0)
            seed(k - columns);
        if (i + 1 < static_cast<std::size_t>(rows))
            seed(k + columns);
        if (j > 0)
            seed(k - 1);
        if (j + 1 < static_cast<std::size_t>(columns))
            seed(k + 1);
    }
    inside = inside_of(cells, rows, columns, segments, join, reached);
    if (voids && in_voids && reach_leaking_voids(cells, rows, columns, join, voids->interval, reached)) {
        *in_voids = inside_of(cells, rows, columns, segments, join, reached);
        for (std::size_t k = 0; k < n; k++)
            (*in_voids)[k] = inside[k] && !(*in_voids)[k];
    }
    return inside;
}

} // namespace tolvane::geo
