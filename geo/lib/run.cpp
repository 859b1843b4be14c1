// The whole run of a request: source, grid, levels, burning, repairs, footprint,
// the core, the products; and the report in words.
#include "auto_footprint.h"
#include "failure.h"
#include "footprint.h"
#include "grid.h"
#include "levels.h"
#include "output.h"
#include "timing.h"
#include "windows.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include <cpl_progress.h>

namespace tolvane::geo {

// What still leaks after the repairs, named.
std::string leaks_left(const Report &r);

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

std::string level(double whole, const LevelTable &t) { return decimal(unscaled(whole, t)); }

// The core's refusals, in the data's units.
std::string explain(const tolvane::Error &e, const Grid &g, const LevelTable &t)
{
    const tolvane::Levels &l = t.levels;
    switch (e.kind()) {
    case tolvane::ErrorKind::too_many_zones:
        if (e.values().size() >= 2) // from the windows: even the smallest held too many
            return "the levels " + level(l.lowest, t) + " to " + level(l.highest, t) + " every " +
                   decimal(l.interval / t.scale) + " put " + std::to_string(e.values()[0]) + " zones within " +
                   std::to_string(e.values()[1]) + " pixels of a single pixel: the core takes at most 254 in one "
                   "run; give a larger interval with -levels";
        return std::to_string(e.values().empty() ? 0 : e.values()[0]) + " zones between the levels " +
               level(l.lowest, t) + " and " + level(l.highest, t) + " every " + decimal(l.interval / t.scale) +
               ": the core takes at most 254; give a larger interval with -levels";
    case tolvane::ErrorKind::levels_out_of_range:
        return "the levels " + level(l.lowest, t) + " to " + level(l.highest, t) + " leave the core's int range";
    case tolvane::ErrorKind::no_memory:
        return "not enough memory for a grid of " + std::to_string(g.rows) + " rows and " +
               std::to_string(g.columns) + " columns";
    case tolvane::ErrorKind::no_altitude:
        return "no contours: no line crosses the grid";
    default:
        return e.what();
    }
}

// The core in `cells`, which hold its result afterwards.
tolvane::Result run_core(const Request &q, std::vector<std::int32_t> &cells, const Grid &g, const LevelTable &t,
                         const Part &part)
{
    tolvane::Options core;
    core.smoothing = q.core.smoothing;
    core.threads = q.core.threads;
    core.want_leak_mask = !q.product.leaks.empty();
    // The core stops after the band in which the caller's progress said so.
    std::atomic<bool> stop{false};
    core.progress = [&part, &stop](double f) {
        if (!stop && !part.at(f))
            stop = true;
    };
    core.cancel = &stop;
    try {
        return tolvane::elevation_in_place(cells.data(), g.rows, g.columns, t.levels, core);
    } catch (const tolvane::Error &e) {
        if (e.kind() == tolvane::ErrorKind::cancelled)
            throw Cancelled();
        throw Failure(explain(e, g, t));
    }
}

} // namespace

namespace {

// What the core found, into the report.
void found(Report &r, long long contour, long long off_level, const std::vector<int> &missing, long long zone,
           long long leak)
{
    r.contour_pixels = contour;
    r.off_level_pixels = off_level;
    for (int level : missing)
        r.missing_levels.push_back(unscaled(level, r.table));
    r.zone_pixels = zone;
    r.leak_pixels = leak;
}

// What the writer did, into the report.
void written(Report &r, const ProductWriter &w)
{
    r.nodata = w.nodata();
    r.clamped = w.clamped();
    r.nodata_in_data = w.nodata_in_data();
}

// Adds what a window's preparation did to the run's account.
void account(Window &total, const Window &w)
{
    total.grid_joins += w.grid_joins;
    total.gap_distance = std::max(total.gap_distance, w.gap_distance);
    total.radius = std::max(total.radius, w.radius);
    total.open_ends += w.open_ends;
    total.outside += w.outside;
    total.hidden += w.hidden;
}

} // namespace

