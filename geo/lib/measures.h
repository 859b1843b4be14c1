// What the burned lines say of themselves (tolvane::EMPTY off the lines, the
// level on them): the rectangle they span, how far apart they run, where they
// stop in the open, and so how long a gap may be closed.
#ifndef TOLVANE_GEO_MEASURES_H
#define TOLVANE_GEO_MEASURES_H

#include "distance.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::geo {

// The rectangle of rows and columns that holds contour pixels (empty when none).
struct PixelBox {
    int top = 0, left = 0, bottom = -1, right = -1; // inclusive
    bool empty() const { return bottom < top || right < left; }
};
PixelBox lines_box(const std::vector<std::int32_t> &cells, int rows, int columns);

// The part of the grid the core may label: 0 beyond the lines' extent where the
// zones would run along the grid's margin from one band into the next, 1
// elsewhere. The core never labels row 0 and column 0, so the pixels above and
// left of the lines are outside only when the lines stop below row 1 or right of
// column 1; on the right and at the bottom, whenever the lines stop short of the
// last column or row. A sheet whose lines reach the grid's edge gets all 1: the
// default grid at a pixel size that divides the lines' extent.
std::vector<std::uint8_t> within_lines_extent(const std::vector<std::int32_t> &cells, int rows, int columns);

// How far apart neighbouring lines of different levels run, in pixels: the
// upper quartile, over the borders between the areas nearest to each contour
// pixel, of the distance between the two contour pixels a border separates when
// their levels differ. 0 when the grid holds fewer than two levels.
double contour_spacing(const std::vector<std::int32_t> &cells, int rows, int columns);
// The same with the map of the contour pixels of these cells.
double contour_spacing(const std::vector<std::int32_t> &cells, int rows, int columns, const SiteMap &lines);

// How far each contour pixel lies from the lines of other levels beside it, in
// pixels: the least distance to a contour pixel of another level whose area
// of nearest pixels borders its own (the borders of contour_spacing), 0 for the
// empty pixels and the contour pixels with no such neighbour. Where lines are
// dense it is small, between the widely spaced lines of a plain large; the
// last line of dense ones keeps the spacing of its dense side (the largest
// would reach across unmapped ground from the ends that border it).
std::vector<float> local_spacing(const std::vector<std::int32_t> &cells, int rows, int columns, const SiteMap &lines);

// Line ends that stop in the open: the ends of line_ends() farther than one pixel
// from the lines' extent (an end on it runs off the data, as at the grid's edge).
std::vector<std::size_t> open_ends(const std::vector<std::int32_t> &cells, int rows, int columns);
// The open ends `ends` (cells of a grid of `rows` x `columns`) that still stop
// inside the footprint `inside` (1 inside, 0 walled; empty: nothing walled): an
// end beside a walled pixel meets the footprint's edge, whatever level the wall
// took there.
std::size_t ends_left_open(const std::vector<std::size_t> &ends, int rows, int columns,
                           const std::vector<std::uint8_t> &inside);
// The longest gap closed by default, in pixels: the contour spacing, from 4 to 8
// pixels. repair_gaps joins only ends of one level that point at each other
// across empty space, so a longer reach finds more gaps, not other lines. Below
// 4, pieces of 3 pixels cut out of slanted lines stayed open: their burned ends
// lie farther apart than the piece's length along the line.
double gap_distance(double spacing);

} // namespace tolvane::geo

#endif
