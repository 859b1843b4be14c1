// tolvane-geo: from contour lines in any GDAL format to a georeferenced elevation
// model, with the same core as the dialog program.
#include "failure.h"
#include "footprint.h"
#include "grid.h"
#include "options.h"
#include "output.h"
#include "repair.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <tolvane/tolvane.h>

namespace {

using namespace geo;

// One bar for the whole run, in GDAL's form, or nothing with -q. Shares: burning
// 10 %, the core 75 %, writing 15 % (see run).
class Progress {
public:
    explicit Progress(bool quiet) : quiet_(quiet) {}
    // A failure's line must not follow a bar left half drawn.
    void interrupt()
    {
        if (open_)
            std::fputc('\n', stdout);
        open_ = false;
        std::fflush(stdout);
    }
    static int CPL_STDCALL bar(double complete, const char *message, void *self)
    {
        auto *p = static_cast<Progress *>(self);
        if (p->quiet_)
            return TRUE;
        p->open_ = complete < 1;
        return GDALTermProgress(complete, message, nullptr);
    }

private:
    bool quiet_;
    bool open_ = false;
};

// The stretch [from, to] of the bar, for one step, as GDAL's progress functions take it.
class Part {
public:
    Part(Progress &bar, double from, double to) : data_(GDALCreateScaledProgress(from, to, &Progress::bar, &bar)) {}
    ~Part() { GDALDestroyScaledProgress(data_); }
    Part(const Part &) = delete;
    Part &operator=(const Part &) = delete;
    void *data() const { return data_; }

private:
    void *data_;
};

void note(const Options &o, const std::string &text)
{
    if (!o.quiet)
        std::printf("%s\n", text.c_str());
}

void warning(const std::string &text) { std::fprintf(stderr, "Warning: %s\n", text.c_str()); }

std::string level(int whole, double scale) { return decimal(whole / scale); }

// The core's refusals, in the user's units.
std::string explain(const tolvane::Error &e, const ContourGrid &c)
{
    const tolvane::Levels &l = c.table.levels;
    const double s = c.table.scale;
    switch (e.kind()) {
    case tolvane::ErrorKind::too_many_zones:
        return std::to_string(e.values().empty() ? 0 : e.values()[0]) + " zones between the levels " +
               level(l.lowest, s) + " and " + level(l.highest, s) + " every " + level(l.interval, s) +
               ": the core takes at most 254; give a larger interval with -levels";
    case tolvane::ErrorKind::levels_out_of_range:
        return "the levels " + level(l.lowest, s) + " to " + level(l.highest, s) + " times " + decimal(s) +
               " leave the int range";
    case tolvane::ErrorKind::no_memory:
        return "not enough memory for a grid of " + std::to_string(c.grid.rows) + " rows and " +
               std::to_string(c.grid.columns) + " columns";
    case tolvane::ErrorKind::no_altitude:
        return "no contours: no line crosses the grid";
    default:
        return e.what();
    }
}

void report_levels(const Options &o, const ContourGrid &c)
{
    const tolvane::Levels &l = c.table.levels;
    const double s = c.table.scale;
    note(o, "Grid: " + std::to_string(c.grid.columns) + " x " + std::to_string(c.grid.rows) + " pixels of " +
                decimal(c.grid.xres) + " x " + decimal(c.grid.yres) + ", top-left corner (" + decimal(c.grid.origin_x) +
                ", " + decimal(c.grid.origin_y) + ")");
    note(o, "Levels: " + level(l.lowest, s) + " to " + level(l.highest, s) + " every " + level(l.interval, s) + " (" +
                std::to_string(c.table.distinct) + " distinct " + (o.levels ? "in the data, levels given" : "found") +
                ")");
    if (s != 1)
        note(o, "Scale: the levels were multiplied by " + decimal(s) +
                    " to make them whole numbers; the result is divided by " + decimal(s));
}

std::string percent(long long part, long long whole)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

void report_fit(const tolvane::Result &r, const ContourGrid &c)
{
    const double s = c.table.scale;
    if (r.off_level_pixels > 0)
        warning(std::to_string(r.off_level_pixels) +
                " contour pixels hold an altitude that is no level of the table: they bound no zone");
    if (!r.missing_levels.empty()) {
        std::string list;
        for (std::size_t k = 0; k < r.missing_levels.size() && k < 10; k++)
            list += (k ? ", " : "") + level(r.missing_levels[k], s);
        warning("no pixel holds the level" + std::string(r.missing_levels.size() > 1 ? "s " : " ") + list +
                (r.missing_levels.size() > 10 ? ", ..." : "") + ": its zones are filled, not interpolated");
    }
    if (r.leak_pixels > 0)
        warning(std::to_string(r.leak_pixels) + " zone pixels (" + percent(r.leak_pixels, r.zone_pixels) + ") lie between contours that are not their zone's: lines with gaps or open ends; close the gaps "
                "with -repair_gaps PIXELS, give the area the lines cover with -mask FILE, see where with -leaks FILE");
}

// Gaps closed and the footprint walled on the burned grid, before the core runs.
struct Preparation {
    int grid_joins = 0;
    std::vector<std::uint8_t> inside; // empty: no footprint
    long long walled = 0;
};

Preparation prepare(const Options &o, ContourGrid &c)
{
    Preparation p;
    if (o.repair_gaps > 0)
        p.grid_joins = repair_gaps(c.cells, c.grid.rows, c.grid.columns, o.repair_gaps).joins;
    if (!o.mask_file.empty()) {
        p.inside = o.mask_file == "auto" ? footprint_of_lines(c.cells, c.grid.rows, c.grid.columns)
                                         : footprint_from_file(o.mask_file, c.grid);
        p.walled = wall_outside(c.cells, c.grid.rows, c.grid.columns, p.inside);
    }
    return p;
}

void report_preparation(const Options &o, const ContourGrid &c, const Preparation &p)
{
    if (o.repair_gaps > 0)
        note(o, "Gaps: " + std::to_string(c.line_joins + p.grid_joins) + " closed (" + std::to_string(c.line_joins) +
                    " on the lines, " + std::to_string(p.grid_joins) + " on the grid)");
    if (!p.inside.empty()) {
        const long long outside = std::count(p.inside.begin(), p.inside.end(), std::uint8_t{0});
        note(o, "Footprint: " + std::to_string(outside) + " pixels outside it, nodata in the output");
    }
}

int run(const Options &o, Progress &progress)
{
    PendingFiles files;
    ProductNames names;
    names.model = files.add(o.output);
    if (!o.contours_file.empty())
        names.contours = files.add(o.contours_file);
    if (!o.hillshade_file.empty())
        names.hillshade = files.add(o.hillshade_file);
    const std::string leaks_name = o.leaks_file.empty() ? "" : files.add(o.leaks_file);

    ContourGrid c;
    {
        const Part burning(progress, 0, 0.10);
        c = burn_contours(o, GDALScaledProgress, burning.data());
    }
    const Preparation prepared = prepare(o, c);

    tolvane::Result r;
    {
        const Part core_run(progress, 0.10, 0.85);
        tolvane::Options core;
        core.smoothing = o.smoothing;
        core.threads = o.threads;
        core.want_leak_mask = !o.leaks_file.empty();
        core.progress = [&core_run](double f) { GDALScaledProgress(f, nullptr, core_run.data()); };
        try {
            r = tolvane::elevation(c.cells.data(), c.grid.rows, c.grid.columns, c.table.levels, core);
        } catch (const tolvane::Error &e) {
            throw Failure(explain(e, c));
        }
    }
    if (!prepared.inside.empty())
        clear_outside(r.cells, prepared.inside);

    WriteReport w;
    {
        const Part writing(progress, 0.85, 1.0);
        w = write_products(o, c, r, names, GDALScaledProgress, writing.data());
    }
    if (!leaks_name.empty())
        write_mask(leaks_name, c.grid, r.leak_mask);
    files.commit();

    report_levels(o, c);
    report_preparation(o, c, prepared);
    report_fit(r, c);
    if (w.clamped > 0)
        warning(std::to_string(w.clamped) + " cells outside the range of " + type_name(o.type) + " were clamped to it");
    if (w.nodata_in_data > 0)
        warning(std::to_string(w.nodata_in_data) + " cells hold the nodata value " + decimal(w.nodata) +
                " as an altitude");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const Parsed p = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    switch (p.action) {
    case Parsed::Action::help:
        std::fputs(usage_text(), stdout);
        return 0;
    case Parsed::Action::version:
        std::printf("tolvane-geo (%s) with GDAL %s\n", tolvane::version(), GDALVersionInfo("RELEASE_NAME"));
        return 0;
    case Parsed::Action::bad:
        std::fprintf(stderr, "tolvane-geo: %s\n%s", p.message.c_str(), usage_text());
        return 2;
    case Parsed::Action::run:
        break;
    }

    GDALAllRegister();
    // Everything GDAL needs to know about the outputs is inside them: no .aux.xml.
    CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
    // GDAL's own messages are quiet; a failure quotes the last one.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    Progress progress(p.options.quiet);
    try {
        return run(p.options, progress);
    } catch (const UsageFailure &f) {
        progress.interrupt();
        std::fprintf(stderr, "tolvane-geo: %s\n%s", f.what(), usage_text());
        return 2;
    } catch (const Failure &f) {
        progress.interrupt();
        std::fprintf(stderr, "tolvane-geo: %s\n", f.what());
    } catch (const std::bad_alloc &) {
        progress.interrupt();
        std::fprintf(stderr, "tolvane-geo: not enough memory\n");
    }
    return 1;
}
