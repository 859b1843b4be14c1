// The edge of the mapped area traced through the lines' ends. Where contours
// stop at the edge of their data (a clip, the nodata border of a DEM), they stop
// in a row along it: the edge runs from each end to the next. Joining every end
// to its two neighbours along that row closes the area, and what a flood from
// the grid's edge reaches without crossing a line or a join lies outside it.
#ifndef TOLVANE_GEO_BORDER_H
#define TOLVANE_GEO_BORDER_H

#include "repair.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include <ogr_api.h>

namespace tolvane::geo {

// A straight piece of the edge, in map units.
struct BorderJoin {
    MapPoint a, b;
};

// The ends of the open lines of `lines` (every end, wherever it lies; pieces of
// one line that meet have none there), joined by straight segments: the closest
// pairs first, a join kept when it crosses or touches no line and no join kept
// (but at its own two ends) and both its ends have fewer than two joins; then
// the ends still short of two joined among themselves at any distance, with
// the same rules. Each end lies on the edge of the mapped area, so it has two
// neighbours along it; the nearest ends that cross nothing are those
// neighbours, and a join never cuts a band off, since it would cross its
// lines. `pixel` sets the tolerance of the crossing test. Only the first
// `features` of the layer are read: the lines as given, ahead of the joins of
// their gaps. A row of pieces along the data's edge has ends that the repair
// takes for gaps and joins in pairs, and the edge between two such pairs
// would have no end on it.
std::vector<BorderJoin> border_joins(OGRLayerH lines, double pixel, long long features);

// The footprint the joins close on a window of `rows` x `columns` cells of a grid
// (`origin_x`, `origin_y` its corner, `xres`, `yres` its cell, the window at
// (`row`, `column`) on it) whose cells hold the burned lines: 1 for every cell
// the flood from the window's edge (4-connected, through cells that hold no
// line and that no join touches) does not reach, less the cells only a join
// touches, which lie on the edge of the mapped area itself: but for those a
// join crosses with their centres on its inner side, where the edge it
// stands for bends away from the straight join. Empty when `joins` is empty.
struct CellGrid {
    double origin_x, origin_y, xres, yres;
    int row, column, rows, columns;
};
// With `voids`, `in_voids` receives 1 on the cells inside that lie in a void of
// the data within the mapped area (of the DEM the lines were drawn from): the
// lines stop all around it with their ends, and their joins close a ring
// around it (as many cells of joins beside it as of lines, at least) that the
// flood from the window's edge never reaches. Where the lines stopping on it
// are of levels more than an interval apart, its inside would join their
// bands into one zone, and it is marked with the cells of its ring that would
// lie inside; one whose lines are a band's two fills as the band around it.
// Without such a void `in_voids` is left empty.
struct VoidRule {
    long long interval; // of the level table
};
std::vector<std::uint8_t> inside_border(const std::vector<std::int32_t> &cells, const CellGrid &grid,
                                        const std::vector<BorderJoin> &joins, const VoidRule *voids = nullptr,
                                        std::vector<std::uint8_t> *in_voids = nullptr);

} // namespace tolvane::geo

#endif
