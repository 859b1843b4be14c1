// Grid placement: the grid over the lines' extent or the extent given, its size
// checked against the core's int sizes and this machine's memory, and the
// conversions between map units and pixels. (place_grid itself is public, in
// <tolvane/geo.h>.)
#ifndef TOLVANE_GEO_GRID_H
#define TOLVANE_GEO_GRID_H

#include "measures.h"

#include <tolvane/geo.h>

#include <array>

namespace tolvane::geo {

// Refuses a grid whose size does not fit the core's int sizes or this machine's
// memory, saying how large it is.
void check_size(double rows, double columns);

// GDAL's geotransform of the window whose top-left pixel is (row, column).
std::array<double, 6> geotransform(const Grid &g, int row = 0, int column = 0);

// The grid's edges in map units.
Extent edges(const Grid &g);

// The pixels of grid g that the extent e spans.
PixelBox box_on(const Extent &e, const Grid &g);

} // namespace tolvane::geo

#endif
