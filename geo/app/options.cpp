// Command-line parsing: the library's option table under tolvane-geo's flags.
// The words of argv become settings that the library's parser checks; the usage
// is written from the same table.
#include "options.h"

#include <tolvane/geo_options.h>

#include <cctype>

namespace {

using tolvane::geo::Option;

const Option *find_flag(const std::string &word)
{
    if (word == "-quiet")
        return find_flag("-q");
    for (const Option &o : tolvane::geo::options())
        if (*o.flag && word == o.flag)
            return &o;
    return nullptr;
}

std::string call(const Option &o)
{
    std::string s = o.flag;
    for (const std::string &v : o.values)
        s += " " + v;
    return s;
}

} // namespace

std::string usage_text()
{
    std::string synopsis = "Usage: tolvane-geo";
    std::size_t width = synopsis.size();
    for (const Option &o : tolvane::geo::options()) {
        if (!*o.flag)
            continue;
        const std::string item = o.required ? " " + call(o) : " [" + call(o) + "]";
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
    for (const Option &o : tolvane::geo::options()) {
        if (!*o.flag)
            continue;
        std::string head = "  " + call(o);
        std::string help = tolvane::geo::worded(o.help, tolvane::geo::Naming::flag);
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
    std::vector<tolvane::geo::Setting> settings;
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
        if (const Option *o = find_flag(a)) {
            // Fewer values than the option takes: the parser says how many it needs.
            const std::size_t n = std::min(o->values.size(), args.size() - next);
            settings.push_back({o->key, {args.begin() + static_cast<long>(next), args.begin() + static_cast<long>(next + n)}});
            next += n;
            if (settings.back().key == "quiet")
                p.options.quiet = true;
        } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
            return bad("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    try {
        p.options.request = tolvane::geo::parse_settings(settings);
    } catch (const tolvane::geo::UsageFailure &f) {
        return bad(f.what());
    }
    if (positional.size() != 2)
        return bad(positional.size() < 2 ? "INPUT and OUTPUT are required" : "too many file names");
    p.options.request.source.path = positional[0];
    p.options.request.product.output = positional[1];
    return p;
}
