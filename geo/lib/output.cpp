// The writer of the products (output.h): the model converted to its type band by
// band, the contour grid, the shaded relief and the COG made from the model, all
// under the temporary names of pending.h until the commit.
#include "output.h"

#include "failure.h"
#include "footprint.h"
#include "gdal_handles.h"
#include "grid.h"
#include "levels.h"
#include "parallel.h"
#include "paths.h"

#include <algorithm>
#include <cstring>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <type_traits>


#include <cpl_conv.h>
#include <cpl_multiproc.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_alg.h>
#include <gdal_utils.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

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

GDALDataType gdal_type(OutputType type)
{
    switch (type) {
    case OutputType::Int16:
        return GDT_Int16;
    case OutputType::Int32:
        return GDT_Int32;
    default:
        return GDT_Float32;
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

bool has_option(const std::vector<std::string> &options, const std::string &name)
{
    return std::any_of(options.begin(), options.end(), [&name](const std::string &o) {
        return EQUALN(o.c_str(), (name + "=").c_str(), name.size() + 1);
    });
}

void place(GDALDatasetH ds, const Grid &g)
{
    const std::array<double, 6> transform = geotransform(g);
    GDALSetGeoTransform(ds, const_cast<double *>(transform.data()));
    if (!g.srs_wkt.empty())
        GDALSetProjection(ds, g.srs_wkt.c_str());
}

// Whether GDAL may compress on a thread per core. GDAL starts its pool of
// compressing threads when the first blocks are written, and waits for ever on
// one the system refused; so the pool is started here, on a scrap image in
// memory, right after the system has started as many threads, and once started
// it stays. Without it one thread compresses the same bytes.
bool compress_on_every_core()
{
    static std::mutex once;
    static bool started = false;
    const std::lock_guard<std::mutex> lock(once);
    if (started || !threads_can_start(CPLGetNumCPUs()))
        return started;
    const char *scrap = "/vsimem/tolvane-compressing-threads.tif";
    const char *options[] = {"COMPRESS=DEFLATE", "TILED=YES", "NUM_THREADS=ALL_CPUS", nullptr};
    const int side = 256 * 2 * std::max(1, CPLGetNumCPUs());
    GDALDatasetH ds = GDALCreate(GDALGetDriverByName("GTiff"), scrap, side, 256, 1, GDT_Byte,
                                 const_cast<char **>(options));
    if (ds != nullptr) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(side), 1);
        for (int y = 0; y < 256; y++)
            if (GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, 0, y, side, 1, row.data(), side, 1, GDT_Byte, 0, 0) !=
                CE_None)
                break;
        GDALClose(ds);
        started = true;
    }
    VSIUnlink(scrap);
    return started;
}

// A GeoTIFF of the grid at `path`, compressed and tiled unless the options say otherwise.
Dataset create_gtiff(const std::string &path, const std::string &shown_name, const Grid &g, GDALDataType type,
                     const std::vector<std::string> &given)
{
    char **options = nullptr;
    if (!has_option(given, "COMPRESS"))
        options = CSLAddString(options, "COMPRESS=DEFLATE");
    if (!has_option(given, "TILED") && !has_option(given, "BLOCKYSIZE"))
        options = CSLAddString(options, "TILED=YES");
    if (!has_option(given, "NUM_THREADS") && compress_on_every_core()) // blocks compressed on every core
        options = CSLAddString(options, "NUM_THREADS=ALL_CPUS");
    for (const std::string &co : given)
        options = CSLAddString(options, co.c_str());
    CPLErrorReset();
    Dataset ds(GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), g.columns, g.rows, 1, type, options));
    CSLDestroy(options);
    if (!ds || CPLGetLastErrorType() == CE_Failure)
        throw Failure("cannot write " + shown_name + ": " + gdal_reason());
    place(ds.get(), g);
    return ds;
}

void finish(Dataset &ds, const std::string &shown_name)
{
    CPLErrorReset();
    ds.reset();
    if (CPLGetLastErrorType() == CE_Failure)
        throw Failure("cannot write " + shown_name + ": " + gdal_reason());
}

} // namespace

const char *type_name(OutputType type)
{
    switch (type) {
    case OutputType::Int32:
        return "Int32";
    case OutputType::Int16:
        return "Int16";
    default:
        return "Float32";
    }
}

