// The option table: each option's names in every front end, its values, its help
// and what it sets in the request, and the one parser that checks every value
// before a run starts, so that the run itself only meets problems of the data.
#include "options.h"

#include "oversample.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tolvane::geo {

namespace {

using Values = std::vector<std::string>;
constexpr double ANY = std::numeric_limits<double>::infinity();

double number(const std::string &word) { return std::strtod(word.c_str(), nullptr); }

void set_resolution(Request &q, const Values &v)
{
    if (number(v[0]) <= 0 || number(v[1]) <= 0)
        throw UsageFailure(named("resolution") + ": the pixel size must be positive");
    q.grid.xres = number(v[0]);
    q.grid.yres = number(v[1]);
}

void set_extent(Request &q, const Values &v)
{
    const Extent e{number(v[0]), number(v[1]), number(v[2]), number(v[3])};
    if (e.xmin >= e.xmax || e.ymin >= e.ymax)
        throw UsageFailure(named("extent") + ": XMIN must be below XMAX and YMIN below YMAX");
    q.grid.extent = e;
}

void set_levels(Request &q, const Values &v)
{
    const GivenLevels l{number(v[0]), number(v[1]), number(v[2])};
    if (l.interval <= 0 || l.highest < l.lowest)
        throw UsageFailure(named("levels") + ": HIGHEST must not be below LOWEST, and INTERVAL must be positive");
    q.levels.given = l;
}

void set_smoothing(Request &q, const Values &v)
{
    const int size = static_cast<int>(number(v[0]));
    try {
        tolvane::check_smoothing(size);
    } catch (const tolvane::Error &e) {
        throw UsageFailure(named("smoothing") + ": " + e.what());
    }
    if (size < 1)
        throw UsageFailure(named("smoothing") + ": smoothing size " + v[0] + ": it must be odd, from 1 to 9");
    q.core.smoothing = size;
}

void set_type(Request &q, const Values &v)
{
    for (OutputType t : {OutputType::Float32, OutputType::Int32, OutputType::Int16})
        if (v[0] == type_name(t))
            q.product.type = t;
}

void set_creation_option(Request &q, const Values &v)
{
    if (v[0].find('=') == std::string::npos || v[0].front() == '=')
        throw UsageFailure(named("creation_options") + ": '" + v[0] + "' is not NAME=VALUE");
    q.product.creation_options.push_back(v[0]);
}

void set_memory(Request &q, const Values &v)
{
    const double mib = number(v[0]);
    if (mib != 0 && mib < 1)
        throw UsageFailure(named("wm") + ": the memory of the windows, in MiB, at least 1 (0: the default)");
    q.core.memory = mib * 1024 * 1024;
}

#define SET(field) [](Request &q, const Values &v) { field = v[0]; }
#define TURN_ON(field) [](Request &q, const Values &) { field = true; }
// Another option named in a help, each front end wording it (see named()).
#define TOKEN_KEY(key) "\x1e" key "\x1f"

const std::string OVERSAMPLE_BOUNDS = "auto, or a whole number from 1 to " + std::to_string(OVERSAMPLE_MAX);

} // namespace

