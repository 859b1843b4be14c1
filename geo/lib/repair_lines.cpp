// Gaps in contour lines, closed on the vectors before they are burned.
//
// Every open line (first point not its last) has two ends, each with the direction
// in which the line runs out there, taken over the last pixel of its length. Two
// ends of the same level are joined by a straight segment when
//   - they are no farther apart than the largest gap,
//   - they head towards each other: the cosines of the angles between each end's
//     direction and the segment towards the other end add up to at least
//     CONVERGING and neither is below AWAY. Lines of one level never cross, so
//     two ends that converge belong to one line. Where a line stops inside a
//     tight bend, its direction over the last pixel runs along the bend and may
//     point a little away from the other end: both ends pointing at each other
//     (the cosines adding up to 1) left most gaps in bends open. Two separate
//     lines that stop side by side run the same way: their cosines are opposite
//     and add up to 0. Closed lines have no ends at all;
//   - the segment crosses or touches no other line, nor a join made before, and
//     keeps CLEARANCE pixels from every line of another level: burned on a grid
//     up to 10 times finer, a join closer than that takes cells of that line,
//     which then has a hole its bands leak through;
//   - neither end lies within two pixels of the grid's edge, where lines run
//     off the grid, nor within a pixel of the lines' extent, where they run off
//     the data; nor where an end of another line of its level meets it (a line
//     stored in pieces).
// Then ends left within 1.5 pixels of an end of their level are joined
// whichever way they point. The closest pairs are joined first (then the best
// aligned), and an end is joined at most once. The joins are added to the layer as lines of the level.
#include "repair.h"

#include "failure.h"
#include "lines.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <ogr_api.h>