void check_products(const ProductRequest &p)
{
    if (p.output.empty())
        throw UsageFailure("no output file given");
    if (p.format != "GTiff" && p.format != "COG")
        throw UsageFailure(named("format") + ": '" + p.format + "' is not GTiff or COG");
    for (const std::string *path : {&p.output, &p.contours, &p.hillshade, &p.leaks, &p.sinks}) {
        if (path->rfind("/vsi", 0) == 0)
            throw Failure("cannot write " + *path + ": not a file on disk");
        check_writable_kind(*path);
    }

    char **list = nullptr;
    for (const std::string &co : p.creation_options) {
        if (co.find('=') == std::string::npos || co.front() == '=') {
            CSLDestroy(list);
            throw UsageFailure(named("creation_options") + ": '" + co + "' is not NAME=VALUE");
        }
        list = CSLAddString(list, co.c_str());
    }
    CPLErrorReset();
    const bool valid = !list || GDALValidateCreationOptions(GDALGetDriverByName(p.format.c_str()), list);
    CSLDestroy(list);
    if (!valid)
        throw Failure(named("creation_options") + ": the " + p.format + " driver refuses the creation options: " + gdal_reason());
    if (p.type != OutputType::Float32 && p.nodata) {
        const Range r = type_range(p.type);
        if (*p.nodata != std::nearbyint(*p.nodata) || *p.nodata < r.lowest || *p.nodata > r.highest)
            throw Failure(named("nodata") + " " + decimal(*p.nodata) + " is not a value of " + type_name(p.type));
    }
}

// ---- The writer. ----

struct ProductWriter::Impl {
    ProductRequest p;
    Grid grid;
    LevelTable table;
    PendingFiles files;
    ProductNames names;
    std::string gtiff; // the GeoTIFF being written: the model itself, or the COG's intermediate
    Dataset ds;
    Range range{};
    double nodata = 0;
    long long clamped = 0, nodata_in_data = 0;

    template <typename T, typename V> void write(int row, int column, int rows, int columns, const V *cells);
    template <typename T, typename V> void convert(const V *cells, std::size_t n, T *out);
    template <typename V> void write_as_type(int row, int column, int rows, int columns, const V *cells);
};

ProductWriter::ProductWriter(const ProductRequest &p, const Grid &grid, const LevelTable &table)
    : impl_(std::make_unique<Impl>())
{
    Impl &w = *impl_;
    check_products(p);
    check_product_names(p);
    w.p = p;
    w.grid = grid;
    w.table = table;
    w.names = pending_products(w.files, p);
    w.range = type_range(p.type);
    w.nodata = p.nodata ? *p.nodata : default_nodata(p.type, table.lowest_value, table.highest_value);
    const bool cog = p.format == "COG";
    w.gtiff = cog ? w.files.scratch(p.output, ".tif") : w.names.model;
    w.ds = create_gtiff(w.gtiff, p.output, grid, gdal_type(p.type),
                        cog ? std::vector<std::string>{} : p.creation_options);
    GDALSetRasterNoDataValue(GDALGetRasterBand(w.ds.get(), 1), w.nodata);
}

ProductWriter::~ProductWriter() = default;

// The altitudes in the output type: scaled back, rounded for integer types and
// clamped to them; cells the core left empty become nodata. Converted and
// handed to GDAL a band of rows at a time, so that no copy of the whole grid is
// made.
template <typename T, typename V>
void ProductWriter::Impl::write(int row, int column, int rows, int columns, const V *cells)
{
    // Whole rows of blocks a band, so that each block is complete when written.
    int block_columns = 0, block_rows = 0;
    GDALGetBlockSize(GDALGetRasterBand(ds.get(), 1), &block_columns, &block_rows);
    block_rows = std::max(block_rows, 1);
    const int blocks = std::max(1, (1 << 21) / std::max(columns, 1) / block_rows);
    const int band = std::clamp(blocks * block_rows, 1, std::max(rows, 1));
    std::vector<T> out(static_cast<std::size_t>(band) * static_cast<std::size_t>(columns));
    for (int first = 0, count = 0; first < rows; first += count) {
        // To the end of a row of blocks of the file, wherever the window starts,
        // or to the window's end.
        count = std::min(band, rows - first);
        const long long end = (static_cast<long long>(row) + first + count) / block_rows * block_rows;
        if (first + count < rows && end > static_cast<long long>(row) + first)
            count = static_cast<int>(end - row - first);
        convert(cells + static_cast<std::size_t>(first) * columns, static_cast<std::size_t>(count) * columns,
                out.data());
        if (GDALRasterIO(GDALGetRasterBand(ds.get(), 1), GF_Write, column, row + first, columns, count, out.data(),
                         columns, count, gdal_type(p.type), 0, 0) != CE_None)
            throw Failure("cannot write " + p.output + ": " + gdal_reason());
    }
}

