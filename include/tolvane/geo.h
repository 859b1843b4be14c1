// tolvane's GIS layer: from contour lines (any vector format GDAL reads) or a
// contour raster to a georeferenced elevation model, with the core of
// <tolvane/tolvane.h>. Every front end (tolvane-geo, Python's tolvane.geo, the
// tiles on Dask, QGIS) calls this library; none of it prints or reads argv.
//
//     tolvane::geo::Request r;
//     r.source.path = "curvas.gpkg";
//     r.grid.xres = r.grid.yres = 10;
//     r.product.output = "dem.tif";
//     tolvane::geo::Report report = tolvane::geo::elevation(r);
//
// Failures throw tolvane::geo::Failure (one English line). Call GDALAllRegister()
// before anything here.
#ifndef TOLVANE_GEO_H
#define TOLVANE_GEO_H

#include <tolvane/tolvane.h>

#include <cpl_progress.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane::geo {

// The token by which a message names an option (its key in the option table of
// <tolvane/geo_options.h>, such as "attribute"); each front end words it with its
// own name: "-a" for tolvane-geo, "attribute=" for Python, "FIELD" for QGIS.
//     throw Failure("no field 'altura': choose one with " + named("attribute"));
std::string named(const std::string &key);

// A failure of a run, in one line for the user. what() names options as
// tolvane-geo does; text() keeps the tokens, for front ends that name them
// otherwise (geo::worded). key() is the option at fault: the one given, else the
// first the message names, else empty.
struct Failure : std::runtime_error {
    explicit Failure(const std::string &message, const std::string &key = "");
    const std::string &key() const { return key_; }
    const std::string &text() const { return text_; }

private:
    std::string key_, text_;
};

// A request that lacks something this input needs (a pixel size for lines, say),
// or an option with a wrong value: the command line shows its usage after it.
struct UsageFailure : Failure {
    explicit UsageFailure(const std::string &message, const std::string &key = "") : Failure(message, key) {}
};

// The run was stopped by its progress function (it returned FALSE).
struct Cancelled : Failure {
    Cancelled() : Failure("interrupted") {}
};

struct Extent {
    double xmin = 0, ymin = 0, xmax = 0, ymax = 0;
};

// ---- Requests: what to read, on which grid, with which levels, into what. ----

// The contour lines (or a raster whose valid cells are contour altitudes).
struct SourceRequest {
    std::string path;
    std::string layer;              // empty: the first layer
    std::string attribute = "elev"; // field holding the altitude
    std::string where;              // an OGR SQL attribute filter of the lines; empty: every line
    bool height_from_z = false;     // take the altitude from Z instead
};

struct GridRequest {
    double xres = 0, yres = 0;     // pixel size; 0: a contour raster's own (lines need one)
    std::optional<Extent> extent;  // default: the lines' extent and one pixel around
    bool aligned = false;          // edges on multiples of the pixel size (-tap)
    std::string target_srs;        // reproject the input first; empty: its own system
};

struct GivenLevels {
    double lowest = 0, highest = 0, interval = 0;
};

struct LevelRequest {
    std::optional<GivenLevels> given; // default: found in the data
    double scale = 0;                 // 0: the smallest power of ten that makes the levels whole
};

// Joining line ends across gaps before the core runs.
struct RepairRequest {
    double gaps = -1; // largest gap closed, in pixels; 0: none; below 0: the contour
                      // spacing (4 to 8 pixels), where lines stop in the open
};

// The area the lines cover: outside it the output is nodata, and lines ending on
// its edge close their bands there.
struct FootprintRequest {
    std::string mask; // empty: drawn from the lines where they stop in the open;
                      // "none"; "auto": the convex hull of the lines; else a polygon file
};

enum class OutputType { Float32, Int32, Int16 };

struct ProductRequest {
    std::string output;                        // the elevation model (GeoTIFF or COG)
    OutputType type = OutputType::Float32;     // integer types are rounded and clamped
    std::string format = "GTiff";              // GTiff or COG
    std::vector<std::string> creation_options; // NAME=VALUE of the output driver
    std::optional<double> nodata;              // default: a value outside the data
    std::string contours;  // also the burned grid the core receives at -oversample 1 (Int32 GeoTIFF); empty: no
    std::string hillshade; // also a shaded relief (PNG); empty: no
    std::string leaks;     // also where zones leaked (Byte GeoTIFF); empty: no
    std::string sinks;     // also the depressions the drainage keeps (GeoPackage polygons); empty: no
};

