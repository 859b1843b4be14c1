// Command line of tolvane-geo: GDAL's option names, read from the library's
// option table (<tolvane/geo_options.h>) with their help and what they set.
#ifndef TOLVANE_GEO_APP_OPTIONS_H
#define TOLVANE_GEO_APP_OPTIONS_H

#include <tolvane/geo.h>

#include <string>
#include <vector>

struct Options {
    tolvane::geo::Request request;
    bool quiet = false; // -q
};

// What the command line asks for: a run, the usage, the version, or the usage
// after a mistake (message says which).
struct Parsed {
    enum class Action { run, help, version, bad } action = Action::run;
    Options options;
    std::string message;
};

Parsed parse_options(const std::vector<std::string> &args);
std::string usage_text();

#endif
