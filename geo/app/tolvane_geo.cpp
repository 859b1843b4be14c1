// tolvane-geo: from contour lines in any GDAL format to a georeferenced elevation
// model, with the same core as the dialog program. The options become a request
// of the GIS library, whose report is printed here.
#include "options.h"

#include <cstdio>
#include <new>
#include <string>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <tolvane/geo.h>
#include <tolvane/geo_options.h>

namespace {

// GDAL's progress bar, or nothing with -q; a failure's line must not follow a bar
// left half drawn.
class Progress {
public:
    explicit Progress(bool quiet) : quiet_(quiet) {}
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

int run(const Options &o, Progress &progress)
{
    const tolvane::geo::Report report = tolvane::geo::elevation(o.request, &Progress::bar, &progress);
    // The report's lines name options by the library's tokens, as messages do.
    using tolvane::geo::Naming;
    if (!o.quiet)
        for (const std::string &line : tolvane::geo::notes(report, o.request))
            std::printf("%s\n", tolvane::geo::worded(line, Naming::flag).c_str());
    for (const std::string &line : tolvane::geo::warnings(report, o.request))
        std::fprintf(stderr, "Warning: %s\n", tolvane::geo::worded(line, Naming::flag).c_str());
    return 0;
}

// A usage error is its line and where to read more, not the whole help.
void usage_error(const std::string &message)
{
    std::fprintf(stderr, "tolvane-geo: %s\nTry 'tolvane-geo --help' for the options.\n", message.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const Parsed p = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    switch (p.action) {
    case Parsed::Action::help:
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    case Parsed::Action::version:
        std::printf("tolvane-geo (%s) with GDAL %s\n", tolvane::version(), GDALVersionInfo("RELEASE_NAME"));
        return 0;
    case Parsed::Action::bad:
        usage_error(p.message);
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
    } catch (const tolvane::geo::UsageFailure &f) {
        progress.interrupt();
        usage_error(f.what());
        return 2;
    } catch (const tolvane::geo::Failure &f) {
        progress.interrupt();
        std::fprintf(stderr, "tolvane-geo: %s\n", f.what());
    } catch (const std::bad_alloc &) {
        progress.interrupt();
        std::fprintf(stderr, "tolvane-geo: not enough memory\n");
    }
    return 1;
}
