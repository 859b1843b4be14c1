// Distances on a grid of pixels: for every pixel the nearest site (a contour
// pixel, or any pixel marked) and how far it lies, exactly and in linear time;
// and the dilation of marked pixels by a disc. The footprint drawn from the
// lines, the walls, the gap repairs and the contour spacing all measure with it.
#ifndef TOLVANE_GEO_DISTANCE_H
#define TOLVANE_GEO_DISTANCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane::geo {


// For every pixel, the nearest pixel where site[k] != 0 (of the contour pixels,
// or of other sites) and the squared Euclidean distance to it (-1 and -1 when
// the grid holds none). Exact, in linear time (Felzenszwalb and Huttenlocher's
// lower envelope of parabolas, one pass down the columns and one along the
// rows); ties are broken the same way on every run, whatever the threads. In 4
// bytes a pixel (8 on grids of 2^31 pixels or more), written once without
// clearing, on several threads (PassThreads). One map of the contour pixels
// serves the contour spacing and the drawn footprint of a window, as long as
// its cells do not change; compute() takes other sites into the same memory.
class SiteMap {
public:
    // 8-byte indices on every grid (the tests' way to reach them, and the
    // arithmetic in doubles that goes with them), or only where 4 do not fit.
    enum class Width { fit, wide };

    SiteMap() = default;
    // Sites: the contour pixels (cells[k] != tolvane::EMPTY).
    SiteMap(const std::vector<std::int32_t> &cells, int rows, int columns) { compute(cells, rows, columns); }
    void compute(const std::vector<std::int32_t> &cells, int rows, int columns, Width width = Width::fit);
    // Sites: the pixels where site[k] != 0.
    void compute(const std::vector<std::uint8_t> &site, int rows, int columns, Width width = Width::fit);

    int rows() const { return rows_; }
    int columns() const { return columns_; }
    bool empty() const { return rows_ == 0; }
    // The index of the nearest site of pixel k (row * columns + column); -1
    // when the grid holds none.
    std::int64_t site(std::size_t k) const { return narrow_ ? narrow_[k] : wide_[k]; }
    // The squared distance to it; -1 when the grid holds no site.
    std::int64_t squared(std::size_t k) const
    {
        if (narrow_) { // one 32-bit division for the row and column of both
            const std::int32_t s = narrow_[k];
            if (s < 0)
                return -1;
            const auto c = static_cast<std::uint32_t>(columns_), p = static_cast<std::uint32_t>(k),
                       q = static_cast<std::uint32_t>(s);
            const std::int64_t di = static_cast<std::int64_t>(p / c) - q / c, dj = static_cast<std::int64_t>(p % c) - q % c;
            return di * di + dj * dj;
        }
        const std::int64_t s = wide_[k];
        if (s < 0)
            return -1;
        const std::int64_t c = columns_, p = static_cast<std::int64_t>(k);
        const std::int64_t di = p / c - s / c, dj = p % c - s % c;
        return di * di + dj * dj;
    }
    // Forgets the sites and gives the memory back.
    void clear();

private:
    template <typename Index, typename IsSite> void fill(Index *out, IsSite is_site);
    template <typename IsSite> void compute_sites(int rows, int columns, Width width, IsSite is_site);

    int rows_ = 0, columns_ = 0;
    std::size_t size_ = 0; // cells allocated
    std::unique_ptr<std::int32_t[]> narrow_;
    std::unique_ptr<std::int64_t[]> wide_;
};

// 1 for every pixel within a distance of sqrt(squared) of a pixel where
// site[k] != 0 (its squared distance, as a double, at most `squared`), 0
// elsewhere: a dilation by a disc, without finding which site is the nearest.
std::vector<std::uint8_t> within_distance(const std::vector<std::uint8_t> &site, int rows, int columns,
                                          double squared);

// within_distance into `within` (every one of its rows x columns cells written),
// with `scratch` (as many cells, contents ignored) for the first pass: for callers
// that reuse their buffers.
void within_distance_into(const std::uint8_t *site, int rows, int columns, double squared, std::uint8_t *within,
                          std::uint16_t *scratch);

// 1 for every pixel within its own radius of some centre: a centre is a pixel
// whose `squared` radius is positive (0 or less: none), and a pixel p is within
// it when |p - c|^2 <= squared[c]. A dilation by discs of varying sizes, exact
// and in linear time (the lower envelope of parabolas raised by -squared[c]).
void within_own_radius_into(const float *squared, int rows, int columns, std::uint8_t *within);

// For every pixel, a site near it (where site[k] != 0; SWEPT_NONE for none),
// by two sweeps that pass each pixel's on to its neighbours: down the rows
// from the three pixels above and the one before, then up from the three below
// and the one after, a pixel taking an offer only when it is strictly nearer
// than what it holds. Near, not always the nearest (SiteMap's is exact): the
// surface's zones are drawn on these. On grids under 2^32 pixels.
inline constexpr std::uint32_t SWEPT_NONE = UINT32_MAX;
std::vector<std::uint32_t> swept_nearest(const std::vector<std::uint8_t> &site, int rows, int columns);

} // namespace tolvane::geo

#endif
