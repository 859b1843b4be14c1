// The surface drawn over the core's cells (-surface smooth). The core
// interpolates straight between a band's two lines and leaves summits and pits
// flat at their last line's level; the smooth surface is the grid that passes
// closest to the lines' own points while bending least (a thin plate):
//   sum over points  w (z(p) - level)^2
//   + LAMBDA x sum over cells  (z_xx^2 + 2 z_xy^2 + z_yy^2)   (second differences)
// where z(p) is the grid read bilinearly at the point. The points are the lines'
// vertices and points between them, in map units (not the pixels the lines were
// burned into), so the surface follows a line's direction in two dimensions, the
// slope carries from one band into the next, and summits, pits and saddles are
// shaped by the bands around them. Each point carries its own weight, so that
// other heights (spot heights) are more points of the same kind. A weak pull
// of every cell towards the core's value settles the cells beyond the lines,
// where the thin plate alone would run on as the whole grid's shape decides,
// so that a window with its halo draws them as the whole grid does.
// Between two lines of one level (a valley whose floor stays above the next
// level down, a ridge below the next up) the middle of the zone takes weak
// points at the depth the band outside extrapolates (on a grid too large for
// the finest grid's full steps, on its coarser grids only), and so do the
// flats the core left at a level between the outermost lines and the grid's
// edge, on every grid.
// The surface is then held to the core's bands: a cell stays between the levels
// of the band the core put it in (a cell the core left at a level, a summit's or
// a pit's, within one interval of it either way), and a cell that a line crosses
// between the levels on either side of that line. The cells the fit takes out
// of their band become points a margin inside it and the finest grid is solved
// a little further, so that the surface bends back into the band rather than
// lying flat on the level; the few still outside are clamped.
// The fit is solved coarse to fine: the grid halved until it is small, solved
// there, and each finer grid started from the coarser one and refined by a few
// conjugate-gradient steps. Its passes are cut into fixed rows and chunks, and
// its sums added in a fixed order, so its cells do not depend on the threads.
#ifndef TOLVANE_GEO_SURFACE_H
#define TOLVANE_GEO_SURFACE_H

#include <tolvane/geo.h>

#include <vector>

namespace tolvane::geo {

// Redraws `cells` (rows x columns, the core's result aggregated to the pixel, in
// the core's units; NaN without value) as the smooth surface through `points`
// (in pixels of this grid: pixel (i, j) spans rows i to i + 1 and columns j to
// j + 1), holding each cell in its band of the level table (lowest, interval).
// Cells without value stay so; without a point or an interval the cells are left.
void smooth_surface(std::vector<double> &cells, int rows, int columns, const std::vector<SurfacePoint> &points,
                    double lowest, double interval);

} // namespace tolvane::geo

#endif
