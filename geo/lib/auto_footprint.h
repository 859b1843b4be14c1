// What the lines themselves say about the area they cover, on the burned grid
// (tolvane::EMPTY off the lines, the level on them): how far apart they run,
// where they stop in the open, and so the footprint to wall when no polygons are
// given, the part of the grid beyond the lines' extent, and how long a gap may be
// closed.
#ifndef TOLVANE_GEO_AUTO_FOOTPRINT_H
#define TOLVANE_GEO_AUTO_FOOTPRINT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane::geo {

// For every pixel, the nearest pixel where site[k] != 0 (of the contour pixels,
// or of other sites) and the squared Euclidean distance to it (-1 and -1 when
// the grid holds none). Exact, in linear time (Felzenszwalb and Huttenlocher's
// lower envelope of parabolas, one pass down the columns and one along the
// rows); ties are broken the same way on every run, whatever the threads. In 4
// bytes a pixel (8 on grids of 2^31 pixels or more), written once without
// clearing, on several threads (PassThreads). One map of the contour pixels
// serves the contour spacing and the drawn footprint of a window, as long as
// its cells do not change; compute() takes other sites into the same memory.
class SiteMap {
public:
    // 8-byte indices on every grid (the tests' way to reach them, and the
    // arithmetic in doubles that goes with them), or only where 4 do not fit.
    enum class Width { fit, wide };

    SiteMap() = default;
    // Sites: the contour pixels (cells[k] != tolvane::EMPTY).
    SiteMap(const std::vector<std::int32_t> &cells, int rows, int columns) { compute(cells, rows, columns); }
    void compute(const std::vector<std::int32_t> &cells, int rows, int columns, Width width = Width::fit);
    // Sites: the pixels where site[k] != 0.
    void compute(const std::vector<std::uint8_t> &site, int rows, int columns, Width width = Width::fit);

    int rows() const { return rows_; }
    int columns() const { return columns_; }
    bool empty() const { return rows_ == 0; }
    // The index of the nearest site of pixel k (row * columns + column); -1
    // when the grid holds none.
    std::int64_t site(std::size_t k) const { return narrow_ ? narrow_[k] : wide_[k]; }
    // The squared distance to it; -1 when the grid holds no site.
    std::int64_t squared(std::size_t k) const
    {
        if (narrow_) { // one 32-bit division for the row and column of both
            const std::int32_t s = narrow_[k];
            if (s < 0)
                return -1;
            const auto c = static_cast<std::uint32_t>(columns_), p = static_cast<std::uint32_t>(k),
                       q = static_cast<std::uint32_t>(s);
            const std::int64_t di = static_cast<std::int64_t>(p / c) - q / c, dj = static_cast<std::int64_t>(p % c) - q % c;
            return di * di + dj * dj;
        }
        const std::int64_t s = wide_[k];
        if (s < 0)
            return -1;
        const std::int64_t c = columns_, p = static_cast<std::int64_t>(k);
        const std::int64_t di = p / c - s / c, dj = p % c - s % c;
        return di * di + dj * dj;
    }
    // Forgets the sites and gives the memory back.
    void clear();

private:
    template <typename Index, typename IsSite> void fill(Index *out, IsSite is_site);
    template <typename IsSite> void compute_sites(int rows, int columns, Width width, IsSite is_site);

    int rows_ = 0, columns_ = 0;
    std::size_t size_ = 0; // cells allocated
    std::unique_ptr<std::int32_t[]> narrow_;
    std::unique_ptr<std::int64_t[]> wide_;
};

// 1 for every pixel within a distance of sqrt(squared) of a pixel where
// site[k] != 0 (its squared distance, as a double, at most `squared`), 0
// elsewhere: a dilation by a disc, without finding which site is the nearest.
std::vector<std::uint8_t> within_distance(const std::vector<std::uint8_t> &site, int rows, int columns,
                                          double squared);

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

// Line ends that stop in the open: the ends of line_ends() farther than one pixel
// from the lines' extent (an end on it runs off the data, as at the grid's edge).
std::vector<std::size_t> open_ends(const std::vector<std::int32_t> &cells, int rows, int columns);
// The open ends of walled cells that still stop inside the footprint `inside`
// (1 inside, 0 walled; empty: nothing walled): an end beside a walled pixel
// meets the footprint's edge, whatever level the wall took there.
std::size_t ends_left_open(const std::vector<std::int32_t> &cells, int rows, int columns,
                           const std::vector<std::uint8_t> &inside);

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
//      there, so nothing there was left unmapped.
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

// The longest gap closed by default, in pixels: the contour spacing, from 4 to 8
// pixels. repair_gaps joins only ends of one level that point at each other
// across empty space, so a longer reach finds more gaps, not other lines. Below
// 4, pieces of 3 pixels cut out of slanted lines stayed open: their burned ends
// lie farther apart than the piece's length along the line.
double gap_distance(double spacing);

// The footprint and the pixels touching it: what the output shows of a footprint
// drawn by footprint_of_ends or within_lines_extent. The lines' ends lie on its
// edge, and the walled pixels next to it hold the level of the nearest line.
std::vector<std::uint8_t> grown_by_one_pixel(const std::vector<std::uint8_t> &inside, int rows, int columns);

} // namespace tolvane::geo

#endif