template <typename T, typename V> void ProductWriter::Impl::convert(const V *cells, std::size_t n, T *out)
{
    const bool integer = p.type != OutputType::Float32;
    const T none = static_cast<T>(nodata);
    for (std::size_t k = 0; k < n; k++) {
        if (std::is_integral_v<V> ? cells[k] == tolvane::EMPTY : std::isnan(static_cast<double>(cells[k]))) {
            out[k] = none;
            continue;
        }
        double x = unscaled(static_cast<double>(cells[k]), table);
        if (integer)
            x = std::nearbyint(x);
        if (x < range.lowest || x > range.highest) {
            clamped++;
            x = std::clamp(x, range.lowest, range.highest);
        }
        out[k] = static_cast<T>(x);
        if (out[k] == none)
            nodata_in_data++;
    }
}

// The cells in the product's type.
template <typename V> void ProductWriter::Impl::write_as_type(int row, int column, int rows, int columns, const V *cells)
{
    switch (p.type) {
    case OutputType::Int16:
        return write<std::int16_t>(row, column, rows, columns, cells);
    case OutputType::Int32:
        return write<std::int32_t>(row, column, rows, columns, cells);
    default:
        return write<float>(row, column, rows, columns, cells);
    }
}

void ProductWriter::write(int row, int column, int rows, int columns, const std::int32_t *cells)
{
    if (!impl_)
        throw Failure("the products were discarded");
    impl_->write_as_type(row, column, rows, columns, cells);
}

void ProductWriter::write(int row, int column, int rows, int columns, const double *cells)
{
    if (!impl_)
        throw Failure("the products were discarded");
    impl_->write_as_type(row, column, rows, columns, cells);
}

void ProductWriter::write_contours(const std::vector<std::int32_t> &cells)
{
    const Impl &w = *impl_;
    if (w.names.contours.empty())
        return;
    // In the data's units, whole numbers as Int32 and decimals as Float64, so that the
    // file read back as a contour raster gives the same run.
    const bool whole = w.table.decimals == 1;
    const GDALDataType type = whole ? GDT_Int32 : GDT_Float64;
    std::vector<double> v(cells.size());
    for (std::size_t k = 0; k < cells.size(); k++)
        v[k] = cells[k] == tolvane::EMPTY ? tolvane::EMPTY
                                          : whole ? std::nearbyint(unscaled(cells[k], w.table)) : unscaled(cells[k], w.table);
    Dataset ds = create_gtiff(w.names.contours, w.p.contours, w.grid, type, {});
    GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
    GDALSetRasterNoDataValue(band, tolvane::EMPTY);
    if (GDALRasterIO(band, GF_Write, 0, 0, w.grid.columns, w.grid.rows, v.data(), w.grid.columns, w.grid.rows,
                     GDT_Float64, 0, 0) != CE_None)
        throw Failure("cannot write " + w.p.contours + ": " + gdal_reason());
    finish(ds, w.p.contours);
}

void ProductWriter::write_leaks(const std::vector<std::uint8_t> &mask)
{
    if (!impl_->names.leaks.empty())
        write_mask(impl_->names.leaks, impl_->grid, mask);
}

