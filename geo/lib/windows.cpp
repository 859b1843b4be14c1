#include "windows.h"

#include "failure.h"
#include "surface.h"
#include "timing.h"

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <deque>
#include <future>
#include <memory>
#include <set>
#include <string>

#include <cpl_conv.h>
#include <cpl_error.h>

namespace tolvane::geo {

namespace {

using Cells = std::vector<std::int32_t>;

// A window to run: the cells it owns, and where its burned cells come from (the
// source, or the cells of a window it was cut from, which hold its own).
struct Job {
    Block own;
    int halo = 0;
    std::shared_ptr<const Cells> parent_cells;
    Block parent;
};

std::string mib(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", std::ceil(bytes / (1024.0 * 1024.0) * 10) / 10);
    return text;
}

Block with_halo(const Block &own, int halo, int rows, int columns)
{
    Block w;
    w.row = std::max(0, own.row - halo);
    w.column = std::max(0, own.column - halo);
    w.rows = std::min(rows, own.row + own.rows + halo) - w.row;
    w.columns = std::min(columns, own.column + own.columns + halo) - w.column;
    return w;
}

Block intersection(const Block &a, const Block &b)
{
    Block w;
    w.row = std::max(a.row, b.row);
    w.column = std::max(a.column, b.column);
    w.rows = std::max(0, std::min(a.row + a.rows, b.row + b.rows) - w.row);
    w.columns = std::max(0, std::min(a.column + a.columns, b.column + b.columns) - w.column);
    return w;
}

// Cells on window `part` spread over window w, which contains it: each cell of
// w outside `part` takes the value of the nearest cell of `part` along rows and
// columns (its edge continued).
template <typename T>
std::vector<T> spread(const std::vector<T> &cells, const Block &part, const Block &w)
{
    if (part.rows == w.rows && part.columns == w.columns)
        return cells;
    std::vector<T> out(static_cast<std::size_t>(w.rows) * w.columns);
    for (int i = 0; i < w.rows; i++) {
        const int pi = std::clamp(w.row + i - part.row, 0, part.rows - 1);
        for (int j = 0; j < w.columns; j++) {
            const int pj = std::clamp(w.column + j - part.column, 0, part.columns - 1);
            out[static_cast<std::size_t>(i) * w.columns + j] = cells[static_cast<std::size_t>(pi) * part.columns + pj];
        }
    }
    return out;
}

// The cells of window w taken from those of window from, which contains it.
std::shared_ptr<Cells> cut(const Cells &cells, const Block &from, const Block &w)
{
    auto out = std::make_shared<Cells>(static_cast<std::size_t>(w.rows) * w.columns);
    for (int i = 0; i < w.rows; i++) {
        const std::int32_t *row = cells.data() + static_cast<std::size_t>(w.row - from.row + i) * from.columns +
                                  (w.column - from.column);
        std::copy(row, row + w.columns, out->data() + static_cast<std::size_t>(i) * w.columns);
    }
    return out;
}

// The cells the source burns for window w, checked for their number.
Cells burned(const BurnCells &burn, const Block &w)
{
    Cells cells = burn(w);
    if (cells.size() != static_cast<std::size_t>(w.rows) * static_cast<std::size_t>(w.columns))
        throw Failure("the source gave " + std::to_string(cells.size()) + " cells for a window of " +
                      std::to_string(w.rows) + " x " + std::to_string(w.columns));
    return cells;
}

// Sizes of `parts` pieces of `length` cells, each a multiple of `factor`
// (length is one), as equal as that allows.
std::vector<int> split(int length, int parts, int factor)
{
    const int units = length / factor;
    std::vector<int> sizes;
    for (int k = 0; k < parts; k++) {
        const int from = static_cast<int>(static_cast<long long>(units) * k / parts);
        const int to = static_cast<int>(static_cast<long long>(units) * (k + 1) / parts);
        if (to > from)
            sizes.push_back((to - from) * factor);
    }
    return sizes;
}

// The part of the table that contours from low to high use (as the tiles of
// the Python module take it).
tolvane::Levels part_of(const tolvane::Levels &l, long long low, long long high)
{
    const long long zones = (static_cast<long long>(l.highest) - l.lowest) / l.interval;
    auto floor_div = [](long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); };
    const long long k0 = std::clamp(floor_div(low - l.lowest, l.interval), 0LL, zones);
    const long long k1 = std::max(std::min(zones, -floor_div(l.lowest - high, l.interval)), k0);
    return {static_cast<int>(l.lowest + k0 * l.interval), static_cast<int>(l.lowest + k1 * l.interval), l.interval};
}

long long zones_of(const tolvane::Levels &l)
{
    return l.interval == 0 ? 0 : (static_cast<long long>(l.highest) - l.lowest) / l.interval;
}

bool on_level(std::int32_t v, const tolvane::Levels &l)
{
    if (l.interval == 0)
        return v == l.lowest;
    const long long d = static_cast<long long>(v) - l.lowest;
    const long long span = static_cast<long long>(l.highest) - l.lowest;
    return d % l.interval == 0 && (l.interval > 0 ? d >= 0 && d <= span : d <= 0 && d >= span);
}

} // namespace

