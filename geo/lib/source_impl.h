// The state of a ContourSource, shared by the source (what was read, the grid
// and the factor) and the preparation of its windows.
#ifndef TOLVANE_GEO_SOURCE_IMPL_H
#define TOLVANE_GEO_SOURCE_IMPL_H

#include "distance.h"
#include "footprint.h"
#include "lines.h"
#include "measures.h"
#include "raster.h"
#include "repair.h"

#include <tolvane/geo.h>

#include <map>
#include <optional>
#include <vector>

namespace tolvane::geo {

// The whole grid burned to judge the default repair, kept for the first
// prepare() of the whole grid while no join changed the lines, with the map of
// its contour pixels and their spacing when they were needed.
struct WholeBurn {
    std::vector<std::int32_t> cells;
    SiteMap sites;
    double spacing = -1;

    bool empty() const { return cells.empty(); }
    void clear()
    {
        cells.clear();
        sites.clear();
        spacing = -1;
    }
};

struct ContourSource::Impl {
    std::string input;
    RepairRequest repair;
    Footprint footprint;
    Grid grid;
    LevelTable table;
    long long lines = 0;    // lines read, or contour cells of a raster
    int line_joins = 0;
    double default_gap = 0; // the longest gap the default repair closes on the lines (pixels)
    PixelBox sheet;         // the pixels of the burned grid the contours span
    Extent lines_extent;    // the lines' extent in map units (lines only)
    // Where lines stop in the open, after the repair of the lines: found once on
    // the lines for the whole sheet, so that every window and every factor sees
    // the same ends (lines only).
    std::vector<MapPoint> open_ends;
    // The edge of the mapped area through every end of the lines, traced where
    // some stop in the open and the footprint is drawn (lines only).
    std::vector<BorderJoin> border;
    // Whether the footprint last judged for the whole sheet follows that edge.
    mutable bool traced = false;
    bool deciding_now = false; // while the sheet's footprint is being decided
    // The grid burned: the grid itself, or one `factor` times finer.
    Grid fine;
    int factor = 1;
    // The footprint of the whole sheet, decided once (see SheetFootprint).
    SheetFootprint on_grid;
    // The whole grid prepared at the pixel while the footprint was decided, kept
    // for the first prepare() of the whole grid at the pixel.
    mutable std::optional<Window> deciding;
    mutable WholeBurn whole;
    // Of the lines, in pixels of the grid, by the side of the blocks measured over.
    mutable std::map<int, double> line_spacing;
    int settled = 0; // the factor `auto` gave the run, once decided
    int threads = 0; // of the library's passes over the grid, as the core's
    std::optional<LinesRead> read;        // lines
    std::optional<ContourRaster> contour; // or a contour raster

    void open_lines(GDALDatasetH source, const Request &q);
    void repair_lines(int level_field);
    // Whether the footprint is decided for the whole sheet before any window is
    // prepared: a drawn one where lines stop in the open, or the hull.
    bool footprint_of_sheet() const;
};

} // namespace tolvane::geo

#endif