namespace {

// A depression kept: its pixels, its lowest value and the lowest of the pixels
// around it (where it spills), in the core's units.
struct Sink {
    long long pixels = 0;
    double bottom = INFINITY, rim = INFINITY;
};

// Each set of 8-connected pixels of `mask` numbered from 1 in `label`, in the
// order of their first pixel on the grid.
std::vector<Sink> number_sinks(const std::vector<std::uint8_t> &mask, const std::vector<double> &cells, int rows,
                               int columns, std::vector<std::int32_t> &label)
{
    std::vector<Sink> sinks;
    label.assign(mask.size(), 0);
    std::vector<std::size_t> stack;
    for (std::size_t seed = 0; seed < mask.size(); seed++) {
        if (!mask[seed] || label[seed])
            continue;
        sinks.emplace_back();
        Sink &s = sinks.back();
        const auto id = static_cast<std::int32_t>(sinks.size());
        label[seed] = id;
        stack.assign(1, seed);
        while (!stack.empty()) {
            const std::size_t k = stack.back();
            stack.pop_back();
            s.pixels++;
            s.bottom = std::min(s.bottom, cells[k]);
            const int r = static_cast<int>(k / columns), c = static_cast<int>(k % columns);
            for (int dr = -1; dr <= 1; dr++)
                for (int dc = -1; dc <= 1; dc++) {
                    const int nr = r + dr, nc = c + dc;
                    if (nr < 0 || nc < 0 || nr >= rows || nc >= columns)
                        continue;
                    const std::size_t m = static_cast<std::size_t>(nr) * columns + nc;
                    if (mask[m] && !label[m]) {
                        label[m] = id;
                        stack.push_back(m);
                    } else if (!mask[m] && !std::isnan(cells[m])) {
                        s.rim = std::min(s.rim, cells[m]);
                    }
                }
        }
    }
    return sinks;
}

} // namespace

