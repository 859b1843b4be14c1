// Closing the gaps of broken contour lines: on the lines before they are burned,
// and on the burned grid the core receives (tolvane::EMPTY off the lines, the
// level on them), which also sees the gaps the rasterising leaves.
#ifndef TOLVANE_GEO_REPAIR_H
#define TOLVANE_GEO_REPAIR_H

#include <cstdint>
#include <utility>
#include <vector>

#include <ogr_api.h>

#include <tolvane/geo.h>

namespace tolvane::geo {

struct Repairs {
    int joins = 0;         // gaps closed
    long long pixels = 0;  // pixels burned to close them
    int open_ends = 0;     // line ends found before the repair
};

// Two line ends that may be joined, a and b numbering them. Both repairs join
// the closest pairs first, then the better aligned (misalignment: 2 minus the
// sum of the two cosines), then in the order of the ends, so that every run
// joins the same pairs.
struct EndPair {
    double distance, misalignment;
    std::size_t a, b;
};
inline bool joined_before(const EndPair &p, const EndPair &q)
{
    if (p.distance != q.distance)
        return p.distance < q.distance;
    if (p.misalignment != q.misalignment)
        return p.misalignment < q.misalignment;
    return p.a != q.a ? p.a < q.a : p.b < q.b;
}

// Joins pairs of open line ends of the same level with a straight 8-connected
// line of that level, when the ends are at most `max_gap` pixels apart, neither
// points away from the other and the cosines of the angles between each end's
// direction (its line followed back a few pixels) and the join add up to 0.6 at
// least, and every pixel of the join is empty, a diagonal step never slipping
// between two pixels of other lines. Closer pairs are joined first and an end is
// joined at most once; an end left over may then meet the side of a line of its
// level that is not its own, within 45 degrees of its direction. An end is a line
// pixel its line leaves in one direction only; closed lines have none, nor does
// the grid's edge nor the empty pixel along it. Two separate lines that stop side by side point the same way:
// their cosines are opposite and never add up, so they are never bridged.
// The joins made are added to `joins`, when given, as the pairs of pixels they
// link (indices in cells).
Repairs repair_gaps(std::vector<std::int32_t> &cells, int rows, int columns, double max_gap,
                    std::vector<std::pair<std::size_t, std::size_t>> *joins = nullptr);

// On a grid of cells `factor` times finer than the pixel: the gaps that
// repair_gaps closes on the pixels, closed on the cells too. On the cells, the
// end of a line that stops in a bend points along the bend rather than across
// the gap, and the end cells lie up to a pixel farther apart than the pixels
// they burn: a gap closed at N = 1 would stay open and the bands leak through.
// The cells are taken to pixels (a pixel shows the level of its first line
// cell), the pixels repaired with max_gap pixels, and each join made on the
// cells between the ends of its level nearest to each other within a pixel of
// the two pixels it links, when the straight join is clear (as for
// repair_gaps). A pixel with no such end there (lines that fall on one pixel, a
// line its neighbour overwrites) has no gap on the cells. Adds to `report`.
void repair_gaps_as_pixels(std::vector<std::int32_t> &cells, int rows, int columns, int factor, double max_gap,
                           Repairs &report);

// Carries every end left open inside the footprint (inside[k] != 0) that lies
// within max_gap cells of an empty cell outside it straight on to the nearest
// such cell whose way there is clear (as for repair_gaps). No contour ends inside the
// area it was mapped on: an end just short of the footprint's edge is a piece cut
// off there, and the bands on either side of the line would run together through
// the passage left between its end and the edge. An end beside an outside cell
// meets the edge already. Ends are taken in row-major order, ties between outside
// cells broken in row-major order. Adds the extensions to `report`.
void reach_footprint_edge(std::vector<std::int32_t> &cells, int rows, int columns,
                          const std::vector<std::uint8_t> &inside, double max_gap, Repairs &report);

// Every end of a burned line, as its index in cells (row * columns + column), in
// row-major order: the pixels repair_gaps takes for ends, wherever they lie,
// including those on the grid's edge that it leaves alone.
std::vector<std::size_t> line_ends(const std::vector<std::int32_t> &cells, int rows, int columns);

// A point in map units.
struct MapPoint {
    double x, y;
};

// The way `points` runs out at its last point (a unit vector), taken from the
// point `step` back along the line, or the first point of a shorter line;
// (0, 0) where the two coincide.
MapPoint way_out(const std::vector<MapPoint> &points, double step);

// The open ends of the lines (repair_lines.cpp): the end points of the lines
// that do not close (the integer field level_field giving their level), inside
// the grid (`grid`) farther than two pixels from its edge and farther than one
// from the lines' extent (`extent`), where no end of another piece of the same
// level meets them. Lines that run off the grid or off the data end there, and
// no burning at any factor adds ends to these.
std::vector<MapPoint> open_line_ends(OGRLayerH lines, int level_field, double pixel, const Extent &grid,
                                     const Extent &extent);

// The same gaps closed on the lines before they are burned: open ends (as
// open_line_ends finds them) of the same level at most max_gap apart (map
// units), heading towards each other (or within 1.5 pixels, whichever way),
// joined by a segment that crosses no line.
// Directions are taken over the last `pixel` of each line. The joins are added to
// the layer; Repairs::pixels stays 0. The ends no join took are added to
// `left_open` when given. Throws Failure.
Repairs repair_line_gaps(OGRLayerH lines, int level_field, double max_gap, double pixel, const Extent &grid,
                         const Extent &extent, std::vector<MapPoint> *left_open = nullptr);

} // namespace tolvane::geo

#endif
