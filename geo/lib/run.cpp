// The run of a request: the source read, the factor settled, the core run over
// the grid in windows (one when one suffices), the products written. Every
// front end goes through here: tolvane-geo and tolvane.geo by elevation(), the
// tiles by compute() on their own windows.
#include "drainage.h"
#include "failure.h"
#include "footprint.h"
#include "grid.h"
#include "lakes.h"
#include "levels.h"
#include "measures.h"
#include "oversample.h"
#include "output.h"
#include "parallel.h"
#include "report.h"
#include "spot_heights.h"
#include "streams.h"
#include "surface.h"
#include "timing.h"
#include "windows.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

#include <cpl_progress.h>

namespace tolvane::geo {

void Counts::add(const Counts &w)
{
    grid_joins += w.grid_joins;
    gap_distance = std::max(gap_distance, w.gap_distance);
    radius = std::max(radius, w.radius);
    open_ends += w.open_ends;
    ends_left += w.ends_left;
    outside += w.outside;
    hidden += w.hidden;
    contour_pixels += w.contour_pixels;
    off_level_pixels += w.off_level_pixels;
    zone_pixels += w.zone_pixels;
    leak_pixels += w.leak_pixels;
    windows += w.windows;
}

namespace {

// The stretch [from, to] of the caller's progress, for one step.
class Part {
public:
    Part(GDALProgressFunc progress, void *arg, double from, double to)
        : data_(GDALCreateScaledProgress(from, to, progress ? progress : GDALDummyProgress, arg))
    {
    }
    ~Part() { GDALDestroyScaledProgress(data_); }
    Part(const Part &) = delete;
    Part &operator=(const Part &) = delete;
    void *data() const { return data_; }
    // Reports the fraction of this step; false when the caller asks to stop.
    bool at(double fraction) const { return GDALScaledProgress(fraction, nullptr, data_) != FALSE; }

private:
    void *data_;
};

// An area of the grid with its halo: its rows and columns on the grid.
struct Area {
    int r0, c0, r1, c1;
    int rows() const { return r1 - r0; }
    int columns() const { return c1 - c0; }
};

Area with_halo(const Grid &g, int row, int column, int rows, int columns, int halo)
{
    return {std::max(0, row - halo), std::max(0, column - halo), std::min(g.rows, row + rows + halo),
            std::min(g.columns, column + columns + halo)};
}

// The run of the core over the area, on the grid the source burns.
WindowedRun windowed_run(const ContourSource &source, const Request &q, const Area &a)
{
    const Grid &g = source.grid();
    const int n = source.oversample();
    WindowedRun run;
    run.rows = a.rows() * n;
    run.columns = a.columns() * n;
    run.factor = n;
    if (n > 1)
        run.side = square_side(source.line_spacing(SQUARE_BLOCK));
    run.levels = source.table().levels;
    // The smooth surface is drawn from the core's own cells: the smoothing
    // would move cells off the level their band starts from (a summit's rim,
    // the pixels beside a line) and the surface, held to those bands, would
    // draw rings and streaks there. It is the plain surface's.
    run.smoothing = q.surface == Surface::smooth ? 1 : q.core.smoothing;
    run.threads = q.core.threads;
    run.memory = q.core.memory;
    run.want_leak_mask = !q.product.leaks.empty();
    // On a finer grid the margin around the lines is n cells or more: the core
    // leaves out what lies beyond one empty cell at the grid's own edges.
    const Grid &f = finer(g, n);
    const Extent box = source.lines_extent();
    const double top = a.r0 == 0 ? (f.origin_y - box.ymax) / f.yres : 0;
    const double left = a.c0 == 0 ? (box.xmin - f.origin_x) / f.xres : 0;
    const double bottom = a.r1 == g.rows ? (box.ymin - (f.origin_y - f.rows * f.yres)) / f.yres : 0;
    const double right = a.c1 == g.columns ? (f.origin_x + f.columns * f.xres - box.xmax) / f.xres : 0;
    run.inset = fine_margins(n, top, left, bottom, right);
    return run;
}

// The area without its halo; nodata where no burned cell under a pixel is shown.
void keep_area(Computed &c, WindowedResult &r, const std::vector<std::uint8_t> &visible, const Area &a, int row,
               int column, int rows, int columns, bool leaks)
{
    if (a.r0 == row && a.c0 == column && a.rows() == rows && a.columns() == columns) { // no halo: in place
        c.cells = std::move(r.cells);
        c.leak_mask = std::move(r.leak_mask);
        for (std::size_t k = 0; k < c.cells.size(); k++)
            if (!visible[k])
                c.cells[k] = NAN;
        return;
    }
    c.cells.resize(static_cast<std::size_t>(rows) * columns);
    if (leaks)
        c.leak_mask.resize(c.cells.size());
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::size_t from = static_cast<std::size_t>(row - a.r0 + i) * a.columns() + (column - a.c0 + j);
            const std::size_t to = static_cast<std::size_t>(i) * columns + j;
            c.cells[to] = visible[from] ? r.cells[from] : NAN;
            if (leaks)
                c.leak_mask[to] = r.leak_mask[from];
        }
}

// The map's heights beside its lines, read once for a computation.
struct MapHeights {
    SpotHeights spots;
    Lakes lakes;
    Streams streams;
    MapHeights(const Request &q, const Grid &g, const LevelTable &t)
        : spots(read_spot_heights(q, g, t)), lakes(q, g, t), streams(q, g)
    {
    }
};

// The core's cells of the area made the surface asked for, through the spot
// heights, lakes and streams: the lakes' cells (in the area) returned, the
// streams' counted in c.
std::vector<std::int64_t> draw_surface(std::vector<double> &cells, const Area &a, const ContourSource &source,
                                       const Request &q, const MapHeights &m, Computed &c)
{
    const tolvane::Levels &l = source.table().levels;
    const std::vector<SpotHeight> on_area = in_area(m.spots.points, a.r0, a.c0);
    // The flats the spot heights fall on shaped first: the smooth surface then
    // holds its cells to the bands of that shape.
    shape_flats(cells, a.rows(), a.columns(), on_area, l);
    const bool smooth = q.surface == Surface::smooth;
    std::vector<SurfacePoint> points;
    if (smooth || !m.lakes.empty())
        points = source.line_points(a.r0, a.c0, a.rows(), a.columns(), 0, 1);
    std::vector<std::int64_t> lake_cells = m.lakes.flatten(cells, a.r0, a.c0, a.rows(), a.columns(), points);
    if (smooth) {
        // On the pixels of the area with its halo, through the lines that
        // cross it: the halo keeps a window's edge from bending the surface
        // inside it. The lakes' pixels are points of the fit too, and flat
        // again after it.
        const PassThreads threads(q.core.threads);
        const std::size_t of_lines = points.size();
        for (const SpotHeight &p : on_area)
            points.push_back({p.row, p.column, p.value, SPOT_WEIGHT});
        for (std::int64_t k : lake_cells)
            points.push_back({static_cast<double>(k / a.columns()) + 0.5, static_cast<double>(k % a.columns()) + 0.5,
                              cells[static_cast<std::size_t>(k)], 1});
        smooth_surface(cells, a.rows(), a.columns(), points, l.lowest, l.interval);
        points.resize(of_lines);
        lake_cells = m.lakes.flatten(cells, a.r0, a.c0, a.rows(), a.columns(), points);
        step_done("surface");
    }
    // The streams last, on the surface as drawn, so that the fit does not lift
    // them; a lake they cross stays flat.
    c.stream_pixels = m.streams.carve(cells, a.r0, a.c0, a.rows(), a.columns(), l);
    if (c.stream_pixels > 0 && !m.lakes.empty())
        lake_cells = m.lakes.flatten(cells, a.r0, a.c0, a.rows(), a.columns(), points);
    return lake_cells;
}

// The lakes' and the spot heights' cells among those kept (rows x columns
// from row, column), the spot heights pinned on them.
void keep_map_heights(Computed &c, const MapHeights &m, const std::vector<std::int64_t> &lake_cells, const Area &a,
                      int row, int column, int rows, int columns)
{
    c.lakes_without_level = m.lakes.without_level();
    for (std::int64_t k : lake_cells) {
        const auto i = static_cast<int>(k / a.columns()) + a.r0 - row, j = static_cast<int>(k % a.columns()) + a.c0 - column;
        if (i >= 0 && j >= 0 && i < rows && j < columns &&
            !std::isnan(c.cells[static_cast<std::size_t>(i) * columns + j]))
            c.lake_cells.push_back(static_cast<std::int64_t>(i) * columns + j);
    }
    c.spot_heights_left = m.spots.left;
    if (!m.spots.points.empty())
        c.spot_cells = pin_spot_heights(c.cells, rows, columns, in_area(m.spots.points, row, column), c.spot_heights_left);
}

} // namespace

