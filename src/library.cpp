// The core as a library (include/tolvane/tolvane.h): the phases run on a grid held
// in memory exactly as the dialog runs them on its image, in the same order and on
// the same program-wide grids, so the result is the dialog's `_m4.raw` cell for cell.
#include <tolvane/tolvane.h>

#include "console.h"
#include "levels_report.h"
#include "thread_pool.h"
#include "nrutil.h"
#include "tolvane.h"

#include <cstring>
#include <mutex>
#include <new>
#include <string>

namespace tolvane {

namespace {

// The phases share program-wide grids: one run at a time.
std::mutex one_run;
// Set on the thread that holds one_run: a call from its own progress or console
// function would wait for itself.
thread_local bool running = false;

[[noreturn]] void no_memory(int rows, int columns)
{
    const double mib = 13.0 * rows * static_cast<double>(columns) / (1 << 20);
    throw Error(ErrorKind::no_memory,
                "not enough memory for a grid of " + std::to_string(rows) + " rows and " + std::to_string(columns)
                    + " columns (at least " + std::to_string(static_cast<long long>(mib) + 1) + " MiB)",
                {rows, columns});
}

// The grids of one run, given back when the run ends, however it ends. The
// 2-byte image belongs to the dialog's output and is not needed here. The
// working grid itab is the caller's cells when given, else a grid of its own.
class Grids {
public:
    Grids(int rows, int columns, std::int32_t *cells)
    {
        nb_lig = rows;
        nb_col = columns;
        tab = grille<unsigned char>(columns, rows);
        borrowed_ = cells != nullptr;
        itab = borrowed_ ? Grille<int>(cells, columns) : grille<int>(columns, rows);
        itab1 = grille<int>(columns, rows);
        itab2 = grille<int>(columns, rows);
        itab3 = nullptr;
        if (!tab || !itab || !itab1 || !itab2) {
            release();
            no_memory(rows, columns);
        }
    }
    ~Grids() { release(); }
    Grids(const Grids &) = delete;
    Grids &operator=(const Grids &) = delete;

private:
    void release()
    {
        if (borrowed_) { // the caller's cells are not ours to give back
            itab = nullptr;
            borrowed_ = false;
        }
        libere_grilles();
    }
    bool borrowed_ = false;
};

// The phases' text and progress go to the caller's functions while a run lasts;
// each phase covers its own share of the whole run.
class Sink {
public:
    explicit Sink(const Options &options) : options_(options)
    {
        sink_.text = options.console ? &Sink::text : nullptr;
        sink_.progress = options.progress || options.cancel ? &Sink::progress : nullptr;
        sink_.context = this;
        set_console_sink(&sink_);
    }
    ~Sink() { set_console_sink(nullptr); }
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;

    // The next phase runs from the current fraction to `end`.
    void phase(double end)
    {
        progress(1.0, this);
        start_ = end_;
        end_ = end;
    }
    void done() { progress(1.0, this); }
    // Within a phase, between steps that report no progress of their own: the
    // fraction reached so far again, and the cancel flag.
    void tick() { progress(0.0, this); }
    void check() const
    {
        if (options_.cancel && options_.cancel->load())
            throw Error(ErrorKind::cancelled, "the run was cancelled");
    }

private:
    static void text(const char *t, std::size_t n, void *self)
    {
        static_cast<Sink *>(self)->options_.console(std::string(t, n));
    }
    static void progress(double f, void *self)
    {
        auto *s = static_cast<Sink *>(self);
        if (s->options_.progress)
            s->options_.progress(s->start_ + (s->end_ - s->start_) * f);
        s->check(); // thrown on the calling thread, after a band: the others stop taking bands
    }

