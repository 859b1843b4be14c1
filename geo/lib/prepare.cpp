// A window prepared for the core: burned, its gaps closed, its footprint judged
// and the outside walled, the leaks the repairs left sealed. The whole grid as
// one window is the run of tolvane-geo; smaller windows judge the spacing of
// their gaps from their own lines, and take the open ends, the lines' extent
// and a drawn footprint or hull from the whole sheet's: the ends of the lines
// are found on the vectors, so a window's edge, where its burned lines are cut,
// is never taken for one, and the footprint is judged once on the whole grid,
// so that windows and tiles show the same pixels.
#include "footprint.h"
#include "measures.h"
#include "parallel.h"
#include "repair.h"
#include "seal.h"
#include "source_impl.h"
#include "timing.h"
#include "wall.h"

#include <algorithm>
#include <cmath>

namespace tolvane::geo {

namespace {

// The part of a window the core may label: what within_lines_extent gives on the
// whole grid, from the box of the whole sheet's contours.
std::vector<std::uint8_t> within_sheet(const PixelBox &sheet, int row, int column, int rows, int columns)
{
    std::vector<std::uint8_t> inside(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns), 1);
    if (sheet.empty())
        return inside;
    const int top = sheet.top <= 1 ? 0 : sheet.top, left = sheet.left <= 1 ? 0 : sheet.left;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++)
            if (row + i < top || row + i > sheet.bottom || column + j < left || column + j > sheet.right)
                inside[static_cast<std::size_t>(i) * columns + j] = 0;
    return inside;
}

long long zeros(const std::vector<std::uint8_t> &mask) { return std::count(mask.begin(), mask.end(), std::uint8_t{0}); }

// The map of the window's contour pixels and their spacing, computed once while
// the cells stay as they are.
struct LineMap {
    SiteMap sites;
    double found = -1;

    double spacing(const Window &w)
    {
        if (found < 0) {
            if (sites.empty())
                sites.compute(w.cells, w.rows, w.columns);
            found = contour_spacing(w.cells, w.rows, w.columns, sites);
        }
        return found;
    }
    void forget()
    {
        sites.clear();
        found = -1;
    }
};

// The open ends of the window, as cells. On lines: each open end of the lines
// that falls in the window, on the burned line end nearest to it within two
// cells (row-major order breaking ties). A line end the burning hides (two lines
// burned into touching cells, a join made on the grid) has no gap the core
// could see, and a burned end with no end of the lines under it is where the
// burning cut a line or the window's edge does: neither is open. On a contour
// raster: its cells' own ends.
std::vector<std::size_t> window_ends(const ContourSource::Impl &s, const Window &w)
{
    if (!s.read)
        return open_ends(w.cells, w.rows, w.columns);
    std::vector<std::size_t> ends;
    if (s.open_ends.empty())
        return ends;
    std::vector<std::uint8_t> burned_end(w.cells.size(), 0);
    for (std::size_t k : line_ends(w.cells, w.rows, w.columns))
        burned_end[k] = 1;
    constexpr int REACH = 2;
    const Grid &f = s.fine;
    for (const MapPoint &p : s.open_ends) {
        // An end in the cell of another window is that window's.
        const double fi = std::floor((f.origin_y - p.y) / f.yres) - w.row;
        const double fj = std::floor((p.x - f.origin_x) / f.xres) - w.column;
        if (!(fi >= 0 && fi < w.rows && fj >= 0 && fj < w.columns))
            continue;
        const int i = static_cast<int>(fi), j = static_cast<int>(fj);
        int best = -1;
        long long best_d = 0;
        for (int di = -REACH; di <= REACH; di++)
            for (int dj = -REACH; dj <= REACH; dj++) {
                const int y = i + di, x = j + dj;
                if (y < 0 || y >= w.rows || x < 0 || x >= w.columns)
                    continue;
                const std::size_t k = static_cast<std::size_t>(y) * w.columns + x;
                const long long d = static_cast<long long>(di) * di + static_cast<long long>(dj) * dj;
                if (burned_end[k] && (best < 0 || d < best_d)) {
                    best = static_cast<int>(k);
                    best_d = d;
                }
            }
        if (best >= 0)
            ends.push_back(static_cast<std::size_t>(best));
    }
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    return ends;
}

// Gaps closed on the burned window: the distance given, or the contour spacing
// where lines stop in the open. Returns the open ends left.
std::vector<std::size_t> close_gaps(const ContourSource::Impl &s, Window &w, LineMap &lines)
{
    const double n = s.factor; // distances in pixels of the grid are n times as many burned cells
    std::vector<std::size_t> ends = window_ends(s, w);
    w.gap_distance = n * (s.repair.gaps >= 0  ? s.repair.gaps
                          : ends.empty()      ? 0
                          : s.default_gap > 0 ? s.default_gap
                                              : tolvane::geo::gap_distance(lines.spacing(w) / n));
    if (w.gap_distance > 0) {
        Repairs repairs = repair_gaps(w.cells, w.rows, w.columns, w.gap_distance);
        // What the repair closes on the pixels, closed on the finer grid too.
        repair_gaps_as_pixels(w.cells, w.rows, w.columns, s.factor, w.gap_distance / n, repairs);
        w.grid_joins = repairs.joins;
        if (w.grid_joins > 0) {
            ends = window_ends(s, w);
            lines.forget();
        }
    }
    step_done("prepare: gaps");
    return ends;
}

