// The lines' points for the smooth surface (surface.h) and the lines that close
// on themselves for the drainage, read from the source's copy of the lines as
// the repair left them: the same lines as those burned.
#include "lines.h"
#include "source_impl.h"

#include <algorithm>
#include <cmath>

#include <ogr_api.h>

namespace tolvane::geo {

namespace {

// f(level, line) for each part of each line of the repaired copy that holds a
// level.
template <class F> void for_each_level_line(OGRLayerH layer, F &&f)
{
    const int field = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), "tolvane_level");
    if (field < 0)
        return;
    OGR_L_ResetReading(layer);
    while (OGRFeatureH next = OGR_L_GetNextFeature(layer)) {
        const Feature owned(next);
        if (!OGR_F_IsFieldSetAndNotNull(next, field))
            continue;
        const double v = OGR_F_GetFieldAsDouble(next, field);
        for_each_part(OGR_F_GetGeometryRef(next), [&](OGRGeometryH line) { f(v, line); });
    }
}

} // namespace

std::vector<SurfacePoint> ContourSource::line_points(int row, int column, int rows, int columns, double margin,
                                                     double step) const
{
    std::vector<SurfacePoint> out;
    if (!impl_->read || rows <= 0 || columns <= 0 || !(step > 0))
        return out;
    const Grid &g = impl_->grid;
    // The area and its margin in pixels of the area.
    const double r0 = -margin, c0 = -margin, r1 = rows + margin, c1 = columns + margin;
    // Each point kept(r, c, v), the lines read twice: counted, then placed in
    // a vector of their number (millions on a large grid, which grown point
    // by point would be copied and faulted in twice over).
    const auto each_point = [&](const auto &kept) {
        std::vector<double> xs, ys; // a line's vertices, read at once
        const auto keep = [&](double r, double c, double v) {
            if (r >= r0 && r <= r1 && c >= c0 && c <= c1)
                kept(r, c, v);
        };
        for_each_level_line(lines_layer(*impl_->read), [&](double v, OGRGeometryH line) {
            read_vertices(line, xs, ys);
            double pr = 0, pc = 0;
            for (std::size_t i = 0; i < xs.size(); i++) {
                const double r = (g.origin_y - ys[i]) / g.yres - row;
                const double c = (xs[i] - g.origin_x) / g.xres - column;
                if (i > 0) {
                    // Points between two vertices at most `step` apart; a
                    // segment wholly beyond the margin adds none.
                    if (std::max(r, pr) >= r0 && std::min(r, pr) <= r1 && std::max(c, pc) >= c0 &&
                        std::min(c, pc) <= c1) {
                        const int parts =
                            std::max(1, static_cast<int>(std::ceil(std::hypot(r - pr, c - pc) / step)));
                        for (int k = 1; k < parts; k++) {
                            const double t = static_cast<double>(k) / parts;
                            keep(pr + t * (r - pr), pc + t * (c - pc), v);
                        }
                    }
                }
                keep(r, c, v);
                pr = r;
                pc = c;
            }
        });
    };
    std::size_t count = 0;
    each_point([&](double, double, double) { count++; });
    out.reserve(count);
    each_point([&](double r, double c, double v) { out.push_back({r, c, v, 1}); });
    return out;
}

std::vector<ClosedLine> ContourSource::closed_lines() const
{
    std::vector<ClosedLine> out;
    if (!impl_->read)
        return out;
    const Grid &g = impl_->grid;
    for_each_level_line(lines_layer(*impl_->read), [&](double v, OGRGeometryH line) {
        const int n = OGR_G_GetPointCount(line);
        if (n < 4 || OGR_G_GetX(line, 0) != OGR_G_GetX(line, n - 1) ||
            OGR_G_GetY(line, 0) != OGR_G_GetY(line, n - 1))
            return;
        ClosedLine c;
        c.level = v;
        c.rows.reserve(static_cast<std::size_t>(n));
        c.columns.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < n; i++) {
            c.rows.push_back((g.origin_y - OGR_G_GetY(line, i)) / g.yres);
            c.columns.push_back((OGR_G_GetX(line, i) - g.origin_x) / g.xres);
        }
        out.push_back(std::move(c));
    });
    return out;
}

} // namespace tolvane::geo
