// The grid the core works on: its place in the coordinate system, and the burned
// contour altitudes.
#ifndef TOLVANE_GEO_GRID_H
#define TOLVANE_GEO_GRID_H

#include "levels.h"
#include "options.h"

#include <cstdint>
#include <string>
#include <vector>

#include <cpl_progress.h>

namespace geo {

struct Grid {
    double origin_x = 0, origin_y = 0; // top-left corner of the top-left pixel
    double xres = 0, yres = 0;         // pixel width and height, both positive
    int rows = 0, columns = 0;
    std::string srs_wkt;               // empty: no coordinate system
};

// The grid over the contours' bounding box: the extent given (-te), or the box
// with one empty pixel around it, since the core never starts a zone on the
// border. -tap moves every edge outward to a multiple of the pixel size. Throws
// Failure when the grid is too large for int sizes or for this machine's memory.
Grid grid_over(const Extent &box, const Options &options, const std::string &srs_wkt);

// What the core receives: rows x columns cells, the scaled contour altitude on
// every contour pixel and tolvane::EMPTY elsewhere, and the level table.
struct ContourGrid {
    Grid grid;
    std::vector<std::int32_t> cells;
    LevelTable table;
    long long lines = 0; // features (vector input) or contour cells (raster input) read
    int line_joins = 0;  // gaps closed on the lines before burning (-repair_gaps)
};

// Refuses a grid whose size does not fit the core's int sizes or this machine's
// memory, saying how large it is.
void check_size(double rows, double columns);

// Reads INPUT (vector lines or a contour raster), reprojects it when asked and
// burns it into the grid. Throws Failure, or UsageFailure when an option is
// missing for this kind of input.
ContourGrid burn_contours(const Options &options, GDALProgressFunc progress, void *progress_data);

} // namespace geo

#endif