const std::vector<Option> &options()
{
    using K = ValueKind;
    static const std::vector<Option> table = {
        {"source", "", "source", "INPUT", K::path, {"INPUT"}, 0, 0, {}, "", "", false, true,
         "contour lines (any vector format GDAL reads) or a contour raster", SET(q.source.path)},
        {"output", "", "output", "OUTPUT", K::path, {"OUTPUT"}, 0, 0, {}, "", "", false, true,
         "the elevation model to write (GeoTIFF)", SET(q.product.output)},
        {"attribute", "-a", "attribute", "FIELD", K::text, {"ATTRIBUTE"}, 0, 0, {}, "", "elev", false, false,
         "field holding the contour altitude (default: elev)", SET(q.source.attribute)},
        {"z", "-z", "z", "", K::flag, {}, 0, 0, {}, "", "", false, false,
         "take the altitude from the lines' Z coordinate instead", TURN_ON(q.source.height_from_z)},
        {"layer", "-l", "layer", "", K::text, {"LAYER"}, 0, 0, {}, "", "", false, false,
         "layer to read (default: the first one)", SET(q.source.layer)},
        {"where", "-where", "where", "WHERE", K::text, {"EXPRESSION"}, 0, 0, {}, "", "", false, false,
         "read only the lines this attribute filter keeps (OGR SQL,\nas ogr2ogr -where: \"type = 'index'\")",
         SET(q.source.where)},
        {"resolution", "-tr", "resolution", "PIXEL_SIZE", K::number, {"XRES", "YRES"}, -ANY, ANY, {}, "", "", false,
         true, "pixel size in the units of the coordinate system\n(required for lines; a raster: default its own)",
         set_resolution},
        {"extent", "-te", "extent", "EXTENT", K::number, {"XMIN", "YMIN", "XMAX", "YMAX"}, -ANY, ANY, {}, "", "",
         false, false, "extent (default: the lines plus one pixel around)", set_extent},
        {"tap", "-tap", "tap", "", K::flag, {}, 0, 0, {}, "", "", false, false,
         "align the extent on multiples of the pixel size", TURN_ON(q.grid.aligned)},
        {"t_srs", "-t_srs", "t_srs", "TARGET_CRS", K::text, {"SRS"}, 0, 0, {}, "", "", false, false,
         "reproject the input first (EPSG:25830, a WKT or PROJ string)", SET(q.grid.target_srs)},
        {"levels", "-levels", "levels", "LEVELS", K::number, {"LOWEST", "HIGHEST", "INTERVAL"}, -ANY, ANY, {}, "",
         "", false, false, "contour levels (default: found in the data)", set_levels},
        {"scale", "-scale", "scale", "", K::number, {"FACTOR"}, 0, ANY, {}, "the factor must be positive", "0", false,
         false, "multiply the levels by FACTOR to make them whole numbers\n(default or 0: a power of ten that does)",
         [](Request &q, const Values &v) { q.levels.scale = number(v[0]); }},
        {"smoothing", "-smooth", "smoothing", "SMOOTHING", K::whole, {"N"}, 1, 9, {}, "", "1", false, false,
         "Bezier smoothing size: 1 (none), 3, 5, 7 or 9 (default: 1),\nof the plain surface only (" TOKEN_KEY("surface") " plain)", set_smoothing},
        {"oversample", "-oversample", "oversample", "OVERSAMPLE", K::whole, {"N|auto"}, 1, OVERSAMPLE_MAX, {"auto"},
         OVERSAMPLE_BOUNDS, "auto", false, false,
         "burn the lines N times finer and aggregate back to the pixel\n(default: auto, from how dense the lines are; "
         "1: off)",
         [](Request &q, const Values &v) { q.core.oversample = v[0] == "auto" ? 0 : static_cast<int>(number(v[0])); }},
        {"wm", "-wm", "wm", "", K::number, {"MiB"}, 0, ANY, {}, "the memory of the windows, in MiB, at least 1", "0",
         false, false,
         "memory for the core's windows (default or 0: 2048, on every\nmachine, so that the windows and the cells do not depend on it);\nlarger grids run in windows",
         set_memory},
        {"threads", "-threads", "threads", "", K::whole, {"N"}, 0, 256, {},
         "a whole number from 0 (the default) to 256", "0", false, false,
         "threads of the core, 1 to 256 (default or 0: TOLVANE_THREADS,\nelse every core); the result is the same "
         "for every number",
         [](Request &q, const Values &v) { q.core.threads = static_cast<int>(number(v[0])); }},
        {"surface", "-surface", "surface", "SURFACE", K::choice, {"KIND"}, 0, 0, {"plain", "smooth"},
         "plain or smooth", "smooth", false, false,
         "smooth (default): the slope carries across the lines, summits and\npits rounded; plain: the core's cells, "
         "straight between two lines",
         [](Request &q, const Values &v) { q.surface = v[0] == "smooth" ? Surface::smooth : Surface::plain; }},
        {"drainage", "-drainage", "drainage", "DRAINAGE", K::choice, {"MODE"}, 0, 0, {"auto", "none", "enforce"},
         "auto, none or enforce", "auto", false, false,
         "enforce: depressions no ring of the lines shows are filled or\ncarved, and flats slope toward their outlet, "
         "so that water runs\noff every pixel; none: the surface as drawn; auto (default):\nenforce on -surface smooth, "
         "none on -surface plain",
         [](Request &q, const Values &v) {
             q.drainage = v[0] == "enforce" ? Drainage::enforce : v[0] == "none" ? Drainage::none : Drainage::automatic;
         }},
        {"points", "-points", "points", "POINTS", K::path, {"FILE"}, 0, 0, {}, "", "", false, false,
         "spot heights: points whose altitudes the model holds on their\npixels, summits and pits shaped toward them "
         "(with " TOKEN_KEY("drainage") "\nenforce, a pit at one is kept)",
         SET(q.points.path)},
        {"points_a", "-points_a", "points_attribute", "POINTS_FIELD", K::text, {"FIELD"}, 0, 0, {}, "", "", false,
         false, "field holding the spot heights' altitude (default: the lines'\nattribute, or Z with " TOKEN_KEY("z") ")",
         SET(q.points.attribute)},
        {"lakes", "-lakes", "lakes", "LAKES", K::path, {"FILE"}, 0, 0, {}, "", "", false, false,
         "lakes: polygons the model holds flat at their level (with\n" TOKEN_KEY("drainage") " enforce, kept), "
         "the altitude from " TOKEN_KEY("lakes_a") ", else the\nlowest line that reaches each",
         SET(q.lakes.path)},
        {"lakes_a", "-lakes_a", "lakes_attribute", "LAKES_FIELD", K::text, {"FIELD"}, 0, 0, {}, "", "", false, false,
         "field holding the lakes' altitude (default: the lowest line\nthat reaches each lake)",
         SET(q.lakes.attribute)},
        {"streams", "-streams", "streams", "STREAMS", K::path, {"FILE"}, 0, 0, {}, "", "", false, false,
         "streams: lines along which the model descends, drawn either\nway, each pixel no higher than those beside "
         "it, in its band",
         SET(q.streams.path)},
        {"dtype", "-ot", "dtype", "", K::choice, {"TYPE"}, 0, 0, {"Float32", "Int32", "Int16"},
         "Float32, Int32 or Int16", "Float32", false, false, "Float32 (default), Int32 or Int16: integers are rounded",
         set_type},
        {"format", "-of", "", "", K::choice, {"FORMAT"}, 0, 0, {"GTiff", "COG"}, "GTiff or COG", "GTiff", false,
         false, "GTiff (default) or COG (cloud-optimised GeoTIFF)", SET(q.product.format)},
        {"cog", "", "cog", "", K::flag, {}, 0, 0, {}, "", "", false, false,
         "write a cloud-optimised GeoTIFF (as -of COG)", [](Request &q, const Values &) { q.product.format = "COG"; }},
        {"creation_options", "-co", "creation_options", "", K::text, {"NAME=VALUE"}, 0, 0, {}, "", "", true, false,
         "creation option of the output driver (repeatable)", set_creation_option},
        {"nodata", "-a_nodata", "nodata", "", K::number, {"VALUE"}, -ANY, ANY, {}, "", "", false, false,
         "nodata value declared (default: -9999, or an extreme of the\ntype when the data reach -9999)",
         [](Request &q, const Values &v) { q.product.nodata = number(v[0]); }},
        {"contours", "-contours", "contours", "", K::path, {"FILE"}, 0, 0, {}, "", "", false, false,
         "also write the burned contour grid, on the pixel at any\noversampling (Int32 GeoTIFF, Float64 for decimal levels;\nempty cells 10000000)",
         SET(q.product.contours)},
        {"hillshade", "-hillshade", "hillshade", "HILLSHADE", K::path, {"FILE.png"}, 0, 0, {}, "", "", false, false,
         "also write a shaded relief", SET(q.product.hillshade)},
        {"repair_gaps", "-repair_gaps", "repair_gaps", "REPAIR_GAPS", K::number, {"PIXELS"}, 0, 100, {},
         "the distance is a number of pixels from 0 (no repair) to 100", "", false, false,
         "join line ends of the same level at most PIXELS apart\nthat head towards each other, across nothing but empty "
         "space,\nand where zones still leak, along the middle of their band\n(default: the contour spacing, 4 to 8 "
         "pixels, where lines\nstop in the open; 0: no repair)",
         [](Request &q, const Values &v) { q.repair.gaps = number(v[0]); }},
        {"mask", "-mask", "mask", "MASK", K::path, {"FILE|auto|none"}, 0, 0, {}, "", "", false, false,
         "polygons of the area the contours cover: outside is nodata,\nand lines ending on its edge close their bands "
         "there;\nauto: the convex hull of the lines (for convex sheets);\nnone: no footprint (default: the area the "
         "lines cover,\ndrawn through the ends where they stop in the open)",
         SET(q.footprint.mask)},
        {"strict", "-strict", "strict", "", K::flag, {}, 0, 0, {}, "", "", false, false,
         "fail, writing nothing, when zones still leak after the repairs", TURN_ON(q.strict)},
        {"leaks", "-leaks", "leaks", "LEAKS", K::path, {"FILE"}, 0, 0, {}, "", "", false, false,
         "write where zones leaked past other contours (Byte GeoTIFF)", SET(q.product.leaks)},
        {"sinks", "-sinks", "sinks", "SINKS", K::path, {"FILE.gpkg"}, 0, 0, {}, "", "", false, false,
         "also write the depressions " TOKEN_KEY("drainage") " enforce keeps, as polygons\n(GeoPackage: the "
         "bottom, depth and area of each)",
         SET(q.product.sinks)},
        {"quiet", "-q", "", "", K::flag, {}, 0, 0, {}, "", "", false, false, "no progress and no notes",
         [](Request &, const Values &) {}},
    };
    return table;
}

