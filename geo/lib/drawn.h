// The footprint the lines draw themselves where no polygons give it: the area
// they cover, closed through the ends where they stop in the open, and opened
// again where the bands of a coast's inlet would join through it.
#ifndef TOLVANE_GEO_DRAWN_H
#define TOLVANE_GEO_DRAWN_H

#include "distance.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::geo {

// The area the lines cover, when no polygons give it: 1 inside, 0 outside.
//   1. The closing of the contour pixels by a disc of `radius` pixels: every
//      pixel within `radius` of a line, less those that a disc of that radius
//      free of lines reaches from beyond them. Between line ends closer than
//      twice the radius its edge runs from end to end; it follows the bays and
//      lobes of the area wider than that.
//   2. Of what it leaves out, only the pixels within three radii of the edge of
//      the lines' rectangle or of a pixel farther than two radii from every
//      line stay out: a broad flat that the disc enters through a mouth wider
//      than itself is given back, beyond a band along the mouth. Here the
//      radius is at least one `pixel`.
//   3. Every area left out that no open end borders, or that does not reach
//      the rectangle's edge, is given back: the inside of a ring, a broad flat
//      between two lines, a bay whose lines all run on: the lines stop nowhere
//      there, so nothing there was left unmapped. (The areas are 8-connected
//      here, joined across a line's diagonal step; give_back_rings parts them
//      at the lines, on the footprint finally kept.)
//   4. Beyond the rectangle lies open ground too: the pixels within 2
//      `pixel`s (and the radius) of a pixel of the ring around it that lies
//      farther than 2 pixels from every line are left out as in 1, then judged
//      as in 2 and 3: lines stopping a few pixels short of the rectangle's edge
//      (a sliver of nodata along a warped DEM's edge) end on the footprint's
//      edge, while the strips between lines that run off it are given back.
// Only the rectangle of the lines is judged; the pixels beyond it are 1 (see
// within_lines_extent). Without open ends every pixel is 1.
// `ends` are the open ends of the grid (open_ends); `pixel` is the pixel of the
// grid asked for in cells of this one (the oversampling factor).
std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel = 1);
// The same with the map of the contour pixels of these cells.
std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel,
                                            const SiteMap &lines);

// The areas `inside` leaves out within the lines' rectangle that lines enclose
// (parted from the rest at the lines, even where their pixels step
// diagonally) and that reach neither an open end nor the rectangle's edge,
// given back: the inside of a ring is mapped, whatever the disc or the edge
// traced through the ends left around it. A flood that steps diagonally
// crosses a line's diagonal step, and the inside of an island's ring passed
// for a piece of the sea around it: its summit went blank, and a spot height
// on it was lost.
void give_back_rings(const std::vector<std::int32_t> &cells, int rows, int columns, const std::vector<std::size_t> &ends,
                     std::vector<std::uint8_t> &inside);

// Where the footprint `inside` (drawn by footprint_of_ends with `radius`) fills
// a strip through which bands of other levels join (a coast's inlet between the
// ends of both shores' lines, a fjord of a clipped sheet), a disc of half the
// radius (at least 2 cells) rolls into it from outside: in an empty area
// (4-connected, inside, within the lines' rectangle) whose lines hold more than
// two levels, or two not `interval` apart, and that touches a pixel outside,
// the disc's centres are the pixels farther than its radius from every line
// reached from beside the outside through such pixels (8-connected), and what
// it covers there is taken out of `inside`. Elsewhere `inside` is kept: a band
// that holds its two levels gains nothing from a narrower footprint and would
// lose pixels of its edge, and an area that touches no pixel outside (a line
// stopping halfway across the sheet) is a gap, not an inlet.
void open_leaking_inlets(const std::vector<std::int32_t> &cells, int rows, int columns, double radius,
                         const SiteMap &lines, int interval, std::vector<std::uint8_t> &inside);

// The radius footprint_of_ends is given by default: the contour spacing, at
// least 2 pixels, so that the edge runs from end to end where the lines reach
// the edge of the mapped area, and into every bay wider than two spacings.
double footprint_radius(double spacing);
// The footprint and the pixels touching it: what the output shows of a footprint
// drawn by footprint_of_ends or within_lines_extent. The lines' ends lie on its
// edge, and the walled pixels next to it hold the level of the nearest line.
std::vector<std::uint8_t> grown_by_one_pixel(const std::vector<std::uint8_t> &inside, int rows, int columns);
} // namespace tolvane::geo

#endif