    const Options &options_;
    ConsoleSink sink_;
    double start_ = 0, end_ = 0;
};

// The contour image into itab, as the dialog reads it.
void read_contours(const std::int32_t *contours)
{
    for_each_band(
        nb_lig, band_lines(64, nb_col),
        [contours](int first, int last, int) {
            std::memcpy(itab[first], contours + static_cast<std::size_t>(first) * nb_col,
                        sizeof(int) * static_cast<std::size_t>(last - first) * nb_col);
        },
        [](int) { report_progress(0.0); }); // a point where the run can stop
}

// The run, on a copy of `contours` or, when `in_place`, in them.
Result run(const std::int32_t *contours, std::int32_t *in_place, int rows, int columns, const Levels &levels,
           const Options &options)
{
    check(contours, rows, columns, levels, options);
    if (running)
        throw Error(ErrorKind::nested_call,
                    "tolvane::elevation called from its own progress or console function: wait until it returns");
    const std::lock_guard<std::mutex> lock(one_run);
    running = true;
    struct Running {
        ~Running() { running = false; }
    } unset;
    Result r;
    try {
        Grids grids(rows, columns, in_place);
        Sink sink(options);
        set_thread_count(options.threads);
        struct Threads {
            ~Threads() { set_thread_count(0); } // back to TOLVANE_THREADS or every core
        } threads;
        mit[1] = levels.lowest;
        upper_value = levels.highest;
        interval = levels.interval;
        table_niveaux();
        r.rows = rows;
        r.columns = columns;
        sink.tick();
        if (!in_place)
            read_contours(contours);
        sink.tick();
        const LevelReport report = level_report();
        if (report.contour_pixels == 0)
            throw Error(ErrorKind::no_altitude, "the contour grid holds no altitude: every cell is empty");
        if (report.beyond_pixels > 0) {
            const long long row = report.first_beyond / columns, column = report.first_beyond % columns;
            throw Error(ErrorKind::altitude_out_of_range,
                        std::to_string(report.beyond_pixels) +
                            (report.beyond_pixels == 1 ? " contour cell" : " contour cells") +
                            " beyond the core's altitudes, -" +
                            std::to_string(MAX_ALTITUDE) + " to " + std::to_string(MAX_ALTITUDE) + " (the first: " +
                            std::to_string(report.first_beyond_value) + " at row " + std::to_string(row) +
                            ", column " + std::to_string(column) + ")",
                        {report.beyond_pixels, row, column, report.first_beyond_value});
        }
        r.zones = report.zones;
        r.contour_pixels = report.contour_pixels;
        r.off_level_pixels = report.off_level_pixels;
        r.missing_levels = report.missing_levels;

        const bool smooth = options.smoothing > 1;
        sink.phase(0.05);
        plages(nbplage);
        sink.tick();
        r.zone_pixels = zone_pixels();
        if (options.want_leak_mask)
            r.leak_mask.resize(static_cast<std::size_t>(rows) * columns);
        r.leak_pixels = leaks(options.want_leak_mask ? r.leak_mask.data() : nullptr);
        sink.phase(smooth ? 0.6 : 0.75);
        interpolation();
        sink.phase(smooth ? 0.7 : 0.9);
        dilatation();
        sink.phase(smooth ? 0.75 : 1.0);
        moyenne();
        if (smooth) {
            sink.phase(1.0);
            lissage(options.smoothing);
        }
        sink.done();

        // The final grid is itab1; without smoothing the averaging left the same
        // cells in itab, which are the caller's when in place.
        std::int32_t *out = in_place;
        if (!in_place) {
            r.cells.resize(static_cast<std::size_t>(rows) * columns);
            out = r.cells.data();
        }
        if (!in_place || smooth)
            for_each_band(rows, band_lines(64, columns), [&](int first, int last, int) {
                std::memcpy(out + static_cast<std::size_t>(first) * columns, itab1[first],
                            sizeof(int) * static_cast<std::size_t>(last - first) * columns);
            });
    } catch (const std::bad_alloc &) {
        no_memory(rows, columns);
    }
    return r;
}

} // namespace

Result elevation(const std::int32_t *contours, int rows, int columns, const Levels &levels, const Options &options)
{
    return run(contours, nullptr, rows, columns, levels, options);
}

Result elevation_in_place(std::int32_t *cells, int rows, int columns, const Levels &levels, const Options &options)
{
    return run(cells, cells, rows, columns, levels, options);
}


void check_levels(const Levels &levels)
{
    const LevelCheck c = ::check_levels(levels.lowest, levels.highest, levels.interval);
    switch (c.problem) {
    case LevelCheck::zero_interval:
        throw Error(ErrorKind::zero_interval, "the contour interval must not be 0");
    case LevelCheck::too_many_zones:
        throw Error(ErrorKind::too_many_zones, "too many zones (" + std::to_string(c.zones) + "): at most 254",
                    {c.zones});
    case LevelCheck::out_of_range:
        throw Error(ErrorKind::levels_out_of_range, "contour levels outside the range of int",
                    {levels.lowest, levels.highest, levels.interval});
    case LevelCheck::beyond_marker:
        throw Error(ErrorKind::levels_out_of_range,
                    "contour levels beyond the core's altitudes, -" + std::to_string(MAX_ALTITUDE) + " to " +
                        std::to_string(MAX_ALTITUDE),
                    {levels.lowest, levels.highest, levels.interval});
    case LevelCheck::none:
        break;
    }
}

// Every odd size up to 9 passes, negative ones included; those below 3 smooth nothing.
void check_smoothing(int size)
{
    if (size != 1 && (size > 9 || size % 2 == 0))
        throw Error(ErrorKind::bad_smoothing,
                    "smoothing size " + std::to_string(size) + ": it must be odd and at most 9", {size});
}

void check(const std::int32_t *contours, int rows, int columns, const Levels &levels, const Options &options)
{
    if (contours == nullptr || rows <= 0 || columns <= 0)
        throw Error(ErrorKind::bad_size,
                    "the contour grid must have at least one row and one column (got " + std::to_string(rows) + " x "
                        + std::to_string(columns) + ")",
                    {rows, columns});
    check_levels(levels);
    check_smoothing(options.smoothing);
}

const char *kind_name(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::bad_size: return "bad_size";
    case ErrorKind::zero_interval: return "zero_interval";
    case ErrorKind::too_many_zones: return "too_many_zones";
    case ErrorKind::levels_out_of_range: return "levels_out_of_range";
    case ErrorKind::bad_smoothing: return "bad_smoothing";
    case ErrorKind::no_altitude: return "no_altitude";
    case ErrorKind::no_memory: return "no_memory";
    case ErrorKind::cancelled: return "cancelled";
    case ErrorKind::nested_call: return "nested_call";
    case ErrorKind::altitude_out_of_range: return "altitude_out_of_range";
    }
    return "unknown";
}

const char *version() { return "tolvane " TOLVANE_VERSION; }

} // namespace tolvane