Margins fine_margins(int factor, double top, double left, double bottom, double right)
{
    auto inset = [factor](double cells) {
        return std::clamp(static_cast<int>(std::floor(cells)) - 1, 0, factor - 1);
    };
    return {inset(top), inset(left), inset(bottom), inset(right)};
}

// The windows decide the cells (each window's core sees only its halo), so the
// budget that cuts them is the same on every machine: the same command gives the
// same model wherever it runs, and a machine with less memory refuses it or runs
// out rather than computing another one.
double default_memory_budget() { return DEFAULT_MEMORY_BUDGET; }

WindowedResult run_windows(const WindowedRun &run, const BurnWindow &burn)
{
    return run_windows(run, BurnCells([&burn](const Block &w) {
                           Cells cells(static_cast<std::size_t>(w.rows) * w.columns, tolvane::EMPTY);
                           burn(w, cells.data());
                           return cells;
                       }));
}

namespace {

// The core in a window's cells, then, when asked, the smooth surface on its
// result, on the grid the lines were burned on: a pixel of an oversampled grid
// that a line crosses is a band's for most of its fine cells. The surface is
// rounded back to the core's units, a thousandth of the interval or finer.
tolvane::Result core_and_surface(Cells &cells, int rows, int columns, const tolvane::Levels &levels,
                                 const tolvane::Options &core, bool smooth)
{
    Cells burned = smooth ? cells : Cells();
    tolvane::Result r = tolvane::elevation_in_place(cells.data(), rows, columns, levels, core);
    if (smooth) {
        step_done("window: core");
        smooth_surface(cells, rows, columns, levels, std::move(burned));
        step_done("window: surface");
    }
    return r;
}

} // namespace