void ProductWriter::write_sinks(const std::vector<std::uint8_t> &mask, const std::vector<double> &cells)
{
    const Impl &w = *impl_;
    if (w.names.sinks.empty())
        return;
    const Grid &g = w.grid;
    std::vector<std::int32_t> label;
    const std::vector<Sink> sinks = number_sinks(mask, cells, g.rows, g.columns, label);
    Dataset raster = memory_raster_over(label.data(), g.columns, g.rows);
    place(raster.get(), g);
    // The GeoPackage driver creates its file itself: the name kept for it goes first.
    VSIUnlink(w.names.sinks.c_str());
    CPLErrorReset();
    Dataset out(GDALCreate(GDALGetDriverByName("GPKG"), w.names.sinks.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    if (!out)
        throw Failure("cannot write " + w.p.sinks + ": " + gdal_reason(), "sinks");
    OGRSpatialReferenceH srs = g.srs_wkt.empty() ? nullptr : OSRNewSpatialReference(g.srs_wkt.c_str());
    OGRLayerH layer = GDALDatasetCreateLayer(out.get(), "sinks", srs, wkbPolygon, nullptr);
    if (srs)
        OSRDestroySpatialReference(srs);
    if (!layer)
        throw Failure("cannot write " + w.p.sinks + ": " + gdal_reason(), "sinks");
    for (const auto &[name, type] : {std::pair{"sink", OFTInteger}, std::pair{"bottom", OFTReal},
                                     std::pair{"depth", OFTReal}, std::pair{"area", OFTReal}}) {
        OGRFieldDefnH f = OGR_Fld_Create(name, type);
        OGR_L_CreateField(layer, f, TRUE);
        OGR_Fld_Destroy(f);
    }
    if (OGR_L_StartTransaction(layer) != OGRERR_NONE)
        throw Failure("cannot write " + w.p.sinks + ": " + gdal_reason(), "sinks");
    GDALRasterBandH band = GDALGetRasterBand(raster.get(), 1);
    const char *options[] = {"8CONNECTED=8", nullptr};
    if (GDALPolygonize(band, band, layer, 0, const_cast<char **>(options), nullptr, nullptr) != CE_None)
        throw Failure("cannot write " + w.p.sinks + ": " + gdal_reason(), "sinks");
    // Each polygon told its depression's numbers (in the data's units).
    std::vector<GIntBig> fids;
    OGR_L_ResetReading(layer);
    while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
        fids.push_back(OGR_F_GetFID(f));
        OGR_F_Destroy(f);
    }
    for (GIntBig fid : fids) {
        const Feature f(OGR_L_GetFeature(layer, fid));
        const int id = OGR_F_GetFieldAsInteger(f.get(), 0);
        if (id < 1 || id > static_cast<int>(sinks.size()))
            continue;
        const Sink &s = sinks[static_cast<std::size_t>(id - 1)];
        OGR_F_SetFieldDouble(f.get(), 1, unscaled(s.bottom, w.table));
        OGR_F_SetFieldDouble(f.get(), 2, std::isfinite(s.rim) ? (s.rim - s.bottom) / w.table.scale : 0.0);
        OGR_F_SetFieldDouble(f.get(), 3, static_cast<double>(s.pixels) * g.xres * g.yres);
        if (OGR_L_SetFeature(layer, f.get()) != OGRERR_NONE)
            throw Failure("cannot write " + w.p.sinks + ": " + gdal_reason(), "sinks");
    }
    if (OGR_L_CommitTransaction(layer) != OGRERR_NONE)
        throw Failure("cannot write " + w.p.sinks + ": " + gdal_reason(), "sinks");
    finish(out, w.p.sinks);
}

namespace {

// The shaded relief of `model` as a PNG at `name`; false when GDAL failed.
bool write_hillshade(GDALDatasetH model, const std::string &name, void *scaled)
{
    Arguments args{"-of", "PNG", "-compute_edges"};
    GDALDEMProcessingOptions *options = GDALDEMProcessingOptionsNew(args.argv(), nullptr);
    GDALDEMProcessingOptionsSetProgress(options, GDALScaledProgress, scaled);
    Dataset relief(GDALDEMProcessing(name.c_str(), model, "hillshade", nullptr, options, nullptr));
    GDALDEMProcessingOptionsFree(options);
    return static_cast<bool>(relief);
}

// `model` copied as a cloud-optimised GeoTIFF at `name`, DEFLATE unless the
// caller's creation options say otherwise; a null dataset when GDAL failed.
Dataset write_cog(GDALDatasetH model, const std::string &name, const std::vector<std::string> &creation_options,
                  void *scaled)
{
    Arguments args{"-of", "COG"};
    if (!has_option(creation_options, "COMPRESS"))
        args.add({"-co", "COMPRESS=DEFLATE"});
    if (!has_option(creation_options, "NUM_THREADS") && compress_on_every_core())
        args.add({"-co", "NUM_THREADS=ALL_CPUS"});
    for (const std::string &co : creation_options)
        args.add({"-co", co});
    CPLErrorReset();
    GDALTranslateOptions *options = GDALTranslateOptionsNew(args.argv(), nullptr);
    GDALTranslateOptionsSetProgress(options, GDALScaledProgress, scaled);
    Dataset written(GDALTranslate(name.c_str(), model, options, nullptr));
    GDALTranslateOptionsFree(options);
    return written;
}

} // namespace

void ProductWriter::commit(GDALProgressFunc progress, void *progress_arg)
{
    if (!impl_)
        throw Failure("the products were discarded");
    Impl &w = *impl_;
    finish(w.ds, w.p.output);
    if (!progress)
        progress = GDALDummyProgress;
    const int steps = 1 + !w.names.hillshade.empty() + (w.p.format == "COG");
    int step = 0;
    auto share = [&](auto make) {
        void *scaled = GDALCreateScaledProgress(double(step) / steps, double(step + 1) / steps, progress, progress_arg);
        try {
            make(scaled);
        } catch (...) {
            GDALDestroyScaledProgress(scaled);
            throw;
        }
        GDALDestroyScaledProgress(scaled);
        step++;
    };
    // A product GDAL did not write because the caller cancelled is no failure.
    auto failed = [&](const std::string &name) {
        if (!progress(0, nullptr, progress_arg))
            throw Cancelled();
        throw Failure("cannot write " + name + ": " + gdal_reason());
    };
    Dataset model(GDALOpen(w.gtiff.c_str(), GA_ReadOnly));
    if (!model)
        throw Failure("cannot read back " + w.p.output + ": " + gdal_reason());
    if (!w.names.hillshade.empty())
        share([&](void *scaled) {
            if (!write_hillshade(model.get(), w.names.hillshade, scaled))
                failed(w.p.hillshade);
        });
    if (w.p.format == "COG")
        share([&](void *scaled) {
            Dataset written = write_cog(model.get(), w.names.model, w.p.creation_options, scaled);
            if (!written)
                failed(w.p.output);
            finish(written, w.p.output);
        });
    model.reset();
    if (!progress(1, nullptr, progress_arg))
        throw Cancelled();
    w.files.commit();
}

void ProductWriter::discard() { impl_.reset(); }

double ProductWriter::nodata() const { return impl_->nodata; }
long long ProductWriter::clamped() const { return impl_->clamped; }
long long ProductWriter::nodata_in_data() const { return impl_->nodata_in_data; }

} // namespace tolvane::geo
