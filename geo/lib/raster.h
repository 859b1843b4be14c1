// Reading a contour raster: a raster whose valid cells are contour altitudes,
// used on its own pixels, or warped (nearest neighbour) onto the grid asked
// for. Refuses a rotated grid, a geographic system and a raster without a
// contour cell.
#ifndef TOLVANE_GEO_RASTER_H
#define TOLVANE_GEO_RASTER_H

#include "gdal_handles.h"
#include "measures.h"

#include <tolvane/geo.h>

#include <cstdint>
#include <string>
#include <vector>

#include <cpl_progress.h>

namespace tolvane::geo {

struct ContourRaster {
    std::string path;
    Grid grid;
    LevelTable table;
    long long cells = 0; // contour cells
    PixelBox sheet;      // the pixels the contours span
    // On its own pixels: the band read window by window; warped: the whole grid
    // in the core's units.
    Dataset band;
    std::vector<std::int32_t> warped;
};

// `owned` is the dataset of `source`, kept when its own pixels are the grid.
ContourRaster open_contour_raster(GDALDatasetH source, Dataset owned, const SourceRequest &s, const GridRequest &g,
                                  const LevelRequest &l, GDALProgressFunc progress, void *progress_arg);

// rows x columns cells from (row, column) of the grid (the window may reach past
// its edges), in the core's units. Throws Failure.
std::vector<std::int32_t> read_contour_raster(const ContourRaster &raster, int row, int column, int rows,
                                              int columns);

} // namespace tolvane::geo

#endif