// The core's own answers, and how it is run.
struct CoreRequest {
    int smoothing = 1;  // Bezier smoothing size: 1 (none), 3, 5, 7 or 9 (on the burned grid)
    int threads = 0;    // 0: TOLVANE_THREADS, else every core
    int oversample = 0; // burn and run on a grid N times finer, aggregated back; 0: chosen
                        // from the lines' spacing (1 where lines are 6 pixels apart or more)
    double memory = 0;  // bytes the windows of the core may take; 0: 2 GiB, on every machine
};

// The surface drawn on the core's cells: plain keeps them as the core gives them
// (straight between a band's two lines, flat inside a summit's or a pit's last
// line); smooth is the thin plate that passes closest to the lines' own points,
// held to the core's bands, so that the slope carries across the lines and
// summits and pits are shaped by the bands around them.
enum class Surface { plain, smooth };

// Drainage on the result: none leaves it as drawn; enforce removes the closed
// depressions no ring of the lines shows (filling or carving them) and gives
// every flat a slope toward its outlet, so that water runs off every pixel;
// automatic (the default) enforces on the smooth surface and leaves plain, the
// core's cells, as they are.
enum class Drainage { automatic, none, enforce };

// A height the smooth surface passes close to: where, in pixels of the grid
// (pixel (i, j) spans rows i to i + 1 and columns j to j + 1), its value in the
// core's units and its weight (a point of a line weighs 1; one that weighs more,
// a spot height, is kept at that weight on every grid the fit is solved on).
struct SurfacePoint {
    double row = 0, column = 0, value = 0, weight = 1;
};

// A line that closes on itself: its level and its vertices (row, column).
struct ClosedLine {
    double level = 0;
    std::vector<double> rows, columns;
};


// Spot heights: a point layer whose points' altitudes the surface passes
// through, a summit or a pit inside its innermost line shaped toward them.
struct SpotHeightRequest {
    std::string path;      // empty: none
    std::string attribute; // empty: the lines' (-a's, or Z with -z)
};

// Lakes: polygons held flat at their level, the altitude from an attribute or
// else from the lowest line that reaches them.
struct LakeRequest {
    std::string path;      // empty: none
    std::string attribute; // empty: from the lines
};

// Streams: lines along which the model descends, whichever way they were drawn.
struct StreamRequest {
    std::string path; // empty: none
};

struct Request {
    SourceRequest source;
    GridRequest grid;
    LevelRequest levels;
    RepairRequest repair;
    FootprintRequest footprint;
    CoreRequest core;
    ProductRequest product;
    Surface surface = Surface::smooth;
    Drainage drainage = Drainage::automatic;
    SpotHeightRequest points;
    LakeRequest lakes;
    StreamRequest streams;
    bool strict = false; // fail, writing nothing, when zones still leak
};

// Whether the run drains its result: enforce, or automatic on the smooth surface.
inline bool drains(const Request &q)
{
    return q.drainage == Drainage::enforce || (q.drainage == Drainage::automatic && q.surface == Surface::smooth);
}

// ---- What a run found and did. ----

// A north-up grid: rows x columns pixels of xres x yres whose top-left corner is
// (origin_x, origin_y).
struct Grid {
    double origin_x = 0, origin_y = 0;
    double xres = 0, yres = 0;
    int rows = 0, columns = 0;
    std::string srs_wkt; // empty: no coordinate system
};

// The whole-number level table the core sees. An altitude v becomes
// v x scale - base: scale is a power of ten that makes every level whole and
// gives the interval at least 1000 units (so that the core's whole-number
// arithmetic keeps a thousandth of the interval, whatever the unit), and base
// puts the lowest altitude at 0 (so that the result does not depend on the datum).
struct LevelTable {
    double scale = 1;
    long long base = 0;
    double decimals = 1;      // the power of ten that made the data whole (1: whole already)
    tolvane::Levels levels;   // in the core's units
    std::size_t distinct = 0; // distinct altitudes found in the data
    bool given = false;       // the levels were given, not found
    double lowest_value = 0, highest_value = 0; // the lowest and highest altitude in the data
};

