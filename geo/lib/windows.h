// The core over a grid in windows: for a grid that does not fit a memory budget
// (a fine grid when oversampling) and for level tables of more than 254 zones.
// Each window is burned by the caller's source with a halo of cells around it,
// runs the core with the part of the level table its own contours use, and
// gives back its own cells aggregated to the requested pixel. A grid that fits
// the budget and the table runs as one window, exactly as tolvane::elevation.
#ifndef TOLVANE_GEO_WINDOWS_H
#define TOLVANE_GEO_WINDOWS_H

#include "oversample.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include <tolvane/tolvane.h>

namespace tolvane::geo {

// Cells [row, row + rows) x [column, column + columns) of the grid.
struct Block {
    int row = 0, column = 0, rows = 0, columns = 0;
};

// The source: fills `cells` (window.rows x window.columns, row after row, every
// cell tolvane::EMPTY on entry) with the contour altitudes of that window of the
// grid, in the table's units. Called for one window at a time, from the
// caller's thread or from one other; it may throw.
using BurnWindow = std::function<void(const Block &window, std::int32_t *cells)>;

// The same source giving the cells of the window as a grid of its own
// (window.rows x window.columns), which the core then works in.
using BurnCells = std::function<std::vector<std::int32_t>(const Block &window)>;

// Pixels of the requested grid (DEFAULT_HALO x factor cells of the grid the
// source burns) of halo around each window when none is given: the halo the
// tiles of the Python module found enough on real sheets, kept on the ground
// whatever the oversampling (docs/how-it-works.md, "Windows and the memory budget").
inline constexpr int DEFAULT_HALO = 256;

// The least halo, in pixels of the requested grid, that a window with too many
// zones may be given. With 16 (64 cells at N = 4) windows moved 0.06 % of
// Jacksboro's pixels by up to 1.4 m, with 32 none; the 10 m contours of the 2 km
// bathymetry (335 zones) need 16, while a table of 500 zones for the bundled
// hills' 11 lines (every 0.5 for lines every 25) is refused.
inline constexpr int MIN_HALO = 16;

// Bytes per cell of a window while it runs: the burned cells and those of the
// next window being burned (4 + 4), the core's grids (15), its result (4), its
// leak mask (1), and the aggregation's reading (4).
inline constexpr double WINDOW_BYTES_PER_CELL = 32;

// Bytes per pixel of the requested grid held for the whole run beside the
// windows: the aggregated result (8), the pixels shown (1), the leak mask (1).
// The budget counts them first, so that a run in windows stays within it.
inline constexpr double RESULT_BYTES_PER_PIXEL = 10;

// The cells of the burned grid that windows may hold at once within `budget`
// bytes, once the result of `pixels` pixels is counted (0 when it takes all).
double window_cells_within(double budget, double pixels);

// Whether a run of `cells` burned cells (`pixels` pixels of the result) and
// this table is one window within `memory` bytes (0: default_memory_budget()).
bool runs_as_one_window(const tolvane::Levels &levels, double cells, double pixels, double memory);

// Cells at the four edges of a grid.
struct Margins {
    int top = 0, left = 0, bottom = 0, right = 0;
};

struct WindowedRun {
    int rows = 0, columns = 0; // the grid the source burns; multiples of factor
    int factor = 1;            // the result has rows / factor x columns / factor pixels
    Aggregation aggregation = Aggregation::square;
    double side = 1;           // of the square, in pixels (Aggregation::square)
    tolvane::Levels levels;    // the whole table, in the source's units
    int smoothing = 1;         // the core's, on the grid the source burns
    int threads = 0;           // the core's
    double memory = 0;         // bytes the windows may take; 0: default_memory_budget()
    int halo = -1;             // cells; < 0: DEFAULT_HALO x factor
    // Cells at each edge of the grid that the core leaves out (when some are
    // left); the result there continues the nearest cell it computed. The core
    // takes no zone along the grid's outermost cells, so one empty cell between
    // the lines' ends and the grid's edge closes the bands there, where a wider
    // margin lets them leak around the ends: see fine_margins().
    Margins inset;
    bool want_leak_mask = false;
    std::function<void(double)> progress; // fraction done, 0 to 1, from the caller's thread
    // When set, the core stops after the band in which it turned true (throwing
    // tolvane::Error of kind cancelled).
    const std::atomic<bool> *cancel = nullptr;
};

struct WindowedResult {
    int rows = 0, columns = 0;  // the requested grid
    std::vector<double> cells;  // aggregated altitudes in the table's units; NaN without value
    std::vector<std::uint8_t> leak_mask; // 1 where a cell under the pixel leaked (when asked)

    // As tolvane::Result, counted on the grid the source burns (each cell in the
    // window that owns it); zone_pixels of a window run is its share of the
    // zone pixels of each window, in proportion to the cells it owns.
    long long contour_pixels = 0, off_level_pixels = 0, zone_pixels = 0, leak_pixels = 0;
    std::vector<int> missing_levels;
    int zones = 0;               // zones of the whole table

    int windows = 0;             // core runs
    int halo = 0;                // the smallest halo used (0 for a single window)
    long long window_cells = 0;  // the largest window, halo included
};

// The inset of a grid `factor` times finer than the requested one whose lines'
// bounding box lies top, left, bottom and right fine cells (fractions allowed)
// inside its edges: as many cells as leave one whole empty cell between the box
// and the edge, and never more than factor - 1, so that only the margin the
// finer grid adds is taken off. Negative distances (lines beyond the edge) give 0.
Margins fine_margins(int factor, double top, double left, double bottom, double right);

// The windows' budget when none is given: 2 GiB, whatever the machine (a grid
// of up to 53 million pixels runs as one window at its own pixel).
inline constexpr double DEFAULT_MEMORY_BUDGET = 2048.0 * 1024 * 1024;
double default_memory_budget();

// Runs the core window by window. Windows are square, as large as the budget
// allows; one whose own part of the table still has more than 254 zones is cut
// in four while it is larger than its halo, then its halo is halved down to
// MIN_HALO pixels, then it is cut down to one requested pixel. Throws
// tolvane::Error as elevation() does (too_many_zones, values {zones, halo in
// pixels}, when even a pixel and that halo hold more,
// no_altitude when no window holds a contour) and Failure for a budget too small
// for a window with its halo; whatever the source throws goes through.
WindowedResult run_windows(const WindowedRun &run, const BurnWindow &burn);
WindowedResult run_windows(const WindowedRun &run, const BurnCells &burn);

} // namespace tolvane::geo

#endif
