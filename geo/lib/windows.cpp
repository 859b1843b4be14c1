#include "windows.h"

#include "failure.h"
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

// Whether the core takes the whole level table at once (at most 254 zones).
bool table_fits(const tolvane::Levels &levels) { return levels.interval == 0 || zones_of(levels) <= 254; }

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

double window_cells_within(double budget, double pixels)
{
    return std::max(0.0, budget - pixels * RESULT_BYTES_PER_PIXEL) / WINDOW_BYTES_PER_CELL;
}

bool runs_as_one_window(const tolvane::Levels &levels, double cells, double pixels, double memory)
{
    return table_fits(levels) && cells <= window_cells_within(memory > 0 ? memory : default_memory_budget(), pixels);
}

WindowedResult run_windows(const WindowedRun &run, const BurnWindow &burn)
{
    return run_windows(run, BurnCells([&burn](const Block &w) {
                           Cells cells(static_cast<std::size_t>(w.rows) * w.columns, tolvane::EMPTY);
                           burn(w, cells.data());
                           return cells;
                       }));
}

namespace {

// One run of the windows: the jobs left, the window burned ahead, and what the
// windows found so far.
class Windows {
public:
    Windows(const WindowedRun &run, const BurnCells &burn);
    WindowedResult run();

private:
    void keep(const Cells &cells, const tolvane::Result &r, const Block &part, const Block &w, const Block &own);
    WindowedResult whole();
    void plan();
    std::shared_ptr<Cells> cells_of(const Job &job, const Block &part);
    bool too_many_zones(const Job &job, const Block &part, const std::shared_ptr<Cells> &cells,
                        const tolvane::Levels &levels);
    void count_contours(const Cells &cells, const Block &counted, const Block &part);
    void run_core(const Job &job, const Block &w, const Block &part, std::shared_ptr<Cells> cells,
                  const tolvane::Levels &levels);
    void missing_levels();