// What a run counted: each window's preparation and core run add theirs, and the
// report reads the sum.
struct Counts {
    int grid_joins = 0;        // gaps closed on the burned grid
    double gap_distance = 0;   // the longest gap closed (0: no repair); in pixels in a Report, else burned cells
    double radius = 0;         // of the footprint drawn from the lines (0: none drawn); the same units
    std::size_t open_ends = 0; // line ends that stop in the open, before the footprint
    std::size_t ends_left = 0; // those still open inside the footprint
    long long outside = 0;     // pixels walled
    long long hidden = 0;      // of them, nodata in the output
    long long contour_pixels = 0;
    long long off_level_pixels = 0; // contour pixels whose altitude is no level of the table
    long long zone_pixels = 0;
    long long leak_pixels = 0; // zone pixels between contours that are not their zone's
    int windows = 0;           // runs of the core

    // Adds what one window counted (distances: the longest).
    void add(const Counts &window);
};

struct Report : Counts {
    Grid grid;
    LevelTable table;
    long long lines = 0;        // features (vector input) or contour cells (raster input) read
    std::vector<long long> without_altitude; // fids of lines left out: altitude NULL, NaN or infinite
    std::vector<long long> without_geometry; // fids of features left out: no geometry, or an empty one
    int line_joins = 0;         // gaps closed on the lines before burning
    bool footprint = false;     // pixels were walled (a footprint, or beyond the lines' extent)
    std::vector<double> missing_levels; // levels of the table no pixel holds, in the data's units
    double nodata = 0;          // the nodata value written
    long long clamped = 0;      // cells outside the integer type, clamped
    long long nodata_in_data = 0; // cells whose altitude equals the nodata value
    int oversample = 1;         // the factor the lines were burned at
    bool like_identifier = false; // the attribute numbers the lines (each its own whole number) instead
    // Drainage (when drains()): depressions deeper than a tenth of the
    // interval that a ring of the lines shows and were kept, their area in
    // square map units, those removed by filling and by carving, the pixels
    // moved by either, and the largest move, in the data's units.
    int sinks_kept = 0;
    double sinks_area = 0;
    int sinks_filled = 0, sinks_carved = 0;
    long long drained_pixels = 0;
    double drained_most = 0;
    // Spot heights on pixels with a value, and those left out (beyond the
    // grid, on nodata, or without an altitude).
    long long spot_heights = 0, spot_heights_left = 0;
    // Lake pixels held flat, and lakes on the grid without an altitude (no
    // attribute, no line reaching them), left as drawn.
    long long lake_pixels = 0;
    int lakes_without_level = 0;
    long long stream_pixels = 0; // pixels the streams lowered
};

// ---- The whole run. ----

// Reads the source, places the grid, finds the levels, burns, repairs, walls the
// footprint, runs the core and writes every product asked for, each in a private
// folder of the run beside it, renamed only when all are complete, all or nothing
// (a failure or an ending signal leaves none behind and the earlier files as they
// were). No product may be an input (the lines, their side files, the mask) or
// another product, whatever the path. progress follows GDAL's convention; when it
// returns FALSE the run stops with Cancelled, within a band of the core. Throws
// Failure.
Report elevation(const Request &request, GDALProgressFunc progress = nullptr, void *progress_arg = nullptr);

// The report in English lines, as tolvane-geo prints them: the notes (grid,
// levels, scale, repairs, footprint) and the warnings (what is left for the user
// to look at).
std::vector<std::string> notes(const Report &report, const Request &request);
std::vector<std::string> warnings(const Report &report, const Request &request);

// ---- The steps, for front ends that cut the run into windows (the tiles). ----

// The grid over `box` (the lines' extent in the grid's system): the extent given,
// or the box with one empty pixel around it; `aligned` moves every edge outward to
// a multiple of the pixel size. Throws Failure when the grid is too large.
Grid place_grid(const Extent &box, const GridRequest &request, const std::string &srs_wkt);

