// Oversampling: the lines burned on a grid N times finer than the one asked for,
// the same core run on it, and its result aggregated back to the pixel asked for.
// Burning rounds a line's position to the pixel and lets two lines less than a
// pixel apart share or swap pixels; on the finer grid each keeps its place, and
// the aggregation gives every requested pixel the mean of the surface over it.
#ifndef TOLVANE_GEO_OVERSAMPLE_H
#define TOLVANE_GEO_OVERSAMPLE_H

#include <cstdint>
#include <vector>

#include <ogr_api.h>

namespace tolvane::geo {

struct Grid;

// The largest factor the automatic rule chooses, and the largest accepted.
inline constexpr int AUTO_OVERSAMPLE_MAX = 6;
inline constexpr int OVERSAMPLE_MAX = 16;

// How the fine cells under a requested pixel make its value. `square` (the
// default) averages them over a square centred on the pixel whose side follows
// the lines' spacing (square_side): the cells nearest its centre where one line
// at most crosses a pixel, the whole pixel where three or more do. `tent`
// weighs them by a pyramid over the pixel, 1 at its centre falling to 0 at its
// edges (the product of 1 - 2|x| and 1 - 2|y|, x and y the cell centre's offset
// from the pixel's in pixels); `mean` is the plain area mean; the others are
// GDAL's resampling kernels (weights reaching past the pixel), kept for
// comparison.
enum class Aggregation { square, tent, mean, bilinear, cubic, gauss };

// The side of a pixel's square, in pixels (0 to 1), for lines `spacing` pixels
// apart (measured over blocks of SQUARE_BLOCK pixels): 0 while the lines are a
// pixel apart or more, 1 from three lines per pixel (a third of a pixel apart),
// and half the lines per pixel beyond the first in between. On a pixel that
// one line at most crosses, the surface between lines is interpolation; the
// pixel's value is read at its centre, where a grid's value stands. Where
// several cross it, they resolve the surface within the pixel, which stands
// for their mean.
double square_side(double spacing);

// The blocks' side, in pixels, over which the spacing that sets the square is
// measured: small enough that the empty space around a sheet's lines (a border,
// a coast, a broad flat) counts less than in the blocks of 16 that choose the
// factor.
inline constexpr int SQUARE_BLOCK = 4;

// The weights along one side of a pixel of its n cells: `tent`'s pyramid, or
// for `square` each cell's overlap, in cells, with the centred interval `side` pixels long
// (at least one cell long, so that 0 gives the central cell, or the two central
// cells of an even n, alike).
std::vector<double> pixel_weights(int n, Aggregation how, double side);

// The grid over the same extent with pixels n times smaller in both directions.
Grid finer(const Grid &grid, int n);

// The mean distance between neighbouring contour lines, in pixels of `grid`:
// the area the lines cover divided by their length. The area is that of the
// blocks of `block` x `block` pixels that a line crosses, so that nodata around the mapped
// area (a border, a coast) does not count as space between lines. Infinity when
// no line crosses the grid.
double line_spacing(OGRLayerH lines, const Grid &grid, int block = 16);

// The factor `auto` chooses for lines `spacing` pixels apart on a grid of
// `cells` pixels: 1 where the lines are 6 pixels apart or more (a finer grid
// changes little there); else about 4 fine cells between lines, at least 2,
// and AUTO_OVERSAMPLE_MAX where that asks for 4 or more (lines within 4/3 of
// a pixel); no more than the fine grid's cost allows: at most 16 million fine
// cells (a second or two of the core) or 2 x 2 times the cells. Lines about a
// pixel apart are placed better by 6 fine cells between them than by 4; lines
// farther apart gain nothing from more (docs/accuracy.md, "Oversampling").
int auto_oversample(double spacing, double cells);

// On small grids `auto` tries a finer factor where it chose AUTO_OVERSAMPLE_MAX:
// AUTO_OVERSAMPLE_FINE, on fine grids of at most FINE_TRY_CELLS cells (under a
// second of the core), kept when the core finds at most LEAKY_SHARE of the zone
// pixels between contours that are not their zone's. The finer grid places
// dense clean lines better, but a gap left open lets its zone leak much farther
// there, so the usual factor is kept where zones still leak.
inline constexpr int AUTO_OVERSAMPLE_FINE = 10;
inline constexpr double FINE_TRY_CELLS = 8e6;
inline constexpr double LEAKY_SHARE = 0.005;
// Whether a run that asked for `requested` (0: auto) and was given `chosen`
// for a grid of `cells` pixels tries AUTO_OVERSAMPLE_FINE first.
bool tries_finer(int requested, int chosen, double cells);

// The n x n blocks of `fine` (rows x columns, both multiples of n; altitudes in
// the table's units, tolvane::EMPTY without value) aggregated to one value each:
// (rows / n) x (columns / n) values, NaN where no cell under the pixel holds
// one. n = 1 gives the cells themselves. `side` is the square's (`square`
// only). Throws Failure when GDAL cannot.
std::vector<double> aggregate(const std::int32_t *fine, int rows, int columns, int n,
                              Aggregation how = Aggregation::mean, double side = 1);

// aggregate() of the grid of rows x columns cells (multiples of n) that holds
// the part_rows x part_columns cells `part` at (top, left) and continues them
// beyond their edges (each cell outside takes the nearest cell of the part along
// rows and columns): the square and the tent read the part where it is, the other
// aggregations a copy of the whole grid.
std::vector<double> aggregate_spread(const std::int32_t *part, int part_rows, int part_columns, int top, int left,
                                     int rows, int columns, int n, Aggregation how = Aggregation::mean,
                                     double side = 1);

// The footprint `inside` (1 inside, 0 outside; `columns` pixels a row) on the
// grid n times finer, for the cells [row, row + rows) x [column, column +
// columns) of that grid, as the wall of -mask auto takes it: a fine cell is
// inside when its pixel is and no cell within n - 1 cells of it lies in an
// outside pixel. A pixel on the hull's edge reaches up to half a pixel past the
// line it holds; on the requested grid that gap closes by itself, on the fine
// grid it is a corridor of empty cells along which every band leaks. Cells beyond the
// window count as inside. (Polygons of a file are taken on the fine grid
// itself, eroded by n / 2 cells.)
std::vector<std::uint8_t> finer_footprint(const std::vector<std::uint8_t> &inside, int columns, int n, int row,
                                          int column, int rows, int window_columns);

// `inside` (rows x columns, 1 inside) with every cell within r cells of an
// outside one (a square of side 2r + 1) made outside; cells beyond the window
// count as inside.
std::vector<std::uint8_t> erode(std::vector<std::uint8_t> inside, int rows, int columns, int r);

// 1 for every block of n x n cells of `mask` that holds a non-zero cell.
std::vector<std::uint8_t> aggregate_any(const std::uint8_t *mask, int rows, int columns, int n);

} // namespace tolvane::geo

#endif
