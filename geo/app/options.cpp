// Command-line parsing: GDAL's option names, every value checked here so that the
// run itself only meets problems of the data.
#include "options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace geo {

const char *usage_text()
{
    return "Usage: tolvane-geo [-a ATTRIBUTE | -z] [-l LAYER] -tr XRES YRES\n"
           "                   [-te XMIN YMIN XMAX YMAX] [-tap] [-t_srs SRS]\n"
           "                   [-levels LOWEST HIGHEST INTERVAL] [-scale FACTOR] [-smooth N]\n"
           "                   [-threads N]\n"
           "                   [-ot Float32|Int32|Int16] [-of GTiff|COG] [-co NAME=VALUE]...\n"
           "                   [-a_nodata VALUE] [-contours FILE] [-hillshade FILE.png]\n"
           "                   [-repair_gaps PIXELS] [-mask FILE|auto] [-leaks FILE] [-q]\n"
           "                   [--help] [--version]\n"
           "                   INPUT OUTPUT\n"
           "\n"
           "Interpolates an elevation model between contour lines (any GDAL vector format,\n"
           "or a raster whose valid cells are contour altitudes) and writes it as GeoTIFF.\n"
           "\n"
           "  -a ATTRIBUTE   field holding the contour altitude (default: elev)\n"
           "  -z             take the altitude from the lines' Z coordinate instead\n"
           "  -l LAYER       layer to read (default: the first one)\n"
           "  -tr XRES YRES  pixel size in the units of the coordinate system\n"
           "                 (raster input: default its own)\n"
           "  -te XMIN YMIN XMAX YMAX  extent (default: the lines plus one pixel around)\n"
           "  -tap           align the extent on multiples of the pixel size\n"
           "  -t_srs SRS     reproject the input first (EPSG:25830, a WKT or PROJ string)\n"
           "  -levels LOWEST HIGHEST INTERVAL  contour levels (default: found in the data)\n"
           "  -scale FACTOR  multiply the levels by FACTOR to make them whole numbers\n"
           "                 (default: the smallest power of ten that does)\n"
           "  -smooth N      Bezier smoothing size: 1 (none), 3, 5, 7 or 9 (default: 1)\n"
           "  -threads N     threads of the core (default: TOLVANE_THREADS, else every\n"
           "                 core); the result is the same for every number\n"
           "  -ot TYPE       Float32 (default), Int32 or Int16: integers are rounded\n"
           "  -of FORMAT     GTiff (default) or COG (cloud-optimised GeoTIFF)\n"
           "  -co NAME=VALUE creation option of the output driver (repeatable)\n"
           "  -a_nodata VALUE  nodata value declared (default: a value outside the data)\n"
           "  -contours FILE also write the burned contour grid (Int32 GeoTIFF,\n"
           "                 empty cells 10000000)\n"
           "  -hillshade FILE.png  also write a shaded relief\n"
           "  -repair_gaps PIXELS  join line ends of the same level at most PIXELS apart\n"
           "                 that point at each other, across nothing but empty space\n"
           "  -mask FILE|auto  polygons of the area the contours cover: outside is nodata,\n"
           "                 and lines ending on its edge close their bands there;\n"
           "                 auto: the convex hull of the lines (for convex sheets)\n"
           "  -leaks FILE    write where zones leaked past other contours (Byte GeoTIFF)\n"
           "  -q             no progress and no notes\n";
}

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