// The footprint, cut to the lines' extent: beyond it the zones would run along
// the grid's margin. Returns whether a footprint was judged at all.
bool judge_inside(const ContourSource::Impl &s, Window &w, const std::vector<std::size_t> &ends, LineMap &lines,
                  bool whole_grid)
{
    const FootprintWindow fw{w.cells,  w.rows,    w.columns, w.row,
                             w.column, s.grid,    s.fine,    s.factor,
                             ends,     s.on_grid, s.table.levels.interval, s.read ? &s.border : nullptr};
    Judged judged = judge_footprint(s.footprint, fw, lines.sites, [&] { return lines.spacing(w); });
    w.inside = std::move(judged.inside);
    w.radius = judged.radius;
    w.open_ends = judged.open_ends;
    if (!s.on_grid.decided)
        s.traced = judged.traced;
    const bool footprint = !w.inside.empty();
    const std::vector<std::uint8_t> extent = whole_grid ? within_lines_extent(w.cells, w.rows, w.columns)
                                                        : within_sheet(s.sheet, w.row, w.column, w.rows, w.columns);
    if (w.inside.empty())
        w.inside = extent;
    else
        for (std::size_t k = 0; k < extent.size(); k++)
            w.inside[k] = w.inside[k] && extent[k];
    step_done("prepare: footprint");
    return footprint;
}

// Gaps the repairs left open, found by the bands that run through them once
// nothing but the lines and the wall stops the zones.
void seal(const ContourSource::Impl &s, Window &w)
{
    if (w.gap_distance > 0)
        w.grid_joins += seal_leaks(w.cells, w.rows, w.columns, w.inside, s.table.levels.interval, w.gap_distance).joins;
    step_done("prepare: seal");
}

// Every empty pixel outside takes a level: a footprint's wall, or the nearest
// line's beyond the lines' extent.
void wall(const ContourSource::Impl &s, Window &w, bool footprint, LineMap &lines)
{
    // Lines that stop just short of the edge of a footprint given are carried to it.
    if (footprint && s.footprint.kind != FootprintKind::drawn && w.gap_distance > 0) {
        Repairs reached;
        reach_footprint_edge(w.cells, w.rows, w.columns, w.inside, w.gap_distance, reached);
        w.grid_joins += reached.joins;
    }
    if (footprint) {
        // The wall seldom needs the map of the lines: its memory goes back first.
        lines.forget();
        wall_outside(w.cells, w.rows, w.columns, w.inside, lines.sites);
    } else {
        wall_from_nearest_line(w.cells, w.rows, w.columns, w.inside, lines.sites);
    }
    lines.forget();
    step_done("prepare: wall");
}

} // namespace

Window ContourSource::prepare(int row, int column, int rows, int columns, GDALProgressFunc progress,
                              void *progress_arg) const
{
    const Impl &s = *impl_;
    // The sheet's footprint, decided once at the factor the run burns at,
    // ahead of the first window that takes its part of it.
    if (s.footprint_of_sheet() && !s.deciding_now)
        const_cast<ContourSource *>(this)->decide_footprint(s.factor);
    const bool whole_grid = row == 0 && column == 0 && rows == s.fine.rows && columns == s.fine.columns;
    if (whole_grid && s.deciding) {
        Window w = std::move(*s.deciding);
        s.deciding.reset();
        return w;
    }
    const PassThreads threads(s.threads);
    Window w;
    w.row = row;
    w.column = column;
    w.rows = rows;
    w.columns = columns;
    LineMap lines;
    if (whole_grid && !s.whole.empty()) {
        w.cells = std::move(s.whole.cells);
        lines.sites = std::move(s.whole.sites);
        lines.found = s.whole.spacing;
        s.whole.clear();
    } else {
        // The whole grid kept from the gaps' judgement or the footprint's serves
        // a run of one window only: once windows are burned it would hold memory
        // for nothing.
        s.whole.clear();
        s.deciding.reset();
        w.cells = burn(row, column, rows, columns, progress, progress_arg);
    }
    step_done("prepare: burn");
    const std::vector<std::size_t> ends = close_gaps(s, w, lines);
    const bool footprint = judge_inside(s, w, ends, lines, whole_grid);
    w.outside = zeros(w.inside);
    if (w.outside == 0) {
        w.inside.clear();
        seal(s, w);
        w.ends_left = window_ends(s, w).size();
        return w;
    }
    wall(s, w, footprint, lines);
    seal(s, w);
    w.ends_left = ends_left_open(window_ends(s, w), w.rows, w.columns, w.inside);
    w.shown = shown_pixels(s.footprint, {w.cells, w.rows, w.columns, w.row, w.column, s.grid, s.fine, s.factor, ends,
                                         s.on_grid, s.table.levels.interval},
                           w.inside);
    w.hidden = zeros(w.shown);
    step_done("prepare: shown");
    return w;
}

} // namespace tolvane::geo
