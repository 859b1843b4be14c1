// tolvane as a library: from a grid of contour altitudes to an elevation model.
//
//     #include <tolvane/tolvane.h>
//
//     std::vector<std::int32_t> grid(rows * columns, tolvane::EMPTY);
//     // ... put contour altitudes on the contour pixels ...
//     tolvane::Result r = tolvane::elevation(grid.data(), rows, columns, {100, 1000, 50});
//     // r.cells: rows x columns altitudes, row after row
//
// The result is cell for cell the `_m4.raw` image the dialog program writes for
// the same contour image and the same answers. The phases keep their grids in
// program-wide state, so one run at a time: concurrent calls are serialised by a
// mutex inside elevation() (they are safe, not parallel).
#ifndef TOLVANE_TOLVANE_H
#define TOLVANE_TOLVANE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane {

// Cell without altitude, in the contour grid and (only when the grid holds no
// altitude at all) in the result.
inline constexpr std::int32_t EMPTY = 10000000;

// The largest altitude, either way, of a level or a contour cell: beyond it a
// level would meet EMPTY, or the core's sums would leave its integers.
inline constexpr std::int32_t MAX_ALTITUDE = 9999999;

// The operator's answers: zone k lies between lowest + (k - 1) * interval and
// lowest + k * interval, for k = 1 .. (highest - lowest) / interval (at most 254).
struct Levels {
    int lowest = 0;
    int highest = 0;
    int interval = 0;
};

struct Options {
    // Bezier smoothing size: 1 (none), 3, 5, 7 or 9 (odd and at most 9; sizes
    // below 3 smooth nothing).
    int smoothing = 1;
    // Worker threads (1: everything on the calling thread); 0 or less takes
    // TOLVANE_THREADS from the environment, else every core. The result and the
    // console text are the same for every count.
    int threads = 0;
    // The phases' console text, as the dialog prints it (Spanish); silent when empty.
    std::function<void(const std::string &)> console;
    // Fraction of the run done, from 0 to 1, called from the calling thread.
    std::function<void(double)> progress;
    // Set (by progress, a signal handler or another thread) to stop the run: it is
    // read after every band and phase, and elevation() then throws Error of kind
    // cancelled.
    const std::atomic<bool> *cancel = nullptr;
    // Also fill Result::leak_mask.
    bool want_leak_mask = false;
};

struct Result {
    int rows = 0;
    int columns = 0;
    std::vector<std::int32_t> cells; // rows x columns, row after row

    // What a user should know about how the answers fit the image.
    long long contour_pixels = 0;     // pixels that are not EMPTY
    long long off_level_pixels = 0;   // contour pixels whose altitude is no level of the table
    std::vector<int> missing_levels;  // levels of the table that no pixel holds
    int zones = 0;                    // zones of the level table
    long long zone_pixels = 0;        // pixels the zone labelling reached
    long long leak_pixels = 0;        // zone pixels whose zone leaked past other contours
    std::vector<std::uint8_t> leak_mask; // rows x columns, 1 on leak pixels (when asked)
};

enum class ErrorKind {
    bad_size,            // rows or columns of 0 or less, or a null grid
    zero_interval,       // interval 0
    too_many_zones,      // more than 254 zones; values: {zones}
    levels_out_of_range, // a level beyond +-MAX_ALTITUDE, or the difference of the levels outside int
    bad_smoothing,       // even, or above 9; values: {size}
    no_altitude,         // the grid holds no altitude at all
    no_memory,           // the grids cannot be allocated; values: {rows, columns}
    cancelled,           // Options::cancel was set during the run
    nested_call,         // elevation() called from its own progress or console function
    altitude_out_of_range, // contour cells beyond +-MAX_ALTITUDE; values: {cells, row, column, value} of the first
};

// Every failure of elevation(): what went wrong and the values involved. what()
// is one English line.
class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string &message, std::vector<long long> values = {})
        : std::runtime_error(message), kind_(kind), values_(std::move(values))
    {
    }
    ErrorKind kind() const { return kind_; }
    const std::vector<long long> &values() const { return values_; }

private:
    ErrorKind kind_;
    std::vector<long long> values_;
};

// The checks elevation() makes before it reads a cell, for front ends that check
// their answers first; the one rule for every front end. Each throws Error.
void check_levels(const Levels &levels); // zero_interval, too_many_zones, levels_out_of_range
void check_smoothing(int size);          // bad_smoothing: even, or above 9 (odd sizes below 3 smooth nothing)
void check(const std::int32_t *contours, int rows, int columns, const Levels &levels, const Options &options);

// The name of an error kind, such as "too_many_zones".
const char *kind_name(ErrorKind kind);

// Runs the whole core (labelling, interpolation, dilation, averaging, smoothing) on
// rows x columns cells (row after row) and returns the final altitude grid.
// Throws tolvane::Error; the input is not changed.
Result elevation(const std::int32_t *contours, int rows, int columns, const Levels &levels,
                 const Options &options = {});

// The same run in the caller's grid: `cells` holds the contours on entry and the
// final altitudes on return (Result::cells stays empty), and the core works in
// it instead of in a copy of its own, which saves both copies and 8 bytes a cell.
// After a failure (an Error) the cells may hold anything.
Result elevation_in_place(std::int32_t *cells, int rows, int columns, const Levels &levels,
                          const Options &options = {});

// "tolvane X.Y.Z".
const char *version();

} // namespace tolvane

#endif
