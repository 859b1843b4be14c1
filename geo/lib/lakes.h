// Lakes (-lakes): polygons whose water the model holds flat at one level, the
// altitude their attribute gives (-lakes_a) or else that of the lowest line
// that reaches them. The drainage keeps them (see drainage.h): a depression
// holding a lake's pixel is not filled, and no carve cuts through one.
#ifndef TOLVANE_GEO_LAKES_H
#define TOLVANE_GEO_LAKES_H

#include <tolvane/geo.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane::geo {

// The lakes of a request, read once: their polygons in the grid's system.
class Lakes {
public:
    // Reads the request's -lakes layer (its first), reprojected into the grid's
    // system when theirs differs. Refuses a FIFO or a device, a missing file, a
    // layer that is not polygons, a missing or non-numeric -lakes_a and a product
    // that would replace the file. Throws Failure. Without -lakes, holds none.
    Lakes(const Request &request, const Grid &grid, const LevelTable &table);
    ~Lakes();
    Lakes(const Lakes &) = delete;
    Lakes &operator=(const Lakes &) = delete;

    bool empty() const;

    // Sets the pixels of rows x columns pixels from (row, column) of the grid
    // that lie in a lake (their centres inside it) to its level, in the core's
    // units, and returns them (row x columns + column of the area). A lake
    // without an altitude takes the lowest of `points` (the lines' points, in
    // pixels of the area) on its pixels or beside them; one no line reaches is
    // left as it is. Pixels without value stay so.
    std::vector<std::int64_t> flatten(std::vector<double> &cells, int row, int column, int rows, int columns,
                                      const std::vector<SurfacePoint> &points) const;

    // How many lakes no line reached and no attribute gave an altitude, at the
    // last flatten().
    int without_level() const { return without_level_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    mutable int without_level_ = 0;
};

} // namespace tolvane::geo

#endif
