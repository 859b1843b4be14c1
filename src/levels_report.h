// How the operator's levels fit the contour image: what a user should know
// before the zones are interpolated. Shared by the dialog, which prints it, and
// the library entry point, which returns it.
#ifndef LEVELS_REPORT_H
#define LEVELS_REPORT_H

#include <vector>

struct LevelReport {
    long long contour_pixels = 0;    // pixels of itab that are not VIDE
    long long off_level_pixels = 0;  // contour pixels whose altitude is no level of the table
    std::vector<int> missing_levels; // levels of the table that no pixel holds, lowest zone first
    int zones = 0;                   // zones of the level table (0 when nbplage <= 0)
    // Contour pixels beyond the core's altitudes (MAX_ALTITUDE either way), and
    // the first of them in row order: index (row x columns + column) and value.
    long long beyond_pixels = 0;
    long long first_beyond = -1;
    int first_beyond_value = 0;
};

// Counts over itab (the contour image as read) against the level table mit/mat
// of nbplage zones. The levels are mit[1..nbplage] and mat[nbplage]; without a
// zone the table has no level, and every contour pixel is off level.
LevelReport level_report();

// Pixels that the zone labelling put in a zone (non-zero code in tab).
long long zone_pixels();

#endif