namespace {

bool number(const std::string &word, double &value)
{
    if (word.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtod(word.c_str(), &end);
    return *end == '\0' && errno == 0 && std::isfinite(value);
}

// Walks the arguments; each take_* fails with a message naming the option.
class Reader {
public:
    explicit Reader(const std::vector<std::string> &args) : args_(args) {}
    bool done() const { return next_ >= args_.size(); }
    const std::string &word() { return args_[next_++]; }
    bool take_string(const std::string &option, std::string &value, std::string &message)
    {
        if (done()) {
            message = option + " needs a value";
            return false;
        }
        value = word();
        return true;
    }
    bool take_number(const std::string &option, double &value, std::string &message)
    {
        std::string w;
        if (!take_string(option, w, message))
            return false;
        if (!number(w, value)) {
            message = option + ": '" + w + "' is not a number";
            return false;
        }
        return true;
    }

private:
    const std::vector<std::string> &args_;
    std::size_t next_ = 0;
};

} // namespace

Parsed parse_options(const std::vector<std::string> &args)
{
    Parsed p;
    Options &o = p.options;
    Reader r(args);
    std::vector<std::string> positional;
    bool attribute_given = false;
    auto bad = [&p](std::string message) {
        p.action = Parsed::Action::bad;
        p.message = std::move(message);
        return p;
    };
    std::string &m = p.message;

    while (!r.done()) {
        const std::string a = r.word();
        if (a == "--help" || a == "-h") {
            p.action = Parsed::Action::help;
            return p;
        } else if (a == "--version") {
            p.action = Parsed::Action::version;
            return p;
        } else if (a == "-a") {
            if (!r.take_string(a, o.attribute, m))
                return bad(m);
            attribute_given = true;
        } else if (a == "-z") {
            o.height_from_z = true;
        } else if (a == "-l") {
            if (!r.take_string(a, o.layer, m))
                return bad(m);
        } else if (a == "-tr") {
            if (!r.take_number(a, o.xres, m) || !r.take_number(a, o.yres, m))
                return bad(m);
            if (o.xres <= 0 || o.yres <= 0)
                return bad("-tr: the pixel size must be positive");
            o.has_resolution = true;
        } else if (a == "-te") {
            Extent e;
            if (!r.take_number(a, e.xmin, m) || !r.take_number(a, e.ymin, m) ||
                !r.take_number(a, e.xmax, m) || !r.take_number(a, e.ymax, m))
                return bad(m);
            if (e.xmin >= e.xmax || e.ymin >= e.ymax)
                return bad("-te: XMIN must be below XMAX and YMIN below YMAX");
            o.extent = e;
        } else if (a == "-tap") {
            o.aligned = true;
        } else if (a == "-t_srs") {
            if (!r.take_string(a, o.target_srs, m))
                return bad(m);
        } else if (a == "-levels") {
            GivenLevels l;
            if (!r.take_number(a, l.lowest, m) || !r.take_number(a, l.highest, m) ||
                !r.take_number(a, l.interval, m))
                return bad(m);
            if (l.interval <= 0 || l.highest < l.lowest)
                return bad("-levels: HIGHEST must not be below LOWEST, and INTERVAL must be positive");
            o.levels = l;
        } else if (a == "-scale") {
            if (!r.take_number(a, o.scale, m))
                return bad(m);
            if (o.scale <= 0)
                return bad("-scale: the factor must be positive");
        } else if (a == "-smooth") {
            double n = 0;
            if (!r.take_number(a, n, m))
                return bad(m);
            if (n != 1 && n != 3 && n != 5 && n != 7 && n != 9)
                return bad("-smooth: the size is 1, 3, 5, 7 or 9");
            o.smoothing = static_cast<int>(n);
        } else if (a == "-threads") {
            double n = 0;
            if (!r.take_number(a, n, m))
                return bad(m);
            if (n < 1 || n > 256 || n != static_cast<int>(n))
                return bad("-threads: a whole number from 1 to 256");
            o.threads = static_cast<int>(n);
        } else if (a == "-ot") {
            std::string t;
            if (!r.take_string(a, t, m))
                return bad(m);
            if (t == "Float32")
                o.type = OutputType::Float32;
            else if (t == "Int32")
                o.type = OutputType::Int32;
            else if (t == "Int16")
                o.type = OutputType::Int16;
            else
                return bad("-ot: '" + t + "' is not Float32, Int32 or Int16");
        } else if (a == "-of") {
            if (!r.take_string(a, o.format, m))
                return bad(m);
            if (o.format != "GTiff" && o.format != "COG")
                return bad("-of: '" + o.format + "' is not GTiff or COG");
        } else if (a == "-co") {
            std::string c;
            if (!r.take_string(a, c, m))
                return bad(m);
            if (c.find('=') == std::string::npos || c.front() == '=')
                return bad("-co: '" + c + "' is not NAME=VALUE");
            o.creation_options.push_back(c);
        } else if (a == "-a_nodata") {
            double v = 0;
            if (!r.take_number(a, v, m))
                return bad(m);
            o.nodata = v;
        } else if (a == "-contours") {
            if (!r.take_string(a, o.contours_file, m))
                return bad(m);
        } else if (a == "-hillshade") {
            if (!r.take_string(a, o.hillshade_file, m))
                return bad(m);
        } else if (a == "-repair_gaps") {
            if (!r.take_number(a, o.repair_gaps, m))
                return bad(m);
            if (o.repair_gaps <= 0 || o.repair_gaps > 100)
                return bad("-repair_gaps: the distance is a number of pixels above 0 and at most 100");
        } else if (a == "-mask") {
            if (!r.take_string(a, o.mask_file, m))
                return bad(m);
        } else if (a == "-leaks") {
            if (!r.take_string(a, o.leaks_file, m))
                return bad(m);
        } else if (a == "-q" || a == "-quiet") {
            o.quiet = true;
        } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
            return bad("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (o.height_from_z && attribute_given)
        return bad("-a and -z exclude each other");
    if (positional.size() != 2)
        return bad(positional.size() < 2 ? "INPUT and OUTPUT are required" : "too many file names");
    o.input = positional[0];
    o.output = positional[1];
    return p;
}

} // namespace geo