// The table for these altitudes: the given levels, or the lowest and highest value
// with the greatest common step as interval; scaled to whole numbers.
LevelTable find_levels(const std::vector<double> &values, const LevelRequest &request);

// A window of the grid as the core receives it: the contours burned, the gaps
// closed and the footprint walled.
struct Window : Counts {
    int row = 0, column = 0, rows = 0, columns = 0;
    std::vector<std::int32_t> cells;  // the scaled altitude on contour pixels, tolvane::EMPTY elsewhere
    std::vector<std::uint8_t> inside; // 1 where the core may label, 0 walled; empty: nothing walled
    std::vector<std::uint8_t> shown;  // 1 where the output shows the result; empty: everywhere
};

struct Computed;

// The contour lines or raster of a request, opened (and reprojected) once, with
// its grid and level table; burns any window of the grid. Not for use from
// several threads at once. Refuses an input that is a FIFO or a device, a
// product that is one of the files read, a layer that is not lines and features
// GDAL cannot read.
class ContourSource {
public:
    explicit ContourSource(const Request &request, GDALProgressFunc progress = nullptr, void *progress_arg = nullptr);
    ~ContourSource();
    ContourSource(const ContourSource &) = delete;
    ContourSource &operator=(const ContourSource &) = delete;

    const Grid &grid() const;
    const LevelTable &table() const;
    long long lines() const;
    int line_joins() const;
    // The longest gap the lines' default repair closes, in pixels, for the whole
    // sheet (0: no line stops in the open, or a distance was given).
    double gap_distance() const;
    // The source is a contour raster, not lines.
    bool raster() const;
    // The altitudes read number the lines, one whole number each, one after the
    // other: an identifier taken for the altitude.
    bool like_identifier() const;
    // The mean distance between neighbouring lines, in pixels of the grid,
    // measured over the blocks of `block` pixels they cross (infinity for a
    // raster).
    double line_spacing(int block = 16) const;
    // The factor the request asks for, or the one its lines need (1 for a raster).
    // Throws UsageFailure for a factor a raster cannot take.
    int choose_oversample(int requested) const;
    // From now on burn() and prepare() work on the grid n times finer (1: the grid).
    void set_oversample(int n);
    // The factor `auto` gave this source's run, once the run decided it (0:
    // not yet): a decision taken once per source, whatever the windows.
    int decided_oversample() const;
    void decide_oversample(int n);
    int oversample() const;
    // The extent of the lines in map units (a raster: the grid's).
    Extent lines_extent() const;
    // The fids of the features left out (see Report).
    const std::vector<long long> &without_altitude() const;
    const std::vector<long long> &without_geometry() const;

    // rows x columns cells from (row, column) of the grid (the window may reach
    // past the grid's edges): the same cells as the same part of a burn of the
    // whole grid.
    std::vector<std::int32_t> burn(int row, int column, int rows, int columns, GDALProgressFunc progress = nullptr,
                                   void *progress_arg = nullptr) const;

    // The window burned, then its gaps closed, its footprint and the grid beyond the
    // lines' extent walled as the request asks. The whole grid as one window gives
    // the run of tolvane-geo; smaller windows take the open ends, the lines'
    // extent and a drawn footprint or hull from the whole sheet's, and judge the
    // spacing of their gaps from their own lines, which differs from the whole
    // run near their edges in the cells, never in the pixels shown.
    Window prepare(int row, int column, int rows, int columns, GDALProgressFunc progress = nullptr,
                   void *progress_arg = nullptr) const;

    // Points along the lines that cross rows x columns pixels from (row,
    // column) of the grid and `margin` pixels around them: their vertices and
    // points between them no more than `step` pixels apart, at their levels in
    // the core's units, in pixels of that area (its top-left pixel at 0, 0).
    // None for a raster.
    std::vector<SurfacePoint> line_points(int row, int column, int rows, int columns, double margin,
                                          double step) const;

    // The lines that close on themselves (their first point their last), each
    // as its level in the core's units and its vertices in pixels of the grid
    // (row, column; the top-left pixel's corner at 0, 0). None for a raster.
    std::vector<ClosedLine> closed_lines() const;

