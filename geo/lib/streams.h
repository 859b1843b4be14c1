// Streams (-streams): lines along which the model descends. Each stream runs
// downstream whichever way it was digitised: toward the outlet of the network
// it belongs to (the lowest of the network's free ends), or toward the lower
// of its own ends when it touches no other. Along it, downstream, each pixel
// is no higher than the one before and no higher than the pixels beside it
// off the streams, never below the lower level of its band, so that where it
// crosses a line of level L the pixel there stays at L.
#ifndef TOLVANE_GEO_STREAMS_H
#define TOLVANE_GEO_STREAMS_H

#include <tolvane/geo.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane::geo {

class Streams {
public:
    // Reads the request's -streams layer (its first), reprojected into the
    // grid's system when theirs differs. Refuses a FIFO or a device, a missing
    // file, a layer that is not lines and a product that would replace the
    // file. Throws Failure. Without -streams, holds none.
    Streams(const Request &request, const Grid &grid);
    ~Streams();
    Streams(const Streams &) = delete;
    Streams &operator=(const Streams &) = delete;

    bool empty() const;

    // The pixels of each stream over rows x columns pixels from (row, column)
    // of the grid, in pixels of that area (row x columns + column), each once,
    // in order downstream, as `cells` tell it (in the core's units, NaN
    // without value, which no stream holds): streams that touch (an end of one
    // on or beside a pixel of another) drain together at their lowest free
    // end, or at the lowest that leaves the model (the area's edge, nodata)
    // when that lies within `interval` above it, and each flows into the one
    // its end touches; a stream alone runs toward the lower of its ends.
    std::vector<std::vector<std::int64_t>> downstream(const std::vector<double> &cells, int row, int column, int rows,
                                                      int columns, double interval) const;

    // Lowers the pixels of each stream over rows x columns pixels from (row,
    // column) of the grid (in the core's units, NaN without value) in the
    // bands of the level table, and returns how many pixels it lowered.
    long long carve(std::vector<double> &cells, int row, int column, int rows, int columns,
                    const tolvane::Levels &levels) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tolvane::geo

#endif
