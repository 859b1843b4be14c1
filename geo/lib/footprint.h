// The footprint of a sheet: the area where its contours were mapped. Outside it
// the lines simply stop; the core must not take those ends for gaps, and the
// output there is nodata.
#ifndef TOLVANE_GEO_FOOTPRINT_H
#define TOLVANE_GEO_FOOTPRINT_H

#include "border.h"
#include "distance.h"

#include <tolvane/geo.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tolvane::geo {

// What bounds the area the lines cover (-mask): drawn from the lines where they
// stop in the open (the default), none, the convex hull of the lines, or the
// polygons of a file.
enum class FootprintKind { drawn, none, hull, file };
struct Footprint {
    FootprintKind kind = FootprintKind::drawn;
    std::string path; // of the polygons (FootprintKind::file)
};
Footprint footprint_of(const FootprintRequest &request);

// The footprint decided once for the whole sheet: a drawn footprint judged on
// the whole grid the run burns (on the grid asked for when that is too large),
// the hull judged on the whole grid burned at the pixel, or, on a finer grid,
// the pixels a file's polygons show. Every window crops it (and
// carries it to the finer grid), so that one window, several and the tiles of
// a sheet wall and show the same pixels; a window never judges these from its
// own lines, which its edge cuts.
struct SheetFootprint {
    bool decided = false;
    int factor = 1;                   // of the grid `inside` lies on: the grid, or the run's finer one
    std::vector<std::uint8_t> inside; // empty: no footprint
    std::vector<std::uint8_t> shown;  // on the grid; empty: every pixel
    double radius = 0;                // of a drawn footprint, in pixels of the grid
};
// A drawn footprint is decided on the grid the run burns when that holds at most
// this many cells, else on the grid asked for.
inline constexpr double SHEET_FOOTPRINT_CELLS = 16e6;

// A window of the burned grid, as the footprint is judged on it.
struct FootprintWindow {
    const std::vector<std::int32_t> &cells; // burned, gaps closed
    int rows, columns;
    int row, column;          // of the window on the burned grid
    const Grid &grid;         // the grid asked for
    const Grid &burned;       // the grid burned: the grid, or `factor` times finer
    int factor;
    const std::vector<std::size_t> &ends; // the window's open ends
    const SheetFootprint &sheet;          // decided once for the whole sheet
    long long interval;                   // of the level table
    // The edge of the mapped area traced through the lines' ends (border.h);
    // null on a contour raster, whose footprint is drawn through its ends.
    const std::vector<BorderJoin> *border = nullptr;
};

struct Judged {
    std::vector<std::uint8_t> inside; // 1 inside, 0 outside; empty: no footprint
    double radius = 0;                // of a drawn footprint (0: none drawn)
    std::size_t open_ends = 0;        // the ends a drawn footprint was drawn through
    bool traced = false;              // drawn along the edge traced through the lines' ends
};

// The footprint of the window, of its kind. Once the sheet's is decided, a drawn
// footprint or the hull is the sheet's, carried to the fine cells where it was
// decided on the grid asked for and eroded there by a pixel less a cell (see
// finer_footprint); the polygons of a file are taken on the finer grid, whose
// cells follow their edge closer than the pixels, eroded by half a pixel: lines
// drawn from a raster of the grid's pixel stop up to half a pixel short of its
// valid area's edge. `lines` is the map of the window's contour pixels, which
// `spacing` computes when it is empty.
Judged judge_footprint(const Footprint &footprint, const FootprintWindow &window, SiteMap &lines,
                       const std::function<double()> &spacing);

// The pixels the output shows of a window walled by `inside`: those the sheet's
// footprint shows, once decided; else a drawn footprint (or the lines' extent)
// and the walled pixels next to it, on whose edge the lines end; else the
// inside.
std::vector<std::uint8_t> shown_pixels(const Footprint &footprint, const FootprintWindow &window,
                                       const std::vector<std::uint8_t> &inside);

// 1 for every pixel of the grid whose centre lies in a polygon of FILE (every
// layer; reprojected to the grid's coordinate system when both have one), 0
// elsewhere. Throws Failure when the file cannot be read or holds no polygon.
std::vector<std::uint8_t> footprint_from_file(const std::string &file, const Grid &grid);

// -mask auto: the convex hull of the contour pixels' centres (pixels on its edge
// belong to it). Right for sheets whose mapped area is convex, such as a
// rectangle reprojected into the grid with nodata corners; other shapes need
// their polygons.
std::vector<std::uint8_t> footprint_of_lines(const std::vector<std::int32_t> &cells, int rows, int columns);


// Writes a 0/1 Byte GeoTIFF of the grid (the leak mask). Throws Failure.
void write_mask(const std::string &file, const Grid &grid, const std::vector<std::uint8_t> &mask);

} // namespace tolvane::geo

#endif