    // The source's state, defined inside the library.
    struct Impl;

private:
    // The footprint judged once on the whole grid, where it is the sheet's
    // rather than a window's, for the run at factor n.
    void decide_footprint(int n);

    std::unique_ptr<Impl> impl_;
};

// The cells of an area of the grid, computed by the core window by window on the
// grid the source burns (n times finer when oversampling, aggregated back), with
// `halo` pixels of the grid around the area burned and computed too; each window
// runs with the part of the level table its own lines use, so that any number of
// zones runs. The source must have its factor set.
struct Computed : Counts {
    std::vector<double> cells;  // rows x columns, in the core's units; NaN: nodata
    std::vector<std::uint8_t> leak_mask;
    std::vector<int> missing_levels;
    // The pixels (row x columns + column) a spot height set, and the spot heights left out.
    std::vector<std::int64_t> spot_cells;
    long long spot_heights_left = 0;
    // The pixels a lake holds flat, and the lakes without an altitude.
    std::vector<std::int64_t> lake_cells;
    int lakes_without_level = 0;
    long long stream_pixels = 0; // lowered along the streams
    // The pixels of each stream in order downstream, along which drainage keeps them.
    std::vector<std::vector<std::int64_t>> stream_paths;
};
// `prepared`, when given, sees the whole grid as prepared for the core when it
// runs as one window (before the core works in its cells).
Computed compute(const ContourSource &source, const Request &request, int row, int column, int rows, int columns,
                 int halo, GDALProgressFunc progress = nullptr, void *progress_arg = nullptr,
                 const std::function<void(const Window &)> &prepared = nullptr);

// Sets the source's factor for the request's run and returns it: the factor
// asked for, or the one its lines need (choose_oversample), except where `auto`
// tries a finer one on a small grid (tries_finer): the whole grid is computed at
// it first, and it is kept when the bands hold there, once per source. `whole`,
// when given, receives that computation when its factor is kept (else it is left
// as it is).
int settle_oversample(ContourSource &source, const Request &request, Computed *whole = nullptr,
                      GDALProgressFunc progress = nullptr, void *progress_arg = nullptr);

// The elevation model written window by window: under a temporary name, renamed
// (with the hillshade made from it, and turned into a COG when asked) only by
// commit(); a writer destroyed before commit() leaves nothing behind.
class ProductWriter {
public:
    ProductWriter(const ProductRequest &product, const Grid &grid, const LevelTable &table);
    ~ProductWriter();
    ProductWriter(const ProductWriter &) = delete;
    ProductWriter &operator=(const ProductWriter &) = delete;

    // rows x columns cells of the core's result (EMPTY: nodata) at (row, column).
    void write(int row, int column, int rows, int columns, const std::int32_t *cells);
    // The same from computed cells (NaN: nodata).
    void write(int row, int column, int rows, int columns, const double *cells);
    // The burned contours of the whole grid, when the request asks for them.
    void write_contours(const std::vector<std::int32_t> &cells);
    // The leak mask of the whole grid, when the request asks for it.
    void write_leaks(const std::vector<std::uint8_t> &mask);
    // The depressions the drainage kept (`mask`, 1 under each, over the whole
    // grid) as polygons, each with its bottom, depth and area, read from the
    // drained `cells` (in the core's units, NaN without value), when the request
    // asks for them.
    void write_sinks(const std::vector<std::uint8_t> &mask, const std::vector<double> &cells);
    // Finishes every product and gives each its name. Throws Failure or Cancelled.
    void commit(GDALProgressFunc progress = nullptr, void *progress_arg = nullptr);
    // Removes what was written so far, now rather than when the writer goes (for
    // front ends whose objects may outlive an interrupted run); nothing else may
    // be called after it.
    void discard();

    double nodata() const;
    long long clamped() const;        // cells outside the integer type, clamped
    long long nodata_in_data() const; // cells whose altitude equals the nodata value

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Checks the products of a request before anything is computed: folders exist,
// no two products share a name, the format and creation options are ones GDAL
// takes. Throws Failure.
void check_products(const ProductRequest &product);

// "Float32", "Int32" or "Int16".
const char *type_name(OutputType type);

// "12.5" rather than "12.500000".
std::string decimal(double value);

} // namespace tolvane::geo

#endif