Computed compute(const ContourSource &source, const Request &q, int row, int column, int rows, int columns, int halo,
                 GDALProgressFunc progress, void *progress_arg)
{
    const Grid &g = source.grid();
    const int n = source.oversample();
    // The area with its halo, on the grid, and on the burned grid.
    const int r0 = std::max(0, row - halo), c0 = std::max(0, column - halo);
    const int r1 = std::min(g.rows, row + rows + halo), c1 = std::min(g.columns, column + columns + halo);
    const int area_rows = r1 - r0, area_columns = c1 - c0;

    Computed c;
    std::vector<std::uint8_t> visible(static_cast<std::size_t>(area_rows) * area_columns, 0);
    std::size_t ends_left = 0;
    // The prepared cells themselves go to the core, which works in them.
    const BurnCells burn = [&](const Block &b) {
        Window w = source.prepare(r0 * n + b.row, c0 * n + b.column, b.rows, b.columns);
        for (int i = 0; i < b.rows; i++)
            for (int j = 0; j < b.columns; j++)
                if (w.shown.empty() || w.shown[static_cast<std::size_t>(i) * b.columns + j])
                    visible[static_cast<std::size_t>((b.row + i) / n) * area_columns + (b.column + j) / n] = 1;
        ends_left += ends_left_open(w.cells, b.rows, b.columns, w.inside);
        account(c.prepared, w);
        return std::move(w.cells);
    };
    WindowedRun run;
    run.rows = area_rows * n;
    run.columns = area_columns * n;
    run.factor = n;
    if (n > 1)
        run.side = square_side(source.line_spacing(SQUARE_BLOCK));
    run.levels = source.table().levels;
    run.smoothing = q.core.smoothing;
    run.threads = q.core.threads;
    run.memory = q.core.memory;
    run.want_leak_mask = !q.product.leaks.empty();
    // On a finer grid the margin around the lines is n cells or more: the core
    // leaves out what lies beyond one empty cell at the grid's own edges.
    const Grid &f = finer(g, n);
    const Extent box = source.lines_extent();
    const double top = r0 == 0 ? (f.origin_y - box.ymax) / f.yres : 0;
    const double left = c0 == 0 ? (box.xmin - f.origin_x) / f.xres : 0;
    const double bottom = r1 == g.rows ? (box.ymin - (f.origin_y - f.rows * f.yres)) / f.yres : 0;
    const double right = c1 == g.columns ? (f.origin_x + f.columns * f.xres - box.xmax) / f.xres : 0;
    run.inset = fine_margins(n, top, left, bottom, right);
    const Part part(progress, progress_arg, 0, 1);
    bool stop = false;
    run.progress = [&part, &stop](double f) { stop = stop || !part.at(f); };
    WindowedResult r;
    try {
        r = run_windows(run, burn);
    } catch (const tolvane::Error &e) {
        throw Failure(explain(e, g, source.table()));
    }
    if (stop)
        throw Cancelled();
    step_done("windows");

    // The area without its halo; nodata where no burned cell under a pixel is shown.
    if (r0 == row && c0 == column && area_rows == rows && area_columns == columns) { // no halo: in place
        c.cells = std::move(r.cells);
        c.leak_mask = std::move(r.leak_mask);
        for (std::size_t k = 0; k < c.cells.size(); k++)
            if (!visible[k])
                c.cells[k] = NAN;
    } else {
        c.cells.resize(static_cast<std::size_t>(rows) * columns);
        if (run.want_leak_mask)
            c.leak_mask.resize(c.cells.size());
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++) {
                const std::size_t from = static_cast<std::size_t>(row - r0 + i) * area_columns + (column - c0 + j);
                const std::size_t to = static_cast<std::size_t>(i) * columns + j;
                c.cells[to] = visible[from] ? r.cells[from] : NAN;
                if (run.want_leak_mask)
                    c.leak_mask[to] = r.leak_mask[from];
            }
    }
    c.contour_pixels = r.contour_pixels;
    c.off_level_pixels = r.off_level_pixels;
    c.zone_pixels = r.zone_pixels;
    c.leak_pixels = r.leak_pixels;
    c.missing_levels = r.missing_levels;
    c.windows = r.windows;
    c.prepared.open_ends = r.leak_pixels > 0 ? ends_left : c.prepared.open_ends;
    return c;
}

