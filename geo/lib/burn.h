// Burning: the lines' levels (the field tolvane_level of their copy in memory)
// into any window of a grid, the empty marker elsewhere. A window gives the same
// cells as the same part of a burn of the whole grid.
#ifndef TOLVANE_GEO_BURN_H
#define TOLVANE_GEO_BURN_H

#include "lines.h"

#include <cstdint>
#include <vector>

#include <cpl_progress.h>

namespace tolvane::geo {

// rows x columns cells from (row, column) of `grid` (the window may reach past
// its edges). Throws Failure, or Cancelled when progress said stop.
std::vector<std::int32_t> burn_lines(const LinesRead &lines, const Grid &grid, int row, int column, int rows,
                                     int columns, GDALProgressFunc progress, void *progress_arg);

} // namespace tolvane::geo

#endif
