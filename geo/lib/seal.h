// The last repair: the gaps through which bands still run together once the
// lines are repaired and the footprint walled, closed along the middle of the
// band the lost piece of line crossed.
#ifndef TOLVANE_GEO_SEAL_H
#define TOLVANE_GEO_SEAL_H

#include "repair.h"

#include <cstdint>
#include <vector>

namespace tolvane::geo {

// An area of empty cells (4-connected, as the core labels its zones) whose lines
// hold more than two levels, or two not `interval` apart, leaks: a line of a
// level between the area's lowest and highest has a gap in it. The ends of such
// a line beside the area are joined in pairs of one level, closest first, each
// end once, when they lie at most `max_gap` cells apart and not both touch a
// line of another level (where lines merge on the cells, the neighbour that
// overwrote a line runs through its hole, and a path around it would run
// through the next band; walled cells, inside[k] == 0, are no line): by the cheapest
// 8-connected path through the area's empty cells no longer than twice their
// distance plus 4 cells. A step costs its length times 1 + |d- - d+| (the
// difference capped at 20), d- and d+ the distances to the nearest lines of the
// levels an interval below and above: the path keeps to the middle between
// them, where the lost piece most likely ran, and follows a bend where a
// straight join would cut a neighbour. Then, with the areas labelled again, an
// end still beside a leaking area goes the same way to the nearest cell of its
// level that is not its own line (a gap whose other side met a line of that
// level), at a cost of 1.5 times max_gap at most; the ends whose own line it
// reached are left. Cells of no leaking area are never touched, so lines whose
// bands hold are left as they are. Deterministic: ends in row-major order, ties
// of paths to the cell first reached.
Repairs seal_leaks(std::vector<std::int32_t> &cells, int rows, int columns, const std::vector<std::uint8_t> &inside,
                   long long interval, double max_gap);

} // namespace tolvane::geo

#endif