    const WindowedRun &run_;
    const BurnCells &burn_;
    const int n_;
    WindowedResult result_;
    double budget_, max_cells_, whole_;
    tolvane::Options core_;
    Block inner_;
    int least_halo_ = 0; // the least halo a window with too many zones is given
    std::deque<Job> jobs_;
    std::set<std::int32_t> present_; // levels of the table found on some cell
    bool any_contour_ = false;
    double done_ = 0;
    // The next window of the source is burned while the core runs this one.
    std::future<std::shared_ptr<Cells>> next_;
    Block next_window_;
};

Windows::Windows(const WindowedRun &run, const BurnCells &burn) : run_(run), burn_(burn), n_(run.factor)
{
    if (n_ < 1 || run.rows < n_ || run.columns < n_ || run.rows % n_ != 0 || run.columns % n_ != 0)
        throw Failure("a grid of " + std::to_string(run.rows) + " x " + std::to_string(run.columns) +
                      " cells cannot be aggregated by " + std::to_string(n_));
    result_.rows = run.rows / n_;
    result_.columns = run.columns / n_;
    result_.zones = static_cast<int>(std::min<long long>(zones_of(run.levels), 1 << 30));
    budget_ = run.memory > 0 ? run.memory : default_memory_budget();
    max_cells_ = window_cells_within(budget_, static_cast<double>(result_.rows) * result_.columns);
    whole_ = static_cast<double>(run.rows) * run.columns;
    core_.smoothing = run.smoothing;
    core_.threads = run.threads;
    core_.want_leak_mask = run.want_leak_mask;
    core_.cancel = run.cancel;
    // The core runs on the grid less the inset, when that leaves some; the
    // result there continues the nearest computed cell.
    const Margins &m = run.inset;
    inner_ = {m.top, m.left, run.rows - m.top - m.bottom, run.columns - m.left - m.right};
    if (std::min({m.top, m.left, m.bottom, m.right}) < 0 || inner_.rows < 1 || inner_.columns < 1)
        inner_ = {0, 0, run.rows, run.columns};
}

// The core's result `cells` on part (the core's part of window w) into the
// cells of the result that `own` holds.
void Windows::keep(const Cells &cells, const tolvane::Result &r, const Block &part, const Block &w, const Block &own)
{
    std::vector<double> coarse = aggregate_spread(cells.data(), part.rows, part.columns, part.row - w.row,
                                                  part.column - w.column, w.rows, w.columns, n_, run_.aggregation,
                                                  run_.side);
    std::vector<std::uint8_t> leaks;
    if (run_.want_leak_mask) {
        const std::vector<std::uint8_t> mask = spread(r.leak_mask, part, w);
        leaks = aggregate_any(mask.data(), w.rows, w.columns, n_);
    }
    if (own.rows == run_.rows && own.columns == run_.columns) { // the whole grid
        result_.cells = std::move(coarse);
        if (run_.want_leak_mask)
            result_.leak_mask = std::move(leaks);
        return;
    }
    const int wc = w.columns / n_, r0 = (own.row - w.row) / n_, c0 = (own.column - w.column) / n_;
    for (int i = 0; i < own.rows / n_; i++) {
        const std::size_t from = static_cast<std::size_t>(r0 + i) * wc + c0;
        const std::size_t to = static_cast<std::size_t>(own.row / n_ + i) * result_.columns + own.column / n_;
        std::copy_n(coarse.begin() + from, own.columns / n_, result_.cells.begin() + to);
        if (run_.want_leak_mask)
            std::copy_n(leaks.begin() + from, own.columns / n_, result_.leak_mask.begin() + to);
    }
}

// One window: the whole grid, the whole table, the core's own counts. The
// core works in the burned cells and the result is aggregated from there.
WindowedResult Windows::whole()
{
    const Block all{0, 0, run_.rows, run_.columns};
    Cells cells = burned(burn_, inner_);
    step_done("window: burned");
    core_.progress = run_.progress;
    const tolvane::Result r = tolvane::elevation_in_place(cells.data(), inner_.rows, inner_.columns, run_.levels, core_);
    step_done("window: core");
    keep(cells, r, inner_, all, all);
    cells = Cells();
    step_done("window: aggregated");
    result_.contour_pixels = r.contour_pixels;
    result_.off_level_pixels = r.off_level_pixels;
    result_.missing_levels = r.missing_levels;
    result_.zone_pixels = r.zone_pixels;
    result_.leak_pixels = r.leak_pixels;
    result_.windows = 1;
    result_.window_cells = static_cast<long long>(whole_);
    return std::move(result_);
}

// The first jobs: square windows as large as the budget allows with their halo.
void Windows::plan()
{
    // The windows fill the result piece by piece (a run of one window makes
    // it whole, after its core has given back its memory).
    result_.cells.assign(static_cast<std::size_t>(result_.rows) * result_.columns, NAN);
    if (run_.want_leak_mask)
        result_.leak_mask.assign(result_.cells.size(), 0);
    int halo = run_.halo < 0 ? DEFAULT_HALO * n_ : run_.halo;
    halo = (halo + n_ - 1) / n_ * n_;
    result_.halo = halo;
    least_halo_ = std::min(halo, MIN_HALO * n_);
    if (whole_ <= max_cells_) {
        jobs_.push_back({{0, 0, run_.rows, run_.columns}, halo, nullptr, {}});
        return;
    }
    const int least = std::max(n_, 64 / n_ * n_);
    const double side = std::floor((std::sqrt(max_cells_) - 2.0 * halo) / n_) * n_;
    if (side < least)
        throw Failure("a memory budget of " + mib(budget_) + " is too small for windows with a halo of " +
                      std::to_string(halo) + " cells beside the result: give at least " +
                      mib(std::pow(least + 2.0 * halo, 2) * WINDOW_BYTES_PER_CELL +
                          static_cast<double>(result_.rows) * result_.columns * RESULT_BYTES_PER_PIXEL));
    const int parts_r = static_cast<int>(std::ceil(run_.rows / side));
    const int parts_c = static_cast<int>(std::ceil(run_.columns / side));
    int row = 0;
    for (int h : split(run_.rows, parts_r, n_)) {
        int column = 0;
        for (int w : split(run_.columns, parts_c, n_)) {
            jobs_.push_back({{row, column, h, w}, halo, nullptr, {}});
            column += w;
        }
        row += h;
    }
}

// The burned cells of a job's part: cut from its parent's, the window burned
// ahead, or burned now; the next job's window starts burning meanwhile.
std::shared_ptr<Cells> Windows::cells_of(const Job &job, const Block &part)
{
    auto burn_now = [this](Block w) { return std::make_shared<Cells>(burned(burn_, w)); };
    std::shared_ptr<Cells> cells;
    if (job.parent_cells)
        cells = cut(*job.parent_cells, job.parent, part);
    else if (next_.valid() && next_window_.row == part.row && next_window_.column == part.column)
        cells = next_.get();
    else
        cells = burn_now(part);
    if (!next_.valid() && !jobs_.empty() && !jobs_.front().parent_cells) {
        next_window_ = intersection(with_halo(jobs_.front().own, jobs_.front().halo, run_.rows, run_.columns), inner_);
        next_ = std::async(std::launch::async, [burn_now](Block w) {
            // GDAL's messages are the caller's to show: on this thread, where they
            // would go to the console, they are kept quiet (a source that fails
            // throws, with GDAL's last message of its thread).
            CPLPushErrorHandler(CPLQuietErrorHandler);
            struct Pop {
                ~Pop() { CPLPopErrorHandler(); }
            } pop;
            return burn_now(w);
        }, next_window_);
    }
    return cells;
}

// Too many zones within this window: its own part is cut in four while it is
// larger than its halo, then its halo halved down to MIN_HALO pixels (the
// windows cost accuracy, but the table fits), then it is cut down to one pixel.
// Returns false when the table fits.
bool Windows::too_many_zones(const Job &job, const Block &part, const std::shared_ptr<Cells> &cells,
                             const tolvane::Levels &levels)
{
    if (zones_of(levels) <= 254)
        return false;
    const int least_halo = least_halo_;
    const Block &o = job.own;
    const int hr = o.rows >= 2 * n_ ? o.rows / n_ / 2 * n_ : o.rows;
    const int hc = o.columns >= 2 * n_ ? o.columns / n_ / 2 * n_ : o.columns;
    std::vector<Block> quarters;
    for (const auto &[r, h] : {std::pair{o.row, hr}, std::pair{o.row + hr, o.rows - hr}})
        for (const auto &[c, wd] : {std::pair{o.column, hc}, std::pair{o.column + hc, o.columns - hc}})
            if (h > 0 && wd > 0)
                quarters.push_back({r, c, h, wd});
    if (quarters.size() > 1 && (o.rows > job.halo || o.columns > job.halo || job.halo <= least_halo)) {
        for (auto q = quarters.rbegin(); q != quarters.rend(); ++q)
            jobs_.push_front({*q, job.halo, cells, part});
        return true;
    }
    if (job.halo <= least_halo)
        throw tolvane::Error(tolvane::ErrorKind::too_many_zones,
                             "too many zones (" + std::to_string(zones_of(levels)) + ") within " +
                                 std::to_string(least_halo / n_) + " pixels of a single pixel: at most 254",
                             {zones_of(levels), least_halo / n_});
    const int halved = std::max(least_halo, job.halo / 2 / n_ * n_);
    jobs_.push_front({o, halved, cells, part});
    result_.halo = std::min(result_.halo, halved);
    return true;
}

// The contours the window owns, counted before the core works in its cells.
void Windows::count_contours(const Cells &cells, const Block &counted, const Block &part)
{
    for (int i = 0; i < counted.rows; i++)
        for (int j = 0; j < counted.columns; j++) {
            const std::int32_t v =
                cells[static_cast<std::size_t>(counted.row - part.row + i) * part.columns + (counted.column - part.column + j)];
            if (v == tolvane::EMPTY)
                continue;
            result_.contour_pixels++;
            if (on_level(v, run_.levels))
                present_.insert(v);
            else
                result_.off_level_pixels++;
        }
}

void Windows::run_core(const Job &job, const Block &w, const Block &part, std::shared_ptr<Cells> cells,
                       const tolvane::Levels &levels)
{
    const std::size_t own_cells = static_cast<std::size_t>(job.own.rows) * job.own.columns;
    const Block counted = intersection(job.own, part);
    count_contours(*cells, counted, part);
    core_.want_leak_mask = true; // the leaks are counted on the cells the window owns
    core_.progress = [&](double f) {
        if (run_.progress)
            run_.progress((done_ + f * static_cast<double>(own_cells)) / whole_);
    };
    if (cells.use_count() > 1) // still another's: the core works in a copy
        cells = std::make_shared<Cells>(*cells);
    const tolvane::Result r = tolvane::elevation_in_place(cells->data(), part.rows, part.columns, levels, core_);
    result_.windows++;
    for (int i = 0; i < counted.rows; i++)
        for (int j = 0; j < counted.columns; j++)
            result_.leak_pixels +=
                r.leak_mask[static_cast<std::size_t>(counted.row - part.row + i) * part.columns +
                            (counted.column - part.column + j)];
    result_.zone_pixels += static_cast<long long>(std::llround(static_cast<double>(r.zone_pixels) *
                                                               static_cast<double>(counted.rows) * counted.columns /
                                                               (static_cast<double>(part.rows) * part.columns)));
    keep(*cells, r, part, w, job.own);
    cells.reset();
    done_ += static_cast<double>(own_cells);
    if (run_.progress)
        run_.progress(done_ / whole_);
}

void Windows::missing_levels()
{
    const tolvane::Levels &l = run_.levels;
    if (l.interval > 0 && zones_of(l) < 1000000)
        for (long long v = l.lowest; v <= l.highest; v += l.interval)
            if (!present_.count(static_cast<std::int32_t>(v)))
                result_.missing_levels.push_back(static_cast<int>(v));
}

WindowedResult Windows::run()
{
    if (runs_as_one_window(run_.levels, whole_, static_cast<double>(result_.rows) * result_.columns, run_.memory))
        return whole();
    plan();
    while (!jobs_.empty()) {
        const Job job = jobs_.front();
        jobs_.pop_front();
        const Block w = with_halo(job.own, job.halo, run_.rows, run_.columns);
        const Block part = intersection(w, inner_); // what the core sees of w
        std::shared_ptr<Cells> cells = cells_of(job, part);
        result_.window_cells = std::max(result_.window_cells, static_cast<long long>(part.rows) * part.columns);
        std::int32_t low = 0, high = 0;
        bool found = false;
        for (std::int32_t v : *cells)
            if (v != tolvane::EMPTY) {
                low = found ? std::min(low, v) : v;
                high = found ? std::max(high, v) : v;
                found = true;
            }
        if (!found) { // no contour within the halo: the window stays without value
            done_ += static_cast<double>(job.own.rows) * job.own.columns;
            continue;
        }
        any_contour_ = true;
        const tolvane::Levels levels = table_fits(run_.levels) ? run_.levels : part_of(run_.levels, low, high);
        if (too_many_zones(job, part, cells, levels))
            continue;
        run_core(job, w, part, std::move(cells), levels);
    }
    if (!any_contour_)
        throw tolvane::Error(tolvane::ErrorKind::no_altitude, "the grid holds no altitude at all");
    missing_levels();
    return std::move(result_);
}

} // namespace

WindowedResult run_windows(const WindowedRun &run, const BurnCells &burn) { return Windows(run, burn).run(); }

} // namespace tolvane::geo