Computed compute(const ContourSource &source, const Request &q, int row, int column, int rows, int columns, int halo,
                 GDALProgressFunc progress, void *progress_arg, const std::function<void(const Window &)> &prepared)
{
    const Grid &g = source.grid();
    const int n = source.oversample();
    const Area a = with_halo(g, row, column, rows, columns, halo);
    Computed c;
    // Read before the core runs, so that a bad layer stops the run at once.
    const MapHeights heights(q, g, source.table());
    std::vector<std::uint8_t> visible(static_cast<std::size_t>(a.rows()) * a.columns(), 0);
    WindowedRun run = windowed_run(source, q, a);
    // The prepared cells themselves go to the core, which works in them.
    const BurnCells burn = [&](const Block &b) {
        Window w = source.prepare(a.r0 * n + b.row, a.c0 * n + b.column, b.rows, b.columns);
        std::vector<int> column_of(static_cast<std::size_t>(b.columns)); // of the area, for each of the block's
        for (int j = 0; j < b.columns; j++)
            column_of[static_cast<std::size_t>(j)] = (b.column + j) / n;
        for (int i = 0; i < b.rows; i++) {
            std::uint8_t *row = visible.data() + static_cast<std::size_t>((b.row + i) / n) * a.columns();
            const std::uint8_t *shown = w.shown.empty() ? nullptr : w.shown.data() + static_cast<std::size_t>(i) * b.columns;
            for (int j = 0; j < b.columns; j++)
                if (!shown || shown[j])
                    row[column_of[static_cast<std::size_t>(j)]] = 1;
        }
        c.add(w);
        if (prepared && b.rows == run.rows && b.columns == run.columns && a.rows() == g.rows &&
            a.columns() == g.columns)
            prepared(w);
        return std::move(w.cells);
    };
    const Part part(progress, progress_arg, 0, 1);
    // The core stops after the band in which the caller's progress said so.
    std::atomic<bool> stop{false};
    run.progress = [&part, &stop](double f) {
        if (!stop && !part.at(f))
            stop = true;
    };
    run.cancel = &stop;
    WindowedResult r;
    try {
        r = run_windows(run, burn);
    } catch (const tolvane::Error &e) {
        if (e.kind() == tolvane::ErrorKind::cancelled)
            throw Cancelled();
        throw Failure(explain(e, g, source.table()));
    }
    if (stop)
        throw Cancelled();
    step_done("windows");
    const std::vector<std::int64_t> lake_cells = draw_surface(r.cells, a, source, q, heights, c);
    keep_area(c, r, visible, a, row, column, rows, columns, run.want_leak_mask);
    keep_map_heights(c, heights, lake_cells, a, row, column, rows, columns);
    if (drains(q) && !heights.streams.empty()) // the drainage follows them
        c.stream_paths =
            heights.streams.downstream(c.cells, row, column, rows, columns, source.table().levels.interval);
    c.contour_pixels = r.contour_pixels;
    c.off_level_pixels = r.off_level_pixels;
    c.zone_pixels = r.zone_pixels;
    c.leak_pixels = r.leak_pixels;
    c.missing_levels = r.missing_levels;
    c.windows = r.windows;
    return c;
}

