// tolvane-geo: from contour lines in any GDAL format to a georeferenced elevation
// model, with the same core as the dialog program.
#include "failure.h"
#include "grid.h"
#include "options.h"
#include "output.h"

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
        warning(std::to_string(r.leak_pixels) +
                " pixels lie in zones that leak past other contours (broken lines at this pixel size?)");
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

    ContourGrid c;
    {
        const Part burning(progress, 0, 0.10);
        c = burn_contours(o, GDALScaledProgress, burning.data());
    }

    tolvane::Result r;
    {
        const Part core_run(progress, 0.10, 0.85);
        tolvane::Options core;
        core.smoothing = o.smoothing;
        core.progress = [&core_run](double f) { GDALScaledProgress(f, nullptr, core_run.data()); };
        try {
            r = tolvane::elevation(c.cells.data(), c.grid.rows, c.grid.columns, c.table.levels, core);
        } catch (const tolvane::Error &e) {
            throw Failure(explain(e, c));
        }
    }

    WriteReport w;
    {
        const Part writing(progress, 0.85, 1.0);
        w = write_products(o, c, r, names, GDALScaledProgress, writing.data());
    }
    files.commit();

    report_levels(o, c);
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