WindowedResult run_windows(const WindowedRun &run, const BurnCells &burn)
{
    const int n = run.factor;
    if (n < 1 || run.rows < n || run.columns < n || run.rows % n != 0 || run.columns % n != 0)
        throw Failure("a grid of " + std::to_string(run.rows) + " x " + std::to_string(run.columns) +
                      " cells cannot be aggregated by " + std::to_string(n));
    WindowedResult result;
    result.rows = run.rows / n;
    result.columns = run.columns / n;
    result.zones = static_cast<int>(std::min<long long>(zones_of(run.levels), 1 << 30));
    const double budget = run.memory > 0 ? run.memory : default_memory_budget();
    const double max_cells = budget / WINDOW_BYTES_PER_CELL;
    const double whole = static_cast<double>(run.rows) * run.columns;
    const bool table_fits = run.levels.interval == 0 || zones_of(run.levels) <= 254;

    tolvane::Options core;
    core.smoothing = run.smoothing;
    core.threads = run.threads;
    core.want_leak_mask = run.want_leak_mask;
    core.cancel = run.cancel;

    // The core runs on the grid less the inset, when that leaves some; the
    // result there continues the nearest computed cell.
    const Margins &m = run.inset;
    Block inner{m.top, m.left, run.rows - m.top - m.bottom, run.columns - m.left - m.right};
    if (std::min({m.top, m.left, m.bottom, m.right}) < 0 || inner.rows < 1 || inner.columns < 1)
        inner = {0, 0, run.rows, run.columns};
    result.cells.assign(static_cast<std::size_t>(result.rows) * result.columns, NAN);
    if (run.want_leak_mask)
        result.leak_mask.assign(result.cells.size(), 0);

    // The core's result `cells` on part (the core's part of window w) into the
    // cells of the result that `own` holds.
    auto keep = [&](const Cells &cells, const tolvane::Result &r, const Block &part, const Block &w, const Block &own) {
        std::vector<double> coarse = aggregate_spread(cells.data(), part.rows, part.columns, part.row - w.row,
                                                      part.column - w.column, w.rows, w.columns, n, run.aggregation,
                                                      run.side);
        std::vector<std::uint8_t> leaks;
        if (run.want_leak_mask) {
            const std::vector<std::uint8_t> mask = spread(r.leak_mask, part, w);
            leaks = aggregate_any(mask.data(), w.rows, w.columns, n);
        }
        if (own.rows == run.rows && own.columns == run.columns) { // the whole grid
            result.cells = std::move(coarse);
            if (run.want_leak_mask)
                result.leak_mask = std::move(leaks);
            return;
        }
        const int wc = w.columns / n, r0 = (own.row - w.row) / n, c0 = (own.column - w.column) / n;
        for (int i = 0; i < own.rows / n; i++) {
            const std::size_t from = static_cast<std::size_t>(r0 + i) * wc + c0;
            const std::size_t to = static_cast<std::size_t>(own.row / n + i) * result.columns + own.column / n;
            std::copy_n(coarse.begin() + from, own.columns / n, result.cells.begin() + to);
            if (run.want_leak_mask)
                std::copy_n(leaks.begin() + from, own.columns / n, result.leak_mask.begin() + to);
        }
    };

    // One window: the whole grid, the whole table, the core's own counts. The
    // core works in the burned cells and the result is aggregated from there.
    if (whole <= max_cells && table_fits) {
        const Block all{0, 0, run.rows, run.columns};
        Cells cells = burned(burn, inner);
        step_done("window: burned");
        core.progress = run.progress;
        const tolvane::Result r = core_and_surface(cells, inner.rows, inner.columns, run.levels, core, run.smooth);
        step_done("window: core");
        keep(cells, r, inner, all, all);
        cells = Cells();
        step_done("window: aggregated");
        result.contour_pixels = r.contour_pixels;
        result.off_level_pixels = r.off_level_pixels;
        result.missing_levels = r.missing_levels;
        result.zone_pixels = r.zone_pixels;
        result.leak_pixels = r.leak_pixels;
        result.windows = 1;
        result.window_cells = static_cast<long long>(whole);
        return result;
    }

    int halo = run.halo < 0 ? DEFAULT_HALO * n : run.halo;
    halo = (halo + n - 1) / n * n;
    result.halo = halo;
    const int least_halo = std::min(halo, MIN_HALO * n);
    std::deque<Job> jobs;
    if (whole <= max_cells) {
        jobs.push_back({{0, 0, run.rows, run.columns}, halo, nullptr, {}});
    } else {
        const int least = std::max(n, 64 / n * n);
        const double side = std::floor((std::sqrt(max_cells) - 2.0 * halo) / n) * n;
        if (side < least)
            throw Failure("a memory budget of " + mib(budget) + " is too small for windows with a halo of " +
                          std::to_string(halo) + " cells: give at least " +
                          mib(std::pow(least + 2.0 * halo, 2) * WINDOW_BYTES_PER_CELL));
        const int parts_r = static_cast<int>(std::ceil(run.rows / side));
        const int parts_c = static_cast<int>(std::ceil(run.columns / side));
        int row = 0;
        for (int h : split(run.rows, parts_r, n)) {
            int column = 0;
            for (int w : split(run.columns, parts_c, n)) {
                jobs.push_back({{row, column, h, w}, halo, nullptr, {}});
                column += w;
            }
            row += h;
        }
    }

    std::set<std::int32_t> present; // levels of the table found on some cell
    bool any_contour = false;
    double done = 0;

    // The next window of the source is burned while the core runs this one.
    std::future<std::shared_ptr<Cells>> next;
    Block next_window;
    auto burn_now = [&burn](Block w) { return std::make_shared<Cells>(burned(burn, w)); };
    auto burn_async = [&burn_now](Block w) {
        // GDAL's messages are the caller's to show: on this thread, where they
        // would go to the console, they are kept quiet (a source that fails
        // throws, with GDAL's last message of its thread).
        CPLPushErrorHandler(CPLQuietErrorHandler);
        struct Pop {
            ~Pop() { CPLPopErrorHandler(); }
        } pop;
        return burn_now(w);
    };

    while (!jobs.empty()) {
        const Job job = jobs.front();
        jobs.pop_front();
        const Block w = with_halo(job.own, job.halo, run.rows, run.columns);
        const Block part = intersection(w, inner); // what the core sees of w
        std::shared_ptr<Cells> cells;
        if (job.parent_cells) {
            cells = cut(*job.parent_cells, job.parent, part);
        } else if (next.valid() && next_window.row == part.row && next_window.column == part.column) {
            cells = next.get();
        } else {
            cells = burn_now(part);
        }
        if (!next.valid() && !jobs.empty() && !jobs.front().parent_cells) {
            next_window = intersection(with_halo(jobs.front().own, jobs.front().halo, run.rows, run.columns), inner);
            next = std::async(std::launch::async, burn_async, next_window);
        }
        result.window_cells = std::max(result.window_cells, static_cast<long long>(part.rows) * part.columns);

        std::int32_t low = 0, high = 0;
        bool found = false;
        for (std::int32_t v : *cells)
            if (v != tolvane::EMPTY) {
                low = found ? std::min(low, v) : v;
                high = found ? std::max(high, v) : v;
                found = true;
            }
        const std::size_t own_cells = static_cast<std::size_t>(job.own.rows) * job.own.columns;
        if (!found) { // no contour within the halo: the window stays without value
            done += static_cast<double>(own_cells);
            continue;
        }
        any_contour = true;
        tolvane::Levels levels = run.levels;
        if (!table_fits)
            levels = part_of(run.levels, low, high);
        if (zones_of(levels) > 254) {
            // Too many zones within this window: cut its own part in four while
            // it is larger than its halo, then halve the halo down to
            // MIN_HALO pixels (the windows cost accuracy, but the table fits),
            // then cut it down to one pixel.
            const Block &o = job.own;
            const int hr = o.rows >= 2 * n ? o.rows / n / 2 * n : o.rows;
            const int hc = o.columns >= 2 * n ? o.columns / n / 2 * n : o.columns;
            std::vector<Block> quarters;
            for (const auto &[r, h] : {std::pair{o.row, hr}, std::pair{o.row + hr, o.rows - hr}})
                for (const auto &[c, wd] : {std::pair{o.column, hc}, std::pair{o.column + hc, o.columns - hc}})
                    if (h > 0 && wd > 0)
                        quarters.push_back({r, c, h, wd});
            if (quarters.size() > 1 && (o.rows > job.halo || o.columns > job.halo || job.halo <= least_halo)) {
                for (auto q = quarters.rbegin(); q != quarters.rend(); ++q)
                    jobs.push_front({*q, job.halo, cells, part});
                continue;
            }
            if (job.halo <= least_halo)
                throw tolvane::Error(tolvane::ErrorKind::too_many_zones,
                                     "too many zones (" + std::to_string(zones_of(levels)) + ") within " +
                                         std::to_string(least_halo / n) + " pixels of a single pixel: at most 254",
                                     {zones_of(levels), least_halo / n});
            const int halved = std::max(least_halo, job.halo / 2 / n * n);
            jobs.push_front({o, halved, cells, part});
            result.halo = std::min(result.halo, halved);
            continue;
        }

        // The contours the window owns are counted before the core works in its cells.
        const Block counted = intersection(job.own, part);
        const auto owned = [&](int i, int j) {
            return static_cast<std::size_t>(counted.row - part.row + i) * part.columns + (counted.column - part.column + j);
        };
        for (int i = 0; i < counted.rows; i++)
            for (int j = 0; j < counted.columns; j++) {
                const std::int32_t v = (*cells)[owned(i, j)];
                if (v == tolvane::EMPTY)
                    continue;
                result.contour_pixels++;
                if (on_level(v, run.levels))
                    present.insert(v);
                else
                    result.off_level_pixels++;
            }
        core.want_leak_mask = true; // the leaks are counted on the cells the window owns
        core.progress = [&](double f) {
            if (run.progress)
                run.progress((done + f * static_cast<double>(own_cells)) / whole);
        };
        if (cells.use_count() > 1) // still another's: the core works in a copy
            cells = std::make_shared<Cells>(*cells);
        const tolvane::Result r = core_and_surface(*cells, part.rows, part.columns, levels, core, run.smooth);
        result.windows++;
        for (int i = 0; i < counted.rows; i++)
            for (int j = 0; j < counted.columns; j++)
                result.leak_pixels += r.leak_mask[owned(i, j)];
        result.zone_pixels += static_cast<long long>(std::llround(static_cast<double>(r.zone_pixels) *
                                                                  static_cast<double>(counted.rows) * counted.columns /
                                                                  (static_cast<double>(part.rows) * part.columns)));
        keep(*cells, r, part, w, job.own);
        cells.reset();
        done += static_cast<double>(own_cells);
        if (run.progress)
            run.progress(done / whole);
    }
    if (!any_contour)
        throw tolvane::Error(tolvane::ErrorKind::no_altitude, "the grid holds no altitude at all");
    const tolvane::Levels &l = run.levels;
    if (l.interval > 0 && zones_of(l) < 1000000)
        for (long long v = l.lowest; v <= l.highest; v += l.interval)
            if (!present.count(static_cast<std::int32_t>(v)))
                result.missing_levels.push_back(static_cast<int>(v));
    return result;
}

} // namespace tolvane::geo