int settle_oversample(ContourSource &source, const Request &q, Computed *whole, GDALProgressFunc progress,
                      void *progress_arg)
{
    if (q.core.oversample != 0) { // a factor asked for needs no decision
        source.set_oversample(source.choose_oversample(q.core.oversample));
        return source.oversample();
    }
    if (source.decided_oversample() == 0) {
        const Grid &g = source.grid();
        int settled = source.choose_oversample(0);
        if (tries_finer(0, settled, static_cast<double>(g.rows) * g.columns)) {
            source.set_oversample(AUTO_OVERSAMPLE_FINE);
            Computed c = compute(source, q, 0, 0, g.rows, g.columns, 0, progress, progress_arg);
            if (static_cast<double>(c.leak_pixels) <= LEAKY_SHARE * static_cast<double>(c.zone_pixels)) {
                settled = AUTO_OVERSAMPLE_FINE;
                if (whole)
                    *whole = std::move(c);
            }
        }
        source.decide_oversample(settled);
    }
    source.set_oversample(source.decided_oversample());
    return source.oversample();
}

namespace {

// What reading the source found, into the report.
Report report_of(const ContourSource &source)
{
    Report r;
    r.grid = source.grid();
    r.table = source.table();
    r.lines = source.lines();
    r.line_joins = source.line_joins();
    r.without_altitude = source.without_altitude();
    r.without_geometry = source.without_geometry();
    r.like_identifier = source.like_identifier();
    return r;
}

// Whether the core runs on the whole grid in one window at the grid's own pixel.
bool one_window(const Report &r, const Request &q)
{
    const double cells = static_cast<double>(r.grid.rows) * r.grid.columns;
    return r.oversample == 1 && runs_as_one_window(r.table.levels, cells, cells, q.core.memory);
}

// What the windows counted, into the report, in pixels of the grid.
void counted(Report &r, const Computed &c)
{
    static_cast<Counts &>(r) = c;
    r.gap_distance /= r.oversample;
    r.radius /= r.oversample;
    r.hidden = std::count_if(c.cells.begin(), c.cells.end(), [](double v) { return std::isnan(v); });
    r.footprint = r.outside > 0;
    if (r.leak_pixels == 0)
        r.ends_left = 0;
    for (int level : c.missing_levels)
        r.missing_levels.push_back(unscaled(level, r.table));
    r.spot_heights = static_cast<long long>(c.spot_cells.size());
    r.spot_heights_left = c.spot_heights_left;
    r.lake_pixels = static_cast<long long>(c.lake_cells.size());
    r.lakes_without_level = c.lakes_without_level;
    r.stream_pixels = c.stream_pixels;
}

// The least step above an altitude of the core's units that a Float32 model
// holds: the flats' rise toward their outlet, in steps the file keeps.
Above float_step(const LevelTable &t)
{
    return [&t](double v) {
        const float f = static_cast<float>(unscaled(v, t));
        const double up = static_cast<double>(std::nextafter(f, INFINITY)) * t.scale - static_cast<double>(t.base);
        double y = std::max(up, std::nextafter(v, INFINITY));
        while (static_cast<float>(unscaled(y, t)) <= f)
            y = std::nextafter(y, INFINITY);
        return y;
    };
}

// Drainage on the whole result grid, once the windows are assembled, and the
// depressions it keeps written when asked.
void drain(Report &r, Computed &c, ProductWriter &writer, const Request &q,
           const std::optional<std::vector<ClosedLine>> &closed)
{
    // The spot heights' pixels and the lakes' are the map's own: kept, never carved.
    std::vector<std::int64_t> held = c.spot_cells;
    held.insert(held.end(), c.lake_cells.begin(), c.lake_cells.end());
    const Drained d = enforce_drainage(c.cells, r.grid.rows, r.grid.columns, r.table.levels, float_step(r.table), held,
                                       !q.product.sinks.empty(), c.stream_paths, closed ? &*closed : nullptr);
    writer.write_sinks(d.sinks, c.cells);
    r.sinks_kept = d.kept;
    r.sinks_area = static_cast<double>(d.kept_pixels) * r.grid.xres * r.grid.yres;
    r.sinks_filled = d.filled;
    r.sinks_carved = d.carved;
    r.drained_pixels = d.moved;
    r.drained_most = d.most / r.table.scale;
    step_done("drainage");
}

// The model (whose cells are given back once written) and the leak mask, then
// every product under its name, and the report of what was written.
void write_and_commit(ProductWriter &writer, Report &r, Computed &c, GDALProgressFunc progress, void *progress_arg)
{
    {
        const Part writing(progress, progress_arg, 0.85, 1.0);
        writer.write(0, 0, r.grid.rows, r.grid.columns, c.cells.data());
        c.cells = {};
        writer.write_leaks(c.leak_mask);
        step_done("write");
        writer.commit(GDALScaledProgress, writing.data());
    }
    step_done("commit");
    r.nodata = writer.nodata();
    r.clamped = writer.clamped();
    r.nodata_in_data = writer.nodata_in_data();
}

} // namespace

