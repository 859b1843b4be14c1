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
// Distances are exact (SiteMap) from the pixels the lines were burned into. The
// stage runs on one thread over the area given, so its cells do not depend on
// the core's threads.
#ifndef TOLVANE_GEO_SURFACE_H
#define TOLVANE_GEO_SURFACE_H

#include <tolvane/tolvane.h>

#include <cstdint>
#include <vector>

namespace tolvane::geo {

// The levels of the lines under each pixel of an area, split by the parity of
// their step from the lowest level, so that a pixel where two neighbouring
// levels meet (on a grid burned finer than the pixel) keeps both: even[k] the
// level of an even step, odd[k] of an odd one; tolvane::EMPTY where none.
struct LineCells {
    std::vector<std::int32_t> even, odd;

    LineCells() = default;
    explicit LineCells(std::size_t cells) : even(cells, tolvane::EMPTY), odd(cells, tolvane::EMPTY) {}
    // Records a burned cell's value over pixel k (levels of the table only).
    void add(std::size_t k, std::int32_t value, const tolvane::Levels &levels)
    {
        if (value == tolvane::EMPTY || levels.interval <= 0)
            return;
        const long long step = static_cast<long long>(value) - levels.lowest;
        if (step % levels.interval != 0)
            return;
        ((step / levels.interval) % 2 == 0 ? even : odd)[k] = value;
    }
};

// Redraws cells (rows x columns, in the core's units, NaN without value) as the
// smooth surface over the lines of `lines`, which it consumes.
void smooth_surface(std::vector<double> &cells, int rows, int columns, const tolvane::Levels &levels,
                    LineCells lines);

} // namespace tolvane::geo

#endif