#undef SET
#undef TURN_ON
#undef TOKEN_KEY

const Option *find_option(const std::string &key)
{
    for (const Option &o : options())
        if (key == o.key)
            return &o;
    return nullptr;
}

std::string exact_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

namespace {

// Whether each value is one this option takes; throws UsageFailure naming the first that is not.
void check_values(const Option &o, const Values &v)
{
    const std::string name = named(o.key);
    if (v.size() != o.values.size())
        throw UsageFailure(name + " needs " +
                           (o.values.size() > 1 ? std::to_string(o.values.size()) + " values" : "a value"));
    for (const std::string &w : v) {
        if (w.find('\0') != std::string::npos)
            throw UsageFailure(name + ": '" + w.substr(0, w.find('\0')) + "...' holds a NUL byte");
        const bool word = std::find(o.words.begin(), o.words.end(), w) != o.words.end();
        if (o.kind == ValueKind::choice && !word)
            throw UsageFailure(name + ": '" + w + "' is not " + o.bounds);
        if ((o.kind != ValueKind::number && o.kind != ValueKind::whole) || word)
            continue;
        char *end = nullptr;
        errno = 0;
        const double n = std::strtod(w.c_str(), &end);
        if (w.empty() || *end != '\0' || errno != 0 || !std::isfinite(n))
            throw UsageFailure(name + ": '" + w + "' is not a number");
        const bool fraction = o.kind == ValueKind::whole && n != std::trunc(n);
        if (o.bounds.empty()) {
            if (fraction)
                throw UsageFailure(name + ": '" + w + "' is not a whole number");
        } else if (fraction || n < o.lowest || n > o.highest) {
            throw UsageFailure(name + ": " + o.bounds);
        }
    }
}

} // namespace

