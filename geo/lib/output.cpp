#include "output.h"

#include "failure.h"
#include "gdal_handles.h"

#include "ending_signals.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <gdal_utils.h>
#include <unistd.h>

namespace geo {

namespace {

// The temporary names, also in static buffers, so that a signal that ends the
// run (Ctrl-C, SIGTERM, SIGHUP...) can remove them before the process goes.
constexpr int MAX_PENDING = 8;
char pending_paths[MAX_PENDING][4096];
volatile std::sig_atomic_t pending_count = 0;

extern "C" void on_ending_signal(int sig)
{
    for (int n = 0; n < pending_count; n++)
        if (pending_paths[n][0] != '\0')
            unlink(pending_paths[n]);
    // Installed with SA_RESETHAND: raised again, the signal ends the process with
    // its usual status once this handler returns.
    raise(sig);
}

void remember(const std::string &path)
{
    static const bool installed = [] {
        on_ending_signals(on_ending_signal);
        return true;
    }();
    (void)installed;
    if (pending_count >= MAX_PENDING || path.size() >= sizeof pending_paths[0])
        return; // still removed by the destructor on every other way out
    std::memcpy(pending_paths[pending_count], path.c_str(), path.size() + 1);
    pending_count = pending_count + 1;
}

void forget_all() { pending_count = 0; }

} // namespace

PendingFiles::~PendingFiles()
{
    for (const File &f : files_)
        VSIUnlink(f.temporary.c_str());
    forget_all();
}

std::string PendingFiles::add(const std::string &final_name)
{
    const std::string folder = CPLGetPath(final_name.c_str());
    VSIStatBufL st;
    if (!folder.empty() && (VSIStatL(folder.c_str(), &st) != 0 || !VSI_ISDIR(st.st_mode)))
        throw Failure("cannot write " + final_name + ": no folder " + folder);
    if (VSIStatL(final_name.c_str(), &st) == 0 && VSI_ISDIR(st.st_mode))
        throw Failure("cannot write " + final_name + ": it is a folder");
    for (const File &f : files_)
        if (f.final_name == final_name)
            throw Failure("two products would be written to " + final_name);
    // Hidden, in the same folder (so the rename is atomic), and unique to this run.
    const std::string name = "." + std::string(CPLGetFilename(final_name.c_str())) + ".tolvane-" +
                             std::to_string(static_cast<long>(getpid())) + ".tmp";
    files_.push_back({final_name, folder.empty() ? name : std::string(CPLFormFilename(folder.c_str(), name.c_str(), nullptr))});
    remember(files_.back().temporary);
    return files_.back().temporary;
}

void PendingFiles::commit()
{
    for (const File &f : files_)
        if (VSIRename(f.temporary.c_str(), f.final_name.c_str()) != 0)
            throw Failure("cannot rename " + f.temporary + " to " + f.final_name);
    files_.clear();
    forget_all();
}

namespace {

struct Range {
    double lowest, highest;
};

Range type_range(OutputType type)
{
    switch (type) {
    case OutputType::Int16:
        return {-32768.0, 32767.0};
    case OutputType::Int32:
        return {-2147483648.0, 2147483647.0};
    default:
        return {-FLT_MAX, FLT_MAX};
    }
}

// -9999 when the data do not reach it, else the lowest and then the highest value
// of the type.
double default_nodata(OutputType type, double lowest, double highest)
{
    const Range r = type_range(type);
    for (double candidate : {-9999.0, r.lowest, r.highest})
        if (candidate < lowest || candidate > highest)
            return candidate;
    return -9999.0;
}

// The altitudes in the output type: scaled back, rounded for integer types and
// clamped to them; cells the core left empty become nodata.
template <typename T>
std::vector<T> converted(const tolvane::Result &result, double scale, OutputType type, WriteReport &report,
                         const Options &o)
{
    const Range r = type_range(type);
    const bool integer = type != OutputType::Float32;
    std::vector<double> v(result.cells.size());
    double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
    for (std::size_t k = 0; k < v.size(); k++) {
        if (result.cells[k] == tolvane::EMPTY) {
            v[k] = NAN;
            continue;
        }
        double x = result.cells[k] / scale;
        if (integer)
            x = std::nearbyint(x);
        if (x < r.lowest || x > r.highest) {
            report.clamped++;
            x = std::clamp(x, r.lowest, r.highest);
        }
        v[k] = x;
        lowest = std::min(lowest, x);
        highest = std::max(highest, x);
    }
    if (o.nodata) {
        report.nodata = *o.nodata;
        if (integer && (report.nodata != std::nearbyint(report.nodata) || report.nodata < r.lowest ||
                        report.nodata > r.highest))
            throw Failure("-a_nodata " + decimal(report.nodata) + " is not a value of " + type_name(type));
    } else {
        report.nodata = default_nodata(type, lowest, highest);
    }
    std::vector<T> out(v.size());
    for (std::size_t k = 0; k < v.size(); k++) {
        if (std::isnan(v[k])) {
            out[k] = static_cast<T>(report.nodata);
            continue;
        }
        out[k] = static_cast<T>(v[k]);
        if (static_cast<double>(out[k]) == static_cast<double>(static_cast<T>(report.nodata)))
            report.nodata_in_data++;
    }
    return out;
}

// An in-memory raster on the grid holding `cells`.
Dataset raster_on(const Grid &g, GDALDataType type, const void *cells, double nodata)
{
    Dataset ds = memory_raster(g.columns, g.rows, type);
    double transform[6] = {g.origin_x, g.xres, 0, g.origin_y, 0, -g.yres};
    GDALSetGeoTransform(ds.get(), transform);
    if (!g.srs_wkt.empty())
        GDALSetProjection(ds.get(), g.srs_wkt.c_str());
    GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
    GDALSetRasterNoDataValue(band, nodata);
    if (GDALRasterIO(band, GF_Write, 0, 0, g.columns, g.rows, const_cast<void *>(cells), g.columns, g.rows, type, 0,
                     0) != CE_None)
        throw Failure("cannot fill the in-memory raster: " + gdal_reason());
    return ds;
}

void translate(GDALDatasetH source, const std::string &path, const std::string &shown_name, Arguments args,
               GDALProgressFunc progress, void *progress_data)
{
    CPLErrorReset();
    GDALTranslateOptions *options = GDALTranslateOptionsNew(args.argv(), nullptr);
    GDALTranslateOptionsSetProgress(options, progress, progress_data);
    Dataset written(GDALTranslate(path.c_str(), source, options, nullptr));
    GDALTranslateOptionsFree(options);
    if (!written)
        throw Failure("cannot write " + shown_name + ": " + gdal_reason());
    written.reset();
    if (CPLGetLastErrorType() == CE_Failure)
        throw Failure("cannot write " + shown_name + ": " + gdal_reason());
}

bool has_option(const std::vector<std::string> &options, const std::string &name)
{
    return std::any_of(options.begin(), options.end(), [&name](const std::string &o) {
        return EQUALN(o.c_str(), (name + "=").c_str(), name.size() + 1);
    });
}

} // namespace

WriteReport write_products(const Options &o, const ContourGrid &c, const tolvane::Result &result,
                           const ProductNames &names, GDALProgressFunc progress, void *progress_data)
{
    WriteReport report;
    const Grid &g = c.grid;
    Dataset model;
    switch (o.type) {
    case OutputType::Int16: {
        const auto cells = converted<std::int16_t>(result, c.table.scale, o.type, report, o);
        model = raster_on(g, GDT_Int16, cells.data(), report.nodata);
        break;
    }
    case OutputType::Int32: {
        const auto cells = converted<std::int32_t>(result, c.table.scale, o.type, report, o);
        model = raster_on(g, GDT_Int32, cells.data(), report.nodata);
        break;
    }
    default: {
        const auto cells = converted<float>(result, c.table.scale, o.type, report, o);
        model = raster_on(g, GDT_Float32, cells.data(), report.nodata);
    }
    }

    // Shares of the writing, one per file.
    const int steps = 1 + !o.contours_file.empty() + !o.hillshade_file.empty();
    int step = 0;
    auto share = [&](auto write) {
        void *scaled = GDALCreateScaledProgress(double(step) / steps, double(step + 1) / steps, progress, progress_data);
        try {
            write(scaled);
        } catch (...) {
            GDALDestroyScaledProgress(scaled);
            throw;
        }
        GDALDestroyScaledProgress(scaled);
        step++;
    };
    if (!names.contours.empty())
        share([&](void *scaled) {
            Dataset burned = raster_on(g, GDT_Int32, c.cells.data(), tolvane::EMPTY);
            translate(burned.get(), names.contours, o.contours_file, {"-of", "GTiff", "-co", "COMPRESS=DEFLATE"},
                      GDALScaledProgress, scaled);
        });
    if (!names.hillshade.empty())
        share([&](void *scaled) {
            Arguments args{"-of", "PNG", "-compute_edges"};
            GDALDEMProcessingOptions *options = GDALDEMProcessingOptionsNew(args.argv(), nullptr);
            GDALDEMProcessingOptionsSetProgress(options, GDALScaledProgress, scaled);
            Dataset relief(GDALDEMProcessing(names.hillshade.c_str(), model.get(), "hillshade", nullptr, options,
                                             nullptr));
            GDALDEMProcessingOptionsFree(options);
            if (!relief)
                throw Failure("cannot write " + o.hillshade_file + ": " + gdal_reason());
        });
    share([&](void *scaled) {
        Arguments args{"-of", o.format};
        if (o.format == "GTiff" && !has_option(o.creation_options, "COMPRESS"))
            args.add({"-co", "COMPRESS=DEFLATE"});
        for (const std::string &co : o.creation_options)
            args.add({"-co", co});
        translate(model.get(), names.model, o.output, args, GDALScaledProgress, scaled);
    });
    return report;
}

} // namespace geo
