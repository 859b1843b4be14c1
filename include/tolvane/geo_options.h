// The options of a request, declared once for every front end: tolvane-geo's
// command line and --help, Python's keywords (tolvane.geo, the tiles' pickled
// requests and command line) and the QGIS algorithm's parameters are all read
// from this table, and every value from any of them goes through one parser.
//
//     std::vector<tolvane::geo::Setting> s = {{"source", {"curvas.gpkg"}},
//                                             {"output", {"dem.tif"}},
//                                             {"resolution", {"10", "10"}}};
//     tolvane::geo::Request r = tolvane::geo::parse_settings(s);
#ifndef TOLVANE_GEO_OPTIONS_H
#define TOLVANE_GEO_OPTIONS_H

#include <tolvane/geo.h>

#include <string>
#include <vector>

namespace tolvane::geo {

// How a front end names options: tolvane-geo's flags, Python's keywords, QGIS's
// parameters.
enum class Naming { flag, keyword, parameter };

// What an option's values are. Numbers are finite; whole numbers have no
// fraction; both stay within the option's bounds, or are one of its words.
enum class ValueKind {
    flag,   // no value: given or not
    text,   // a word: a layer, a field, a coordinate system
    path,   // a file name
    number, // numbers
    whole,  // whole numbers
    choice, // one of the option's words
};

struct Option {
    const char *key;       // the name messages and Failure::key() use
    const char *flag;      // tolvane-geo's ("-a"); "" for the positional INPUT and OUTPUT, or none
    const char *keyword;   // Python's ("attribute"); "" when Python has none
    const char *parameter; // QGIS's ("FIELD"); "" when QGIS has none
    ValueKind kind;
    std::vector<std::string> values; // the names of its values ("XRES", "YRES"), as many as it takes
    double lowest, highest;          // bounds of number and whole values
    std::vector<std::string> words;  // of a choice; of a number, the words it takes besides ("auto")
    std::string bounds;              // what a value out of bounds hears after the option's name
    const char *default_value;       // the value that stands when the option is not given; "" none
    bool repeatable;                 // given once for each value (-co)
    bool required;                   // tolvane-geo's usage shows it without brackets
    const char *help;                // lines; named() tokens name other options
    // Sets the request's field from values already checked against the above;
    // throws UsageFailure for what they cannot say (HIGHEST below LOWEST, say).
    void (*set)(Request &request, const std::vector<std::string> &values);
};

// Every option, in the order of tolvane-geo's --help. "source" and "output" are
// tolvane-geo's INPUT and OUTPUT; "quiet" is no part of the request (its front
// ends print less).
const std::vector<Option> &options();

// The option of this key, or nullptr.
const Option *find_option(const std::string &key);

// An option given, with its values as words (a number as its decimal text).
struct Setting {
    std::string key;
    std::vector<std::string> values;
};

// The request these settings make, each value checked (its count, kind, bounds,
// no NUL byte) and the options checked together (-a with -z). A repeatable option
// adds a value each time; any other given again takes the last values, as GDAL's
// utilities do. Throws UsageFailure, whose key() is the option at fault.
Request parse_settings(const std::vector<Setting> &settings);

// Text whose named() tokens are worded with each option's name under `naming`
// (an option that front end lacks keeps tolvane-geo's name). A keyword that
// heads a clause ("dtype: ...") is written without its "=".
std::string worded(const std::string &text, Naming naming);

// A number as a value the parser reads back exactly ("%.17g": "10" for 10.0).
std::string exact_text(double value);

// The text of each token's key in `text`, in order.
std::vector<std::string> named_keys(const std::string &text);

} // namespace tolvane::geo

#endif
