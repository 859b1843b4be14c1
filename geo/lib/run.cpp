// The whole run of a request: source, grid, levels, burning, repairs, footprint,
// the core, the products; and the report in words.
#include "failure.h"
#include "footprint.h"
#include "grid.h"
#include "levels.h"
#include "output.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include <cpl_progress.h>

namespace tolvane::geo {

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

tolvane::Result run_core(const Request &q, const std::vector<std::int32_t> &cells, const Grid &g,
                         const LevelTable &t, const Part &part)
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
        return tolvane::elevation(cells.data(), g.rows, g.columns, t.levels, core);
    } catch (const tolvane::Error &e) {
        if (e.kind() == tolvane::ErrorKind::cancelled)
            throw Cancelled();
        throw Failure(explain(e, g, t));
    }
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
    {
        const Part reading(progress, progress_arg, 0, 0.05);
        const ContourSource source(q, GDALScaledProgress, reading.data());
        r.grid = source.grid();
        r.table = source.table();
        r.lines = source.lines();
        r.line_joins = source.line_joins();
        r.without_altitude = source.without_altitude();
        r.without_geometry = source.without_geometry();
        const Part burning(progress, progress_arg, 0.05, 0.10);
        w = source.prepare(0, 0, r.grid.rows, r.grid.columns, GDALScaledProgress, burning.data());
    }
    ProductWriter writer(q.product, r.grid, r.table);
    r.grid_joins = w.grid_joins;
    r.footprint = !w.inside.empty();
    r.outside = w.outside;

    tolvane::Result result;
    {
        const Part core_run(progress, progress_arg, 0.10, 0.85);
        result = run_core(q, w.cells, r.grid, r.table, core_run);
    }
    if (r.footprint)
        clear_outside(result.cells, w.inside);
    r.contour_pixels = result.contour_pixels;
    r.off_level_pixels = result.off_level_pixels;
    for (int l : result.missing_levels)
        r.missing_levels.push_back(unscaled(l, r.table));
    r.zone_pixels = result.zone_pixels;
    r.leak_pixels = result.leak_pixels;

    {
        const Part writing(progress, progress_arg, 0.85, 1.0);
        writer.write(0, 0, r.grid.rows, r.grid.columns, result.cells.data());
        result.cells = {};
        writer.write_contours(w.cells);
        writer.write_leaks(result.leak_mask);
        writer.commit(GDALScaledProgress, writing.data());
    }
    r.nodata = writer.nodata();
    r.clamped = writer.clamped();
    r.nodata_in_data = writer.nodata_in_data();
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

} // namespace

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
    if (t.decimals != 1)
        lines.push_back("Scale: the levels were multiplied by " + decimal(t.decimals) +
                        " to make them whole numbers; the result is divided by " + decimal(t.decimals));
    if (q.repair.gaps > 0)
        lines.push_back("Gaps: " + std::to_string(r.line_joins + r.grid_joins) + " closed (" +
                        std::to_string(r.line_joins) + " on the lines, " + std::to_string(r.grid_joins) +
                        " on the grid)");
    if (r.footprint)
        lines.push_back("Footprint: " + std::to_string(r.outside) + " pixels outside it, nodata in the output");
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
        lines.push_back(std::to_string(r.leak_pixels) + " zone pixels (" + percent(r.leak_pixels, r.zone_pixels) +
                        ") lie between contours that are not their zone's: lines with gaps or open ends; close the "
                        "gaps with -repair_gaps PIXELS, give the area the lines cover with -mask FILE, see where "
                        "with -leaks FILE");
    if (r.clamped > 0)
        lines.push_back(std::to_string(r.clamped) + " cells outside the range of " + type_name(q.product.type) +
                        " were clamped to it");
    if (r.nodata_in_data > 0)
        lines.push_back(std::to_string(r.nodata_in_data) + " cells hold the nodata value " + decimal(r.nodata) +
                        " as an altitude");
    return lines;
}

} // namespace tolvane::geo
