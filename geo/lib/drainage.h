// Drainage on the result (-drainage enforce): water leaves every pixel of the
// model, downhill or across a flat toward its outlet, except into a depression
// the lines show. It runs once on the whole result grid, after the aggregation,
// on the pixels with a value (nodata pixels and the grid's edge are where water
// leaves the model).
// - A depression is found by a priority flood (Barnes, Lehman and Mulla, 2014):
//   the pixels the flood raises, each connected set flat at its spill level.
// - One deeper than a tenth of the interval is kept when a level of the table
//   lies between its bottom and its spill level: the lines close a ring around
//   it whose inside is lower (a pit ring; a spill below the level is a way out
//   below it, no ring). The ring holds the pit below its level, not the band's
//   water above: where that water is deeper than a tenth of the interval, or
//   makes deep a pit shallower than that below its ring, a trench along the
//   flood's path out, lowering no pixel by more than a quarter of the interval
//   and moving no more metres than the water, lets it out at the ring's level
//   (half a tenth above a shallow pit's bottom). A ring of the table's lowest
//   level whose trench runs within its band out of the model (a river's floor
//   sinking below the lowest line, its rings strung along the valley) is let
//   out however deep the band's pixels lie above it. Given the lines closed on
//   themselves, a depression within one level is kept for its ring only
//   inside one of them of that level. Pixels in the band of one pair of
//   lines cannot hold a level, so a depression between two rings never passes.
//   A depression is kept too, however deep, when it holds a pixel a spot height
//   or a lake set (a pit or water the map gives itself), and never for its
//   ring when a stream leaves it. A kept depression's lowest pixel
//   becomes an outlet of the flood, and any depression nested in it is judged
//   in turn.
// - Every other depression is removed at one level between its bottom and its
//   spill level: filled up to it, and a trench along the flood's path out of it
//   cut down to it as far as the first pixel no higher, the level chosen of 33
//   (from the bottom, a trench alone, to the spill, a fill alone) where the
//   squares of the moves add up least (a few pixels cut deep weigh more than
//   many raised a little). A trench that would cut a line (reach a pixel of
//   another band) or a spot height's pixel, or end in a kept pit, is not
//   tried at that level. Every pixel stays in the band it was in.
// - Flats (filled depressions, a valley floor between two lines of one level, a
//   kept pit's floor) get the least rise toward their outlet that the written
//   model tells apart (the epsilon variant of the flood): a step of a Float32
//   model, some 8 micrometres at 100 m and 60 at 1000 m, far below a
//   hundredth of any interval. A pixel rising with a flat never reaches the
//   next level above it, but for a pixel filled to a spill level that lies
//   past one, which takes the step above its spill all the same.
// One thread, and the flood's ties broken by the pixel's place on the grid: the
// same cells for any number of threads.
#ifndef TOLVANE_GEO_DRAINAGE_H
#define TOLVANE_GEO_DRAINAGE_H

#include <tolvane/geo.h>
#include <tolvane/tolvane.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace tolvane::geo {

// The least value above v (in the core's units) that the model written tells
// apart from v.
using Above = std::function<double(double)>;

struct Drained {
    int kept = 0;              // depressions the lines or spot heights support, left in place
    long long kept_pixels = 0; // the pixels under their spill levels
    int filled = 0, carved = 0; // depressions deeper than a tenth of the interval removed, each way
    long long moved = 0;       // pixels filled or carved (the flats' rise aside)
    double most = 0;           // the largest change of a pixel, in the core's units
    std::vector<std::uint8_t> sinks; // rows x columns, 1 under a kept depression (when asked)
};

// Drains `cells` (rows x columns, in the core's units, NaN without value) over
// the levels of the core's table; `held` are the pixels (row x columns +
// column) that spot heights and lakes set; `streams` the pixels of each stream
// in order downstream, along which they drain.
// `closed`, when given, are the lines that close on themselves (in pixels of
// the grid): a depression is then kept for its ring only inside one of them of
// its ring's levels, since an open line whose ends lie on the footprint's edge
// (a coast, the sea's line and the shore's of one level meeting only through
// the sea) closes no ring, whatever ring its pixels show. Without them (a
// contour raster) the pixels alone tell.
// The depressions nested in kept ones are found by flooding only those;
// `whole_rounds` floods the whole grid each time instead, the plain way the
// tests check the other against (the same cells).
Drained enforce_drainage(std::vector<double> &cells, int rows, int columns, const tolvane::Levels &levels,
                         const Above &above, const std::vector<std::int64_t> &held, bool want_sinks,
                         const std::vector<std::vector<std::int64_t>> &streams = {},
                         const std::vector<ClosedLine> *closed = nullptr, bool whole_rounds = false);

// The flood the rounds that keep the supported pits leave to the carving, on
// `cells` with the trenches they cut: each pixel's level and the direction
// (flood.h) of the neighbour it was met from, of the whole grid from every
// outlet, the kept pits' bottoms too. For the tests, which check the rounds
// that flood only the kept depressions against those that flood the whole
// grid (`whole_rounds`).
struct PitsFlood {
    std::vector<double> cells, filled;
    std::vector<std::uint8_t> parent;
};
PitsFlood flood_after_pits(std::vector<double> cells, int rows, int columns, const tolvane::Levels &levels,
                           const std::vector<std::int64_t> &spots, const std::vector<ClosedLine> *closed,
                           bool whole_rounds);

} // namespace tolvane::geo

#endif
