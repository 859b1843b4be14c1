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
                                                           int rows, int columns) const
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
        if (cells[static_cast<std::size_t>(path.front())] < cells[static_cast<std::size_t>(path.back())])
            std::reverse(path.begin(), path.end());
        paths.push_back(std::move(path));
    }
    return paths;
}

long long Streams::carve(std::vector<double> &cells, int row, int column, int rows, int columns,
                         const tolvane::Levels &levels) const
{
    if (empty() || !(levels.interval > 0) || rows < 1 || columns < 1)
        return 0;
    std::vector<std::vector<std::int64_t>> paths = downstream(cells, row, column, rows, columns);
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
