// Command-line parsing: one table of options, each with its values, its help and
// what it sets in the request; the usage is written from the same table. Every
// value is checked here, so that the run itself only meets problems of the data.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace {

using tolvane::geo::OutputType;
using Values = std::vector<std::string>;

bool number(const std::string &word, double &value)
{
    if (word.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtod(word.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(value);
}

// The values of an option as numbers; the message names the first that is not.
std::string numbers(const std::string &option, const Values &words, std::vector<double> &out)
{
    for (const std::string &w : words) {
        double v = 0;
        if (!number(w, v))
            return option + ": '" + w + "' is not a number";
        out.push_back(v);
    }
    return "";
}

// An option: its name, the names of its values, its help (lines after the first
// indented under it) and what it sets; set returns a message when a value is wrong.
struct Option {
    const char *name;
    Values values;
    const char *help;
    std::string (*set)(Options &o, const Values &v);
};

std::string set_resolution(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-tr", v, n);
    if (m.empty() && (n[0] <= 0 || n[1] <= 0))
        m = "-tr: the pixel size must be positive";
    if (m.empty()) {
        o.request.grid.xres = n[0];
        o.request.grid.yres = n[1];
    }
    return m;
}

std::string set_extent(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-te", v, n);
    if (m.empty() && (n[0] >= n[2] || n[1] >= n[3]))
        m = "-te: XMIN must be below XMAX and YMIN below YMAX";
    if (m.empty())
        o.request.grid.extent = tolvane::geo::Extent{n[0], n[1], n[2], n[3]};
    return m;
}

std::string set_levels(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-levels", v, n);
    if (m.empty() && (n[2] <= 0 || n[1] < n[0]))
        m = "-levels: HIGHEST must not be below LOWEST, and INTERVAL must be positive";
    if (m.empty())
        o.request.levels.given = tolvane::geo::GivenLevels{n[0], n[1], n[2]};
    return m;
}

std::string set_scale(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-scale", v, n);
    if (m.empty() && n[0] <= 0)
        m = "-scale: the factor must be positive";
    if (m.empty())
        o.request.levels.scale = n[0];
    return m;
}

std::string set_smoothing(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-smooth", v, n);
    if (!m.empty())
        return m;
    if (n[0] != std::trunc(n[0]) || std::fabs(n[0]) > 1e6)
        return "-smooth: the size is a whole number";
    o.request.core.smoothing = static_cast<int>(n[0]);
    try {
        tolvane::check_smoothing(o.request.core.smoothing);
    } catch (const tolvane::Error &e) {
        return std::string("-smooth: ") + e.what();
    }
    return "";
}

std::string set_threads(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-threads", v, n);
    if (m.empty() && (n[0] < 1 || n[0] > 256 || n[0] != std::trunc(n[0])))
        m = "-threads: a whole number from 1 to 256";
    if (m.empty())
        o.request.core.threads = static_cast<int>(n[0]);
    return m;
}

std::string set_type(Options &o, const Values &v)
{
    for (OutputType t : {OutputType::Float32, OutputType::Int32, OutputType::Int16})
        if (v[0] == tolvane::geo::type_name(t)) {
            o.request.product.type = t;
            return "";
        }
    return "-ot: '" + v[0] + "' is not Float32, Int32 or Int16";
}

std::string set_format(Options &o, const Values &v)
{
    if (v[0] != "GTiff" && v[0] != "COG")
        return "-of: '" + v[0] + "' is not GTiff or COG";
    o.request.product.format = v[0];
    return "";
}

std::string set_creation_option(Options &o, const Values &v)
{
    if (v[0].find('=') == std::string::npos || v[0].front() == '=')
        return "-co: '" + v[0] + "' is not NAME=VALUE";
    o.request.product.creation_options.push_back(v[0]);
    return "";
}

std::string set_nodata(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-a_nodata", v, n);
    if (m.empty())
        o.request.product.nodata = n[0];
    return m;
}

std::string set_repair(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-repair_gaps", v, n);
    if (m.empty() && (n[0] < 0 || n[0] > 100))
        m = "-repair_gaps: the distance is a number of pixels from 0 (no repair) to 100";
    if (m.empty())
        o.request.repair.gaps = n[0];
    return m;
}

std::string set_oversample(Options &o, const Values &v)
{
    if (v[0] == "auto") {
        o.request.core.oversample = 0;
        return "";
    }
    std::vector<double> n;
    std::string m = numbers("-oversample", v, n);
    if (m.empty() && (n[0] < 1 || n[0] > 16 || n[0] != std::trunc(n[0])))
        m = "-oversample: auto, or a whole number from 1 to 16";
    if (m.empty())
        o.request.core.oversample = static_cast<int>(n[0]);
    return m;
}

std::string set_memory(Options &o, const Values &v)
{
    std::vector<double> n;
    std::string m = numbers("-wm", v, n);
    if (m.empty() && n[0] < 1)
        m = "-wm: the memory of the windows, in MiB, at least 1";
    if (m.empty())
        o.request.core.memory = n[0] * 1024 * 1024;
    return m;
}

const std::vector<Option> &option_table()
{
    static const std::vector<Option> table = {
        {"-a", {"ATTRIBUTE"}, "field holding the contour altitude (default: elev)",
         [](Options &o, const Values &v) { o.request.source.attribute = v[0]; return std::string(); }},
        {"-z", {}, "take the altitude from the lines' Z coordinate instead",
         [](Options &o, const Values &) { o.request.source.height_from_z = true; return std::string(); }},
        {"-l", {"LAYER"}, "layer to read (default: the first one)",
         [](Options &o, const Values &v) { o.request.source.layer = v[0]; return std::string(); }},
        {"-tr", {"XRES", "YRES"}, "pixel size in the units of the coordinate system\n(raster input: default its own)",
         set_resolution},
        {"-te", {"XMIN", "YMIN", "XMAX", "YMAX"}, "extent (default: the lines plus one pixel around)", set_extent},
        {"-tap", {}, "align the extent on multiples of the pixel size",
         [](Options &o, const Values &) { o.request.grid.aligned = true; return std::string(); }},
        {"-t_srs", {"SRS"}, "reproject the input first (EPSG:25830, a WKT or PROJ string)",
         [](Options &o, const Values &v) { o.request.grid.target_srs = v[0]; return std::string(); }},
        {"-levels", {"LOWEST", "HIGHEST", "INTERVAL"}, "contour levels (default: found in the data)", set_levels},
        {"-scale", {"FACTOR"},
         "multiply the levels by FACTOR to make them whole numbers\n(default: a power of ten that does)", set_scale},
        {"-smooth", {"N"}, "Bezier smoothing size: 1 (none), 3, 5, 7 or 9 (default: 1)", set_smoothing},
        {"-oversample", {"N|auto"},
         "burn the lines N times finer and aggregate back to the pixel\n(default: auto, from how dense the lines are; "
         "1: off)",
         set_oversample},
        {"-wm", {"MiB"}, "memory for the core's windows (default: a quarter of the\nmachine's); larger grids run in "
                          "windows",
         set_memory},
        {"-threads", {"N"}, "threads of the core (default: TOLVANE_THREADS, else every\ncore); the result is the same for every number",
         set_threads},
        {"-ot", {"TYPE"}, "Float32 (default), Int32 or Int16: integers are rounded", set_type},
        {"-of", {"FORMAT"}, "GTiff (default) or COG (cloud-optimised GeoTIFF)", set_format},
        {"-co", {"NAME=VALUE"}, "creation option of the output driver (repeatable)", set_creation_option},
        {"-a_nodata", {"VALUE"}, "nodata value declared (default: a value outside the data)", set_nodata},
        {"-contours", {"FILE"}, "also write the burned contour grid (Int32 GeoTIFF,\nempty cells 10000000)",
         [](Options &o, const Values &v) { o.request.product.contours = v[0]; return std::string(); }},
        {"-hillshade", {"FILE.png"}, "also write a shaded relief",
         [](Options &o, const Values &v) { o.request.product.hillshade = v[0]; return std::string(); }},
        {"-repair_gaps", {"PIXELS"},
         "join line ends of the same level at most PIXELS apart\nthat head towards each other, across nothing but empty "
         "space,\nand where zones still leak, along the middle of their band\n(default: the contour spacing, 4 to 8 "
         "pixels, where lines\nstop in the open; 0: no repair)",
         set_repair},
        {"-mask", {"FILE|auto|none"},
         "polygons of the area the contours cover: outside is nodata,\nand lines ending on its edge close their bands "
         "there;\nauto: the convex hull of the lines (for convex sheets);\nnone: no footprint (default: the area the "
         "lines cover,\ndrawn through the ends where they stop in the open)",
         [](Options &o, const Values &v) { o.request.footprint.mask = v[0]; return std::string(); }},
        {"-strict", {}, "fail, writing nothing, when zones still leak after the repairs",
         [](Options &o, const Values &) { o.request.strict = true; return std::string(); }},
        {"-leaks", {"FILE"}, "write where zones leaked past other contours (Byte GeoTIFF)",
         [](Options &o, const Values &v) { o.request.product.leaks = v[0]; return std::string(); }},
        {"-q", {}, "no progress and no notes",
         [](Options &o, const Values &) { o.quiet = true; return std::string(); }},
    };
    return table;
}

const Option *find_option(const std::string &word)
{
    if (word == "-quiet")
        return find_option("-q");
    for (const Option &o : option_table())
        if (word == o.name)
            return &o;
    return nullptr;
}

std::string call(const Option &o)
{
    std::string s = o.name;
    for (const std::string &v : o.values)
        s += " " + v;
    return s;
}

} // namespace

std::string usage_text()
{
    std::string synopsis = "Usage: tolvane-geo";
    std::size_t width = synopsis.size();
    for (const Option &o : option_table()) {
        const std::string item = " [" + call(o) + "]";
        if (width + item.size() > 79) {
            synopsis += "\n                  ";
            width = 18;
        }
        synopsis += item;
        width += item.size();
    }
    std::string text = synopsis + "\n                   [--help] [--version]\n                   INPUT OUTPUT\n\n"
                                  "Interpolates an elevation model between contour lines (any GDAL vector format,\n"
                                  "or a raster whose valid cells are contour altitudes) and writes it as GeoTIFF.\n\n";
    for (const Option &o : option_table()) {
        std::string head = "  " + call(o);
        std::string help = o.help;
        std::size_t cut = 0;
        const std::string indent = "\n                 ";
        while ((cut = help.find('\n', cut)) != std::string::npos) {
            help.replace(cut, 1, indent);
            cut += indent.size();
        }
        text += head + (head.size() < 17 ? std::string(17 - head.size(), ' ') : "  ") + help + "\n";
    }
    return text;
}

Parsed parse_options(const std::vector<std::string> &args)
{
    Parsed p;
    std::vector<std::string> positional;
    std::set<std::string> seen;
    auto bad = [&p](std::string message) {
        p.action = Parsed::Action::bad;
        p.message = std::move(message);
        return p;
    };
    for (std::size_t next = 0; next < args.size();) {
        const std::string &a = args[next++];
        if (a == "--help" || a == "-h") {
            p.action = Parsed::Action::help;
            return p;
        }
        if (a == "--version") {
            p.action = Parsed::Action::version;
            return p;
        }
        if (const Option *o = find_option(a)) {
            if (args.size() - next < o->values.size())
                return bad(std::string(o->name) + " needs " +
                           (o->values.size() > 1 ? std::to_string(o->values.size()) + " values" : "a value"));
            const Values v(args.begin() + static_cast<long>(next), args.begin() + static_cast<long>(next + o->values.size()));
            next += o->values.size();
            const std::string message = o->set(p.options, v);
            if (!message.empty())
                return bad(message);
            seen.insert(o->name);
        } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
            return bad("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (seen.count("-a") && seen.count("-z"))
        return bad("-a and -z exclude each other");
    if (positional.size() != 2)
        return bad(positional.size() < 2 ? "INPUT and OUTPUT are required" : "too many file names");
    p.options.request.source.path = positional[0];
    p.options.request.product.output = positional[1];
    return p;
}