Report elevation(const Request &q, GDALProgressFunc progress, void *progress_arg)
{
    try {
        tolvane::check_smoothing(q.core.smoothing);
    } catch (const tolvane::Error &e) {
        throw Failure(named("smoothing") + ": " + e.what(), "smoothing");
    }
    check_products(q.product);
    std::unique_ptr<ContourSource> source;
    {
        const Part reading(progress, progress_arg, 0, 0.05);
        source = std::make_unique<ContourSource>(q, GDALScaledProgress, reading.data());
    }
    step_done("source");
    Report r = report_of(*source);
    r.oversample = source->choose_oversample(q.core.oversample);
    ProductWriter writer(q.product, r.grid, r.table);
    // The contour grid written is the one the core receives at -oversample 1 in
    // one window: taken from that window when the run is one, else prepared at
    // the grid's own pixel first.
    const bool whole_at_pixel = one_window(r, q);
    if (!q.product.contours.empty() && !whole_at_pixel)
        writer.write_contours(source->prepare(0, 0, r.grid.rows, r.grid.columns).cells);
    // A finer factor tried on the whole grid is the run itself when kept.
    const bool trial = tries_finer(q.core.oversample, r.oversample, static_cast<double>(r.grid.rows) * r.grid.columns);
    const double tried = trial ? 0.6 : 0.05;
    Computed c;
    {
        const Part trying(progress, progress_arg, 0.05, tried);
        r.oversample = settle_oversample(*source, q, &c, GDALScaledProgress, trying.data());
    }
    if (c.cells.empty()) {
        const Part core_run(progress, progress_arg, tried, 0.85);
        const auto contours = [&](const Window &w) { writer.write_contours(w.cells); };
        c = compute(*source, q, 0, 0, r.grid.rows, r.grid.columns, 0, GDALScaledProgress, core_run.data(),
                    whole_at_pixel ? std::function<void(const Window &)>(contours) : nullptr);
    }
    step_done("compute");
    // The lines closed on themselves, read before the source goes (its lines
    // with it), for the drainage to tell the rings the lines close.
    std::optional<std::vector<ClosedLine>> closed;
    if (drains(q) && !source->raster())
        closed = source->closed_lines();
    source.reset();
    counted(r, c);
    if (r.leak_pixels > 0 && q.strict)
        throw Failure(named("strict") + ": " + leaks_left(r), "strict");
    if (drains(q))
        drain(r, c, writer, q, closed);
    write_and_commit(writer, r, c, progress, progress_arg);
    return r;
}

} // namespace tolvane::geo
