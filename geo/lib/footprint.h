// The footprint of a sheet: the area where its contours were mapped. Outside it
// the lines simply stop; the core must not take those ends for gaps, and the
// output there is nodata.
#ifndef TOLVANE_GEO_FOOTPRINT_H
#define TOLVANE_GEO_FOOTPRINT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::geo {

struct Grid;

// 1 for every pixel of the grid whose centre lies in a polygon of FILE (every
// layer; reprojected to the grid's coordinate system when both have one), 0
// elsewhere. Throws Failure when the file cannot be read or holds no polygon.
std::vector<std::uint8_t> footprint_from_file(const std::string &file, const Grid &grid);

// -mask auto: the convex hull of the contour pixels' centres (pixels on its edge
// belong to it). Right for sheets whose mapped area is convex, such as a
// rectangle reprojected into the grid with nodata corners; other shapes need
// their polygons.
std::vector<std::uint8_t> footprint_of_lines(const std::vector<std::int32_t> &cells, int rows, int columns);

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
class SiteMap;
long long wall_outside(std::vector<std::int32_t> &cells, int rows, int columns,
                       const std::vector<std::uint8_t> &inside, SiteMap &lines);

// The margin beyond the lines' extent, when no footprint is given or drawn:
// every empty pixel outside takes the level of its nearest contour pixel (exact
// Euclidean distance, computed into `lines` when it is empty; ties as SiteMap
// breaks them), so that runs with no footprint wall as they always have. Returns
// the pixels given a level.
long long wall_from_nearest_line(std::vector<std::int32_t> &cells, int rows, int columns,
                                 const std::vector<std::uint8_t> &inside, SiteMap &lines);

// Empties (tolvane::EMPTY, written as nodata) every cell outside the footprint.
void clear_outside(std::vector<std::int32_t> &cells, const std::vector<std::uint8_t> &inside);

// Writes a 0/1 Byte GeoTIFF of the grid (the leak mask). Throws Failure.
void write_mask(const std::string &file, const Grid &grid, const std::vector<std::uint8_t> &mask);

} // namespace tolvane::geo

#endif
