// Spot heights (-points): summits, pits and other heights the map gives as
// points. The model holds each one's altitude on the pixel it falls in; on the
// plain surface a summit or a pit flat at its last line's level rises (or sinks)
// toward it, and the smooth surface takes it as a strong point of its fit. The
// drainage keeps a depression that holds one (see drainage.h).
#ifndef TOLVANE_GEO_SPOT_HEIGHTS_H
#define TOLVANE_GEO_SPOT_HEIGHTS_H

#include <tolvane/geo.h>

#include <cstdint>
#include <vector>

namespace tolvane::geo {

// A spot height in pixels of the grid (pixel (i, j) spans rows i to i + 1 and
// columns j to j + 1) and its altitude in the core's units.
struct SpotHeight {
    double row = 0, column = 0, value = 0;
};

// A spot height weighs in the smooth surface's fit as many points of a line.
inline constexpr double SPOT_WEIGHT = 64;

struct SpotHeights {
    std::vector<SpotHeight> points; // those on the grid
    long long left = 0;             // beyond the grid or without an altitude
};

// The points of the request's -points layer (its first), reprojected into the
// grid's system when theirs differs, with their altitude from -points_a (by
// default the lines' attribute, or Z when the lines' altitude is their Z). Refuses
// a FIFO or a device, a missing file, a layer that is not points, a missing or
// non-numeric attribute, and a product that would replace the file. Throws Failure.
SpotHeights read_spot_heights(const Request &request, const Grid &grid, const LevelTable &table);

// The spot heights moved into an area of the grid whose top-left pixel is (row,
// column): the points beyond rows x columns stay, for the caller to drop.
std::vector<SpotHeight> in_area(const std::vector<SpotHeight> &points, int row, int column);

// The plain surface shaped toward the spot heights: where one falls on a pixel
// flat at a level (the inside of a summit's or a pit's last line, a floor between
// two lines of one level), every pixel of that flat moves from the level toward
// the spot height's altitude by its distances to the flat's edge (b) and to the
// point (a): level + (altitude - level) x b / (a + b), the flat's edge staying at
// the level. Of several spot heights on one flat a pixel takes the one that
// moves it most. `cells` is rows x columns in the core's units, NaN without value.
void shape_flats(std::vector<double> &cells, int rows, int columns, const std::vector<SpotHeight> &points,
                 const tolvane::Levels &levels);

// Sets each spot height's pixel to its altitude (of several on one pixel, the
// one nearest its centre) and returns those pixels (row x columns + column);
// points beyond the area or on a pixel without value are left and counted in
// `left`.
std::vector<std::int64_t> pin_spot_heights(std::vector<double> &cells, int rows, int columns,
                                           const std::vector<SpotHeight> &points, long long &left);

} // namespace tolvane::geo

#endif
