// The wall: every empty pixel outside the footprint (or beyond the lines'
// extent) takes a level, so that the bands of the lines that end there close
// on its edge instead of running around their ends.
#ifndef TOLVANE_GEO_WALL_H
#define TOLVANE_GEO_WALL_H

#include "distance.h"

#include <cstdint>
#include <vector>

namespace tolvane::geo {

// Every empty pixel outside the footprint (inside[k] == 0) takes a level, so
// that lines ending on the footprint's edge close their bands there and no zone
// runs around their ends. The levels spread from the contour pixels through the
// empty pixels inside, then from those and the lines through the outside, the
// lines stopping both: a walled pixel takes the level that reaches it first. A
// band then meets walls of its own two levels only, and a low area bounded by
// one line a wall of that line's level, whatever other line's end lies closer
// across the outside. Outside pixels that nothing reaches take the level of
// their nearest contour pixel. Returns the pixels given a level; a footprint
// covering every pixel changes nothing.
long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside);
// The same with the map of the contour pixels of these cells, computed into
// `lines` when it is empty and needed.
long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside, SiteMap &lines);

// The margin beyond the lines' extent, when no footprint is given or drawn:
// every empty pixel outside takes the level of its nearest contour pixel (exact
// Euclidean distance, computed into `lines` when it is empty; ties as SiteMap
// breaks them), so that no band runs along the margin from one line's end to
// another's. Returns the pixels given a level.
long long wall_from_nearest_line(std::vector<std::int32_t> &cells, int rows, int columns,
                                 const std::vector<std::uint8_t> &inside, SiteMap &lines);

// Empties (tolvane::EMPTY, written as nodata) every cell outside the footprint.
void clear_outside(std::vector<std::int32_t> &cells, const std::vector<std::uint8_t> &inside);

} // namespace tolvane::geo

#endif
