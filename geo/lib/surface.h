// The surface drawn on the core's cells (-surface). The core interpolates
// straight between a band's two lines and leaves summits and pits flat at their
// last line's level; the smooth surface keeps the core's bands and its lines and
// redraws the profile inside each band:
// - every pixel under a line keeps the core's value, and every other pixel stays
//   within the band the core put it in (between the levels of its two lines; a
//   summit within the interval above its line, a pit within the one below);
// - across a band the profile is a cubic (Hermite) in the distance to its two
//   lines, whose slope at each line comes from the widths of the bands on either
//   side (the derivative of the parabola through three levels), limited to three
//   times the band's own slope so that it never turns back;
// - a summit or a pit (pixels at one level inside its line, with no band on that
//   side) rises or sinks from its line with the slope and the curvature the band
//   around it carries, levelling where that curvature brings the slope to zero;
// - pixels whose band the lines do not close (a band open at the footprint, a
//   flat between lines of one level with bands on both sides) keep the core's
//   value.
// Distances are exact (SiteMap) from the cells the lines were burned into, on
// the grid the core ran on (finer than the pixel when oversampled: a pixel that
// a line crosses is a band's for most of its fine cells). The stage runs on one
// thread over the window given, so its cells do not depend on the threads.
#ifndef TOLVANE_GEO_SURFACE_H
#define TOLVANE_GEO_SURFACE_H

#include <tolvane/tolvane.h>

#include <cstdint>
#include <vector>

namespace tolvane::geo {

// Redraws the core's result `cells` (rows x columns, in the core's units,
// tolvane::EMPTY without value) as the smooth surface over the lines of
// `burned`, the same cells as burned before the core ran (EMPTY but on the
// lines), which it takes for its own memory. The surface is rounded to the
// core's units, a thousandth of the interval or finer.
void smooth_surface(std::vector<std::int32_t> &cells, int rows, int columns, const tolvane::Levels &levels,
                    std::vector<std::int32_t> burned);

} // namespace tolvane::geo

#endif