namespace tolvane::geo {

namespace {

// The least sum of the two ends' cosines, and the least of either (120 degrees).
constexpr double CONVERGING = 0.2;
constexpr double AWAY = -0.5;
// The least distance between a join and a line of another level, in pixels.
constexpr double CLEARANCE = 0.02;
// How close two ends of one level are joined whichever way they point, in pixels.
constexpr double NEAR = 1.5;

using Point = MapPoint;

struct LineEnd {
    Point at;
    Point direction; // unit
    int level;
    GIntBig feature;
};

struct Envelope {
    double xmin, ymin, xmax, ymax;
    bool overlaps(const Envelope &o) const
    {
        return xmin <= o.xmax && o.xmin <= xmax && ymin <= o.ymax && o.ymin <= ymax;
    }
};

// The end of `points` at its last point and the way the line runs out there;
// false where it has no way (the last points coincide).
bool end_of(const std::vector<Point> &points, Point &at, Point &direction, double step)
{
    at = points.back();
    direction = way_out(points, step);
    return direction.x != 0 || direction.y != 0;
}

struct GeometryDeleter {
    void operator()(OGRGeometryH g) const { OGR_G_DestroyGeometry(g); }
};
using Geometry = std::unique_ptr<std::remove_pointer_t<OGRGeometryH>, GeometryDeleter>;

struct Line {
    Geometry geometry;
    Envelope box;
    GIntBig feature;
    int level;
};

Envelope box_of(OGRGeometryH g)
{
    OGREnvelope e;
    OGR_G_GetEnvelope(g, &e);
    return {e.MinX, e.MinY, e.MaxX, e.MaxY};
}


// The open ends of the layer's lines (closed ones, those near the grid's edge
// or the lines' extent and those that meet another end of their level have
// none), with every line for the crossing test when `lines` is given.
void read_ends(OGRLayerH layer, int level_field, double pixel, const Extent &grid, const Extent &extent,
               std::vector<LineEnd> &ends, std::vector<Line> *lines)
{
    // A line that reaches the grid's edge runs off the grid there; one that
    // reaches the lines' extent runs off the data.
    const auto on_edge = [&](const Point &p) {
        return p.x < grid.xmin + 2 * pixel || p.x > grid.xmax - 2 * pixel || p.y < grid.ymin + 2 * pixel ||
               p.y > grid.ymax - 2 * pixel || p.x < extent.xmin + pixel || p.x > extent.xmax - pixel ||
               p.y < extent.ymin + pixel || p.y > extent.ymax - pixel;
    };
    std::vector<LineEnd> found;
    OGR_L_ResetReading(layer);
    while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
        OGRGeometryH g = OGR_F_GetGeometryRef(f);
        if (g && !OGR_G_IsEmpty(g) && OGR_F_IsFieldSetAndNotNull(f, level_field)) {
            const int level = OGR_F_GetFieldAsInteger(f, level_field);
            const GIntBig id = OGR_F_GetFID(f);
            for_each_part(g, [&](OGRGeometryH part) {
                const int n = OGR_G_GetPointCount(part);
                if (n < 2)
                    return;
                std::vector<Point> points(static_cast<std::size_t>(n));
                for (int k = 0; k < n; k++)
                    points[k] = {OGR_G_GetX(part, k), OGR_G_GetY(part, k)};
                if (points.front().x == points.back().x && points.front().y == points.back().y)
                    return; // closed
                LineEnd e{{0, 0}, {0, 0}, level, id};
                for (int side = 0; side < 2; side++) {
                    if (end_of(points, e.at, e.direction, pixel) && !on_edge(e.at))
                        found.push_back(e);
                    std::reverse(points.begin(), points.end());
                }
            });
            if (lines)
                lines->push_back({Geometry(OGR_G_Clone(g)), box_of(g), id, level});
        }
        OGR_F_Destroy(f);
    }
    // Ends of one level within a hundredth of a pixel of each other are where
    // the pieces of one line meet: the line runs on there.
    const double touch = 0.01 * pixel;
    std::map<std::pair<long long, long long>, std::vector<std::size_t>> cells;
    const auto cell = [&](const Point &p) {
        return std::make_pair(static_cast<long long>(std::floor(p.x / touch)),
                              static_cast<long long>(std::floor(p.y / touch)));
    };
    for (std::size_t k = 0; k < found.size(); k++)
        cells[cell(found[k].at)].push_back(k);
    std::vector<bool> met(found.size(), false);
    for (std::size_t a = 0; a < found.size(); a++) {
        const auto [cx, cy] = cell(found[a].at);
        for (long long x = cx - 1; x <= cx + 1; x++)
            for (long long y = cy - 1; y <= cy + 1; y++) {
                const auto near = cells.find({x, y});
                if (near == cells.end())
                    continue;
                for (std::size_t b : near->second)
                    if (b != a && found[b].level == found[a].level &&
                        std::hypot(found[b].at.x - found[a].at.x, found[b].at.y - found[a].at.y) <= touch)
                        met[a] = true;
            }
    }
    for (std::size_t k = 0; k < found.size(); k++)
        if (!met[k])
            ends.push_back(found[k]);
}

// Pairs of ends of one level at most max_gap apart that head towards each
// other (any two when `any_way`), in the order they are joined.
std::vector<EndPair> candidate_pairs(const std::vector<LineEnd> &ends, double max_gap, bool any_way = false)
{
    // Ends by cell of a max_gap grid, to find the neighbours of each.
    std::map<std::pair<long long, long long>, std::vector<std::size_t>> cells;
    const auto cell = [&](const Point &p) {
        return std::make_pair(static_cast<long long>(std::floor(p.x / max_gap)),
                              static_cast<long long>(std::floor(p.y / max_gap)));
    };
    for (std::size_t k = 0; k < ends.size(); k++)
        cells[cell(ends[k].at)].push_back(k);
    std::vector<EndPair> candidates;
    for (std::size_t a = 0; a < ends.size(); a++) {
        const LineEnd &e = ends[a];
        const auto [cx, cy] = cell(e.at);
        for (long long x = cx - 1; x <= cx + 1; x++)
            for (long long y = cy - 1; y <= cy + 1; y++) {
                const auto found = cells.find({x, y});
                if (found == cells.end())
                    continue;
                for (std::size_t b : found->second) {
                    const LineEnd &f = ends[b];
                    if (b <= a || f.level != e.level)
                        continue;
                    const double vx = f.at.x - e.at.x, vy = f.at.y - e.at.y, d = std::hypot(vx, vy);
                    if (d == 0 || d > max_gap)
                        continue;
                    const double ca = (e.direction.x * vx + e.direction.y * vy) / d;
                    const double cb = -(f.direction.x * vx + f.direction.y * vy) / d;
                    if (!any_way && (ca <= AWAY || cb <= AWAY || ca + cb < CONVERGING))
                        continue;
                    candidates.push_back({d, 2 - ca - cb, a, b});
                }
            }
    }
    std::sort(candidates.begin(), candidates.end(), joined_before);
    return candidates;
}

// Whether the segment crosses a line or a join made (other than the two lines it
// joins), or comes within a fiftieth of a pixel of a line of another level.
bool blocked(OGRGeometryH segment, const Envelope &box, const LineEnd &e, const LineEnd &f,
             const std::vector<Line> &lines, const std::vector<Line> &joins, double pixel)
{
    for (const std::vector<Line> *set : {&lines, &joins})
        for (const Line &l : *set) {
            if (set == &lines && (l.feature == e.feature || l.feature == f.feature))
                continue;
            const double clear = l.level != e.level ? CLEARANCE * pixel : 0;
            const Envelope near{box.xmin - clear, box.ymin - clear, box.xmax + clear, box.ymax + clear};
            if (!l.box.overlaps(near))
                continue;
            // Without GEOS the distance is -1: then only a crossing counts.
            const double apart = clear > 0 ? OGR_G_Distance(l.geometry.get(), segment) : -1;
            if (apart < 0 ? OGR_G_Intersects(l.geometry.get(), segment) != 0 : apart < clear)
                return true;
        }
    return false;
}

void add_joins(OGRLayerH layer, int level_field, const std::vector<Line> &joins)
{
    for (const Line &j : joins) {
        OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(layer));
        OGR_F_SetGeometry(f, j.geometry.get());
        OGR_F_SetFieldInteger(f, level_field, j.level);
        const OGRErr e = OGR_L_CreateFeature(layer, f);
        OGR_F_Destroy(f);
        if (e != OGRERR_NONE)
            throw Failure("cannot add the joins of the gaps to the lines in memory: " + gdal_reason());
    }
}

} // namespace