namespace {

// The last step of a run: the model (whose cells are given back once written)
// and the leak mask, then every product under its name, and the report of
// what was written.
template <typename V>
void write_and_commit(ProductWriter &writer, Report &r, std::vector<V> &cells, const std::vector<std::uint8_t> &leaks,
                      GDALProgressFunc progress, void *progress_arg)
{
    {
        const Part writing(progress, progress_arg, 0.85, 1.0);
        writer.write(0, 0, r.grid.rows, r.grid.columns, cells.data());
        cells = {};
        writer.write_leaks(leaks);
        step_done("write");
        writer.commit(GDALScaledProgress, writing.data());
    }
    step_done("commit");
    written(r, writer);
}

// The run on the burned grid n times finer, or in windows.
Report windowed(const Request &q, ContourSource &source, Report &r, GDALProgressFunc progress, void *progress_arg)
{
    ProductWriter writer(q.product, r.grid, r.table);
    // The core runs window by window, on a finer grid: the contour grid written is
    // the one of the grid asked for, as a run at -oversample 1 in one piece gives
    // it to the core.
    if (!q.product.contours.empty())
        writer.write_contours(source.prepare(0, 0, r.grid.rows, r.grid.columns, nullptr, nullptr).cells);
    // A finer factor tried on the whole grid is the run itself when kept.
    const bool trial = tries_finer(q.core.oversample, r.oversample, static_cast<double>(r.grid.rows) * r.grid.columns);
    const double tried = trial ? 0.6 : 0.05;
    Computed c;
    {
        const Part trying(progress, progress_arg, 0.05, tried);
        r.oversample = source.settle_oversample(q, &c, GDALScaledProgress, trying.data());
    }
    if (c.cells.empty()) {
        const Part core_run(progress, progress_arg, tried, 0.85);
        c = compute(source, q, 0, 0, r.grid.rows, r.grid.columns, 0, GDALScaledProgress, core_run.data());
    }
    step_done("compute");
    const Window &w = c.prepared;
    r.grid_joins = w.grid_joins;
    r.gap_distance = w.gap_distance / r.oversample;
    r.radius = w.radius / r.oversample;
    r.open_ends = w.open_ends;
    r.outside = w.outside;
    r.hidden = std::count_if(c.cells.begin(), c.cells.end(), [](double v) { return std::isnan(v); });
    r.footprint = r.outside > 0;
    found(r, c.contour_pixels, c.off_level_pixels, c.missing_levels, c.zone_pixels, c.leak_pixels);
    r.windows = c.windows;
    if (r.leak_pixels > 0) {
        r.ends_left = w.open_ends;
        if (q.strict)
            throw Failure("-strict: " + leaks_left(r));
    }
    write_and_commit(writer, r, c.cells, c.leak_mask, progress, progress_arg);
    return r;
}

} // namespace

Report elevation(const Request &q, GDALProgressFunc progress, void *progress_arg)
{
    try {
        tolvane::check_smoothing(q.core.smoothing);
    } catch (const tolvane::Error &e) {
        throw Failure(e.what());
    }
    check_products(q.product);

    Report r;
    Window w;
    std::unique_ptr<ContourSource> source;
    {
        const Part reading(progress, progress_arg, 0, 0.05);
        source = std::make_unique<ContourSource>(q, GDALScaledProgress, reading.data());
    }
    step_done("source");
    r.grid = source->grid();
    r.table = source->table();
    r.lines = source->lines();
    r.line_joins = source->line_joins();
    r.without_altitude = source->without_altitude();
    r.without_geometry = source->without_geometry();
    r.oversample = source->choose_oversample(q.core.oversample);
    step_done("choose oversample");
    const double budget = q.core.memory > 0 ? q.core.memory : default_memory_budget();
    const double cells = static_cast<double>(r.grid.rows) * r.grid.columns;
    const tolvane::Levels &l = r.table.levels;
    const bool plain = r.oversample == 1 && (static_cast<long long>(l.highest) - l.lowest) / l.interval <= 254 &&
                       cells * WINDOW_BYTES_PER_CELL <= budget;
    if (!plain)
        return windowed(q, *source, r, progress, progress_arg);
    {
        const Part burning(progress, progress_arg, 0.05, 0.10);
        w = source->prepare(0, 0, r.grid.rows, r.grid.columns, GDALScaledProgress, burning.data());
    }
    source.reset();
    ProductWriter writer(q.product, r.grid, r.table);
    step_done("writer opened");
    r.grid_joins = w.grid_joins;
    r.gap_distance = w.gap_distance;
    r.radius = w.radius;
    r.open_ends = w.open_ends;
    r.footprint = !w.inside.empty();
    r.outside = w.outside;
    r.hidden = w.hidden;

    // What is needed of the burned grid is taken before the core works in it.
    writer.write_contours(w.cells);
    const std::size_t ends_left = ends_left_open(w.cells, r.grid.rows, r.grid.columns, w.inside);
    tolvane::Result result;
    {
        const Part core_run(progress, progress_arg, 0.10, 0.85);
        result = run_core(q, w.cells, r.grid, r.table, core_run);
    }
    step_done("core");
    if (result.leak_pixels > 0) {
        r.ends_left = ends_left;
        if (q.strict) {
            r.leak_pixels = result.leak_pixels;
            r.zone_pixels = result.zone_pixels;
            throw Failure("-strict: " + leaks_left(r));
        }
    }
    if (!w.shown.empty())
        clear_outside(w.cells, w.shown);
    found(r, result.contour_pixels, result.off_level_pixels, result.missing_levels, result.zone_pixels,
          result.leak_pixels);

    write_and_commit(writer, r, w.cells, result.leak_mask, progress, progress_arg);
    return r;
}

// ---- The report in words. ----

namespace {

std::string percent(long long part, long long whole)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

// A distance in pixels, to a tenth.
std::string pixels(double d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", d);
    return text;
}

} // namespace