Request parse_settings(const std::vector<Setting> &settings)
{
    Request q;
    bool attribute = false, z = false, points = false, points_a = false, lakes = false, lakes_a = false;
    for (const Setting &s : settings) {
        const Option *o = find_option(s.key);
        if (!o)
            throw UsageFailure("unknown option " + s.key);
        check_values(*o, s.values);
        o->set(q, s.values);
        attribute = attribute || s.key == "attribute";
        z = z || s.key == "z";
        points = points || s.key == "points";
        points_a = points_a || s.key == "points_a";
        lakes = lakes || s.key == "lakes";
        lakes_a = lakes_a || s.key == "lakes_a";
    }
    if (lakes_a && !lakes)
        throw UsageFailure(named("lakes_a") + " names the lakes' attribute: give them with " + named("lakes"));
    if (!q.product.sinks.empty() && !drains(q))
        throw UsageFailure(named("sinks") + " writes the depressions the drainage keeps: give " + named("drainage") +
                           " enforce");
    if (points_a && !points)
        throw UsageFailure(named("points_a") + " names the spot heights' attribute: give them with " +
                           named("points"));
    if (attribute && z)
        throw UsageFailure(named("attribute") + " and " + named("z") + " exclude each other");
    return q;
}

std::string named(const std::string &key) { return TOKEN_OPEN + key + TOKEN_CLOSE; }

std::vector<std::string> named_keys(const std::string &text)
{
    std::vector<std::string> keys;
    for (std::size_t open = text.find(TOKEN_OPEN); open != std::string::npos; open = text.find(TOKEN_OPEN, open + 1)) {
        const std::size_t close = text.find(TOKEN_CLOSE, open);
        if (close == std::string::npos)
            break;
        keys.push_back(text.substr(open + 1, close - open - 1));
    }
    return keys;
}

std::string worded(const std::string &text, Naming naming)
{
    std::string out;
    std::size_t from = 0;
    for (std::size_t open; (open = text.find(TOKEN_OPEN, from)) != std::string::npos;) {
        const std::size_t close = text.find(TOKEN_CLOSE, open);
        if (close == std::string::npos)
            break;
        out.append(text, from, open - from);
        const std::string key = text.substr(open + 1, close - open - 1);
        const Option *o = find_option(key);
        std::string name = key;
        if (o) {
            const char *own = naming == Naming::keyword ? o->keyword : naming == Naming::parameter ? o->parameter : "";
            if (*own)
                name = own;
            else if (*o->flag)
                name = o->flag;
            else if (!o->values.empty())
                name = o->values[0];
            if (naming == Naming::keyword && *o->keyword && text.compare(close + 1, 1, ":") != 0)
                name += "=";
        }
        out += name;
        from = close + 1;
    }
    out.append(text, from, std::string::npos);
    return out;
}

Failure::Failure(const std::string &message, const std::string &key)
    : std::runtime_error(worded(message, Naming::flag)), text_(message)
{
    if (!key.empty()) {
        key_ = key;
    } else {
        const std::vector<std::string> keys = named_keys(message);
        if (!keys.empty())
            key_ = keys.front();
    }
}

} // namespace tolvane::geo