MapPoint way_out(const std::vector<MapPoint> &points, double step)
{
    const MapPoint &at = points.back();
    double walked = 0;
    MapPoint from = at;
    for (std::size_t k = points.size() - 1; k-- > 0;) {
        walked += std::hypot(points[k + 1].x - points[k].x, points[k + 1].y - points[k].y);
        from = points[k];
        if (walked >= step)
            break;
    }
    const double dx = at.x - from.x, dy = at.y - from.y, n = std::hypot(dx, dy);
    return n > 0 ? MapPoint{dx / n, dy / n} : MapPoint{0, 0};
}

std::vector<MapPoint> open_line_ends(OGRLayerH layer, int level_field, double pixel, const Extent &grid,
                                     const Extent &extent)
{
    std::vector<LineEnd> ends;
    read_ends(layer, level_field, pixel, grid, extent, ends, nullptr);
    std::vector<MapPoint> points;
    for (const LineEnd &e : ends)
        points.push_back({e.at.x, e.at.y});
    return points;
}

Repairs repair_line_gaps(OGRLayerH layer, int level_field, double max_gap, double pixel, const Extent &grid,
                         const Extent &extent, std::vector<MapPoint> *left_open)
{
    Repairs report;
    std::vector<LineEnd> ends;
    std::vector<Line> lines;
    read_ends(layer, level_field, pixel, grid, extent, ends, &lines);
    report.open_ends = static_cast<int>(ends.size());
    std::vector<bool> used(ends.size(), false);
    const auto keep_open = [&] {
        if (left_open)
            for (std::size_t k = 0; k < ends.size(); k++)
                if (!used[k])
                    left_open->push_back({ends[k].at.x, ends[k].at.y});
    };
    if (ends.empty() || max_gap <= 0) {
        keep_open();
        return report;
    }
    std::vector<Line> joins;
    // Then the ends left within NEAR pixels of an end of their level, whichever
    // way they point (a line cut in a bend, whose pieces run out across the
    // gap): burned at the pixel, the two fall in touching pixels or are joined
    // there, and the line runs on; burned finer, the cells between them stay
    // empty and the bands on either side of the line leak into each other.
    std::vector<EndPair> pairs = candidate_pairs(ends, max_gap);
    const std::vector<EndPair> near = candidate_pairs(ends, std::min(max_gap, NEAR * pixel), true);
    pairs.insert(pairs.end(), near.begin(), near.end());
    for (const EndPair &c : pairs) {
        if (used[c.a] || used[c.b])
            continue;
        const LineEnd &e = ends[c.a], &f = ends[c.b];
        Geometry segment(OGR_G_CreateGeometry(wkbLineString));
        OGR_G_AddPoint_2D(segment.get(), e.at.x, e.at.y);
        OGR_G_AddPoint_2D(segment.get(), f.at.x, f.at.y);
        const Envelope box = box_of(segment.get());
        if (blocked(segment.get(), box, e, f, lines, joins, pixel))
            continue;
        used[c.a] = used[c.b] = true;
        joins.push_back({Geometry(OGR_G_Clone(segment.get())), box, -1, e.level});
        report.joins++;
    }
    add_joins(layer, level_field, joins);
    keep_open();
    return report;
}

} // namespace tolvane::geo