std::string leaks_left(const Report &r)
{
    const std::string cause =
        r.ends_left > 0
            ? std::to_string(r.ends_left) + " line ends stop in the open inside the footprint: gaps " +
                  (r.gap_distance > 0 ? "wider than " + pixels(r.gap_distance) + " pixels" : "left open") +
                  " (-repair_gaps PIXELS) or lines cut short where the footprint does not see it (-mask FILE)"
            : "no line end is open, so lines of different levels touch: a smaller -tr keeps them apart";
    return std::to_string(r.leak_pixels) + " zone pixels (" + percent(r.leak_pixels, r.zone_pixels) +
           ") lie between contours that are not their zone's; " + cause + "; see where with -leaks FILE";
}

std::vector<std::string> notes(const Report &r, const Request &q)
{
    const Grid &g = r.grid;
    const LevelTable &t = r.table;
    const tolvane::Levels &l = t.levels;
    std::vector<std::string> lines;
    lines.push_back("Grid: " + std::to_string(g.columns) + " x " + std::to_string(g.rows) + " pixels of " +
                    decimal(g.xres) + " x " + decimal(g.yres) + ", top-left corner (" + decimal(g.origin_x) + ", " +
                    decimal(g.origin_y) + ")");
    lines.push_back("Levels: " + level(l.lowest, t) + " to " + level(l.highest, t) + " every " +
                    decimal(l.interval / t.scale) + " (" + std::to_string(t.distinct) + " distinct " +
                    (t.given ? "in the data, levels given" : "found") + ")");
    if (r.oversample > 1 || r.windows > 1)
        lines.push_back("Oversampling: the lines burned " + std::to_string(r.oversample) +
                        " times finer, the core run in " + std::to_string(r.windows) + " window" +
                        (r.windows > 1 ? "s" : "") + ", aggregated to the pixel" +
                        (q.core.oversample > 0 ? "" : " (-oversample 1 turns it off)"));
    if (t.decimals != 1)
        lines.push_back("Scale: the levels were multiplied by " + decimal(t.decimals) +
                        " to make them whole numbers; the result is divided by " + decimal(t.decimals));
    if (r.gap_distance > 0)
        lines.push_back("Gaps: " + std::to_string(r.line_joins + r.grid_joins) + " closed (" +
                        std::to_string(r.line_joins) + " on the lines, " + std::to_string(r.grid_joins) +
                        " on the grid), up to " + pixels(r.gap_distance) + " pixels" +
                        (q.repair.gaps < 0 ? " (the contour spacing)" : ""));
    if (r.radius > 0)
        lines.push_back("Footprint: the area the lines cover, drawn through the " + std::to_string(r.open_ends) +
                        " line ends that stop in the open (radius " + pixels(r.radius) +
                        " pixels); -mask FILE gives it, -mask none turns it off");
    if (r.outside > 0)
        lines.push_back("Outside: " + std::to_string(r.outside) +
                        " pixels beyond the footprint or the lines' extent, walled; " + std::to_string(r.hidden) +
                        " of them nodata in the output");
    return lines;
}

std::vector<std::string> warnings(const Report &r, const Request &q)
{
    std::vector<std::string> lines;
    auto left_out = [&lines](const std::vector<long long> &fids, const char *what) {
        if (fids.empty())
            return;
        const bool one = fids.size() == 1;
        lines.push_back(std::to_string(fids.size()) + (one ? " line " : " lines ") + what + " (" + fid_list(fids) +
                        (one ? ") was left out" : ") were left out"));
    };
    left_out(r.without_altitude, "without an altitude");
    left_out(r.without_geometry, "without a geometry");
    if (r.off_level_pixels > 0)
        lines.push_back(std::to_string(r.off_level_pixels) +
                        " contour pixels hold an altitude that is no level of the table: they bound no zone");
    if (!r.missing_levels.empty()) {
        std::string list;
        for (std::size_t k = 0; k < r.missing_levels.size() && k < 10; k++)
            list += (k ? ", " : "") + decimal(r.missing_levels[k]);
        lines.push_back("no pixel holds the level" + std::string(r.missing_levels.size() > 1 ? "s " : " ") + list +
                        (r.missing_levels.size() > 10 ? ", ..." : "") + ": its zones are filled, not interpolated");
    }
    if (r.leak_pixels > 0)
        lines.push_back(leaks_left(r));
    if (r.clamped > 0)
        lines.push_back(std::to_string(r.clamped) + " cells outside the range of " + type_name(q.product.type) +
                        " were clamped to it");
    if (r.nodata_in_data > 0)
        lines.push_back(std::to_string(r.nodata_in_data) + " cells hold the nodata value " + decimal(r.nodata) +
                        " as an altitude");
    return lines;
}

} // namespace tolvane::geo
