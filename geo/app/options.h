// Command line of tolvane-geo.
#ifndef TOLVANE_GEO_OPTIONS_H
#define TOLVANE_GEO_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace geo {

enum class OutputType { Float32, Int32, Int16 };

struct Extent {
    double xmin = 0, ymin = 0, xmax = 0, ymax = 0;
};

struct GivenLevels {
    double lowest = 0, highest = 0, interval = 0;
};

struct Options {
    std::string attribute = "elev"; // -a
    bool height_from_z = false;     // -z
    std::string layer;              // -l; empty: the first layer
    bool has_resolution = false;    // -tr
    double xres = 0, yres = 0;
    std::optional<Extent> extent;   // -te
    bool aligned = false;           // -tap
    std::string target_srs;         // -t_srs
    std::optional<GivenLevels> levels; // -levels
    double scale = 0;               // -scale; 0: the smallest power of ten that fits
    int smoothing = 1;              // -smooth
    int threads = 0;                // -threads; 0: TOLVANE_THREADS or every core
    OutputType type = OutputType::Float32; // -ot
    std::string format = "GTiff";   // -of: GTiff or COG
    std::vector<std::string> creation_options; // -co NAME=VALUE
    std::optional<double> nodata;   // -a_nodata
    std::string contours_file;      // -contours
    std::string hillshade_file;     // -hillshade
    double repair_gaps = 0;         // -repair_gaps PIXELS; 0: no repair
    std::string mask_file;          // -mask: polygons of the footprint, or "auto"
    std::string leaks_file;         // -leaks: where the zones leaked (Byte GeoTIFF)
    bool quiet = false;             // -q
    std::string input, output;
};

// What the command line asks for: a run, the usage, the version, or the usage
// after a mistake (message says which).
struct Parsed {
    enum class Action { run, help, version, bad } action = Action::run;
    Options options;
    std::string message;
};

Parsed parse_options(const std::vector<std::string> &args);
const char *usage_text();
const char *type_name(OutputType type);

} // namespace geo

#endif
