// The smooth surface over the core's cells: see surface.h for what it keeps.
#include "surface.h"

#include "distance.h"

#include <algorithm>
#include <cmath>
#include <future>

namespace tolvane::geo {

namespace {

// What the pixels around one line pixel say of the slope there, in the core's
// units per pixel. "Above" is the band between its level and the next one up,
// "below" the band under it. In floats: a grid holds millions of line pixels,
// and a slope needs no more digits than a float's.
struct Sums {
    float above = 0, below = 0;         // of the bands' slopes (interval / width)
    float above_far = 0, below_far = 0; // of the slopes at the bands' other line
    std::int32_t above_n = 0, below_n = 0; // pixels summed
    float depth = 0;                     // the farthest pixel left at the level on its open side
};

struct LinePixel {
    std::int32_t level = 0;
    std::size_t at = 0; // the pixel
    Sums own;           // of the pixels nearest this one
    Sums near;          // of the pixels nearest a pixel of this line within POOL
    float slope = 0;     // at the line, across it
    float curvature = 0; // of a one-sided line, on its open side: the change of slope per pixel, going away
};

// A line burned into pixels is two or three pixels thick here and there, and
// its inner pixels are the nearest to none on one side; each line pixel reads
// the sums of its line's pixels up to this far in either direction, which
// also evens out the few pixels a sharp bend leaves to each.
constexpr int POOL = 2;

// A band's width never falls below a pixel, and a slope at a line never passes
// three times the band's own: a Hermite cubic with end slopes within [0, 3g]
// is monotonic (Fritsch and Carlson), so it stays between its two levels.
constexpr double MONOTONE = 3;

// A summit or a pit bends at least enough to lose half its slope at the line
// by its deepest pixel (the slope over ROUNDING times that depth, per pixel).
constexpr double ROUNDING = 2;

// A summit or a pit stops short of the next level by this share of the
// interval, so that no pixel of it reads as a line that is not there.
constexpr double SHORT_OF_LEVEL = 0.01;

class Surface {
public:
    Surface(std::vector<std::int32_t> &cells, int rows, int columns, const tolvane::Levels &levels,
            std::vector<std::int32_t> &burned)
        : cells_(cells), rows_(rows), columns_(columns), size_(static_cast<std::size_t>(rows) * columns),
          lowest_(levels.lowest), interval_(levels.interval), index_(burned)
    {
        // The lines of even steps from the lowest level and those of odd ones:
        // a pixel's two lines are one of each, and the nearest line of a
        // parity is, within a band closed by lines, the band's own.
        // Each map on a thread of its own: they share nothing but what they read.
        const auto map = [this, &burned, rows, columns](int parity) {
            std::vector<std::uint8_t> site(size_);
            for (std::size_t k = 0; k < size_; k++)
                site[k] = burned[k] != tolvane::EMPTY && on_table(burned[k]) && this->parity(burned[k]) == parity;
            maps_[parity].compute(site, rows, columns);
        };
        std::future<void> odd = std::async(std::launch::async, map, 1);
        map(0);
        odd.get();
        // The levels become indices into pixels_, in the same memory.
        pixels_.reserve(static_cast<std::size_t>(
            std::count_if(burned.begin(), burned.end(), [this](std::int32_t c) { return c != tolvane::EMPTY && on_table(c); })));
        for (std::size_t k = 0; k < size_; k++) {
            std::int32_t &c = burned[k];
            if (c == tolvane::EMPTY || !on_table(c)) {
                c = -1;
                continue;
            }
            LinePixel p;
            p.level = c;
            p.at = k;
            c = static_cast<std::int32_t>(pixels_.size());
            pixels_.push_back(p);
        }
    }

    void run()
    {
        for_bands([this](std::size_t, double, std::int32_t low, double d_low, std::int32_t high, double d_high) {
            const auto g = static_cast<float>(interval_ / std::max(1.0, d_low + d_high));
            pixels_[low].own.above += g;
            pixels_[low].own.above_n++;
            pixels_[high].own.below += g;
            pixels_[high].own.below_n++;
        });
        pool();
        for (LinePixel &p : pixels_)
            p.slope = static_cast<float>(two_sided(p.near));
        for (std::size_t k = 0; k < size_; k++) {
            double level = 0, d_low = 0, d_high = 0, x = 0;
            std::int32_t low = -1, high = -1;
            if (band(k, level, low, d_low, high, d_high)) {
                pixels_[low].own.above_far += pixels_[high].slope;
                pixels_[high].own.below_far += pixels_[low].slope;
            } else if (const std::int32_t i = flat(k, x); i >= 0) {
                pixels_[i].own.depth = std::max(pixels_[i].own.depth, static_cast<float>(x));
            }
        }
        pool();
        for (LinePixel &p : pixels_)
            one_sided(p);
        // Each pixel is read and written once, by what its own value says, so
        // the order in which they are redrawn does not matter.
        for (std::size_t k = 0; k < size_; k++)
            redraw(k);
    }

private:
    // The slope at a line from the slopes of the bands on its two sides: the
    // derivative, at the middle level, of the parabola through three levels
    // whose bands have these widths ((g1^2 + g2^2) / (g1 + g2), with g = interval / width).
    static double two_sided(const Sums &p)
    {
        const double above = p.above_n ? static_cast<double>(p.above) / p.above_n : 0;
        const double below = p.below_n ? static_cast<double>(p.below) / p.below_n : 0;
        if (above > 0 && below > 0)
            return (above * above + below * below) / (above + below);
        return above > 0 ? above : below;
    }

    // A line with a band on one side only (a summit's, a pit's, one at a valley
    // floor or a ridge): the slope at its edge of that band and the curvature
    // with which the band's profile leaves it, from the band's mean slope g and
    // the slope at its far line, as on a parabola across the band.
    void one_sided(LinePixel &l) const
    {
        const Sums &p = l.near;
        const bool above = p.above_n > 0, below = p.below_n > 0;
        if (above == below)
            return;
        const double g = above ? static_cast<double>(p.above) / p.above_n : static_cast<double>(p.below) / p.below_n;
        const double far =
            above ? static_cast<double>(p.above_far) / p.above_n : static_cast<double>(p.below_far) / p.below_n;
        const double slope = std::clamp(2 * g - far, 0.0, MONOTONE * g);
        double curvature = (slope - far) * g / interval_;
        // A summit comes to its top no farther in than its deepest pixel; a
        // cone's point is rounded off to three quarters of its height there.
        if (p.depth > 0)
            curvature = std::min(curvature, -slope / (ROUNDING * p.depth));
        l.slope = static_cast<float>(slope);
        l.curvature = static_cast<float>(curvature);
    }

    // Each line pixel's sums over the pixels of its line within POOL.
    void pool()
    {
        for (LinePixel &l : pixels_) {
            const int r = static_cast<int>(l.at / columns_), c = static_cast<int>(l.at % columns_);
            const std::vector<std::int32_t> &index = index_;
            Sums n;
            for (int i = std::max(0, r - POOL); i <= std::min(rows_ - 1, r + POOL); i++)
                for (int j = std::max(0, c - POOL); j <= std::min(columns_ - 1, c + POOL); j++) {
                    const std::int32_t m = index[static_cast<std::size_t>(i) * columns_ + j];
                    if (m < 0 || pixels_[m].level != l.level)
                        continue;
                    const Sums &o = pixels_[m].own;
                    n.above += o.above;
                    n.below += o.below;
                    n.above_far += o.above_far;
                    n.below_far += o.below_far;
                    n.above_n += o.above_n;
                    n.below_n += o.below_n;
                    n.depth = std::max(n.depth, o.depth);
                }
            l.near = n;
        }
    }

    int parity(std::int32_t level) const
    {
        const auto step = static_cast<long long>(std::floor((level - lowest_) / interval_));
        return static_cast<int>(((step % 2) + 2) % 2);
    }

    bool on_table(std::int32_t level) const { return (static_cast<long long>(level) - static_cast<long long>(lowest_)) % static_cast<long long>(interval_) == 0; }

    // The Hermite cubic across a band from `level` up, at d_low from its lower
    // line and d_high from its upper one.
    double across(double level, double s_low, double s_high, double d_low, double d_high) const
    {
        const double w = d_low + d_high, t = d_low / w, g = interval_ / w;
        const double m0 = std::min(s_low, MONOTONE * g) * w, m1 = std::min(s_high, MONOTONE * g) * w;
        const double t2 = t * t, t3 = t2 * t;
        const double v = level + interval_ * (3 * t2 - 2 * t3) + m0 * (t3 - 2 * t2 + t) + m1 * (t3 - t2);
        return std::clamp(v, level, level + interval_);
    }

    // The line of `level` nearest pixel k and how far it lies; -1 when the
    // nearest line of its parity is of another level.
    std::int32_t nearest(std::size_t k, long long step, double &distance) const
    {
        const int parity = static_cast<int>(((step % 2) + 2) % 2);
        const std::int64_t s = maps_[parity].site(k);
        if (s < 0)
            return -1;
        const std::int32_t i = index_[static_cast<std::size_t>(s)];
        if (i < 0 || pixels_[i].level != lowest_ + static_cast<double>(step) * interval_)
            return -1;
        distance = std::sqrt(static_cast<double>(maps_[parity].squared(k)));
        return i;
    }

    bool on_line(std::size_t k) const { return index_[k] >= 0; }

    // The core's value of pixel k; NaN without one.
    double value(std::size_t k) const { return cells_[k] == tolvane::EMPTY ? NAN : cells_[k]; }

    // Whether pixel k lies strictly inside a band closed by a line of either
    // level: its lower level, its lines and their distances.
    bool band(std::size_t k, double &level, std::int32_t &low, double &d_low, std::int32_t &high,
              double &d_high) const
    {
        const double v = value(k);
        if (std::isnan(v) || on_line(k))
            return false;
        const double t = (v - lowest_) / interval_, b = std::floor(t);
        if (t == b)
            return false;
        const auto step = static_cast<long long>(b);
        low = nearest(k, step, d_low);
        high = low < 0 ? -1 : nearest(k, step + 1, d_high);
        level = lowest_ + static_cast<double>(step) * interval_;
        return high >= 0;
    }

    template <typename F> void for_bands(F f) const
    {
        for (std::size_t k = 0; k < size_; k++) {
            double level = 0, d_low = 0, d_high = 0;
            std::int32_t low = -1, high = -1;
            if (band(k, level, low, d_low, high, d_high))
                f(k, level, low, d_low, high, d_high);
        }
    }

    // A pixel in a closed band takes the band's cubic; one the core left at a
    // level off its lines, on the open side of its nearest line of that level
    // (a summit or a pit), rises or sinks from that line.
    void redraw(std::size_t k)
    {
        double level = 0, d_low = 0, d_high = 0;
        std::int32_t low = -1, high = -1;
        if (band(k, level, low, d_low, high, d_high)) {
            set(k, across(level, pixels_[low].slope, pixels_[high].slope, d_low, d_high));
            return;
        }
        double x = 0;
        const std::int32_t i = flat(k, x);
        if (i < 0)
            return;
        const LinePixel &p = pixels_[i];
        if ((p.near.above_n > 0) == (p.near.below_n > 0))
            return;
        const double rise = std::min(away(p.slope, p.curvature, x), (1 - SHORT_OF_LEVEL) * interval_);
        set(k, p.near.below_n > 0 ? value(k) + rise : value(k) - rise);
    }

    // For a pixel the core left at a level off its lines, its nearest line of
    // that level and the distance to it; -1 for any other pixel.
    std::int32_t flat(std::size_t k, double &x) const
    {
        const double v = value(k);
        if (std::isnan(v) || on_line(k))
            return -1;
        const double t = (v - lowest_) / interval_;
        if (t != std::floor(t))
            return -1;
        return nearest(k, static_cast<long long>(t), x);
    }

    // How far the profile has risen (or sunk) x pixels from a one-sided line:
    // the slope there, bent by the curvature until it comes to zero.
    static double away(double slope, double curvature, double x)
    {
        if (curvature >= 0)
            return slope * x;
        const double flat = slope / -curvature;
        return x < flat ? slope * x + curvature * x * x / 2 : slope * flat / 2;
    }

    void set(std::size_t k, double v) { cells_[k] = static_cast<std::int32_t>(std::lround(v)); }

    std::vector<std::int32_t> &cells_;
    int rows_, columns_;
    std::size_t size_;
    double lowest_, interval_;
    const std::vector<std::int32_t> &index_; // of each line pixel in pixels_, else -1
    SiteMap maps_[2];
    std::vector<LinePixel> pixels_;
};

} // namespace

void smooth_surface(std::vector<std::int32_t> &cells, int rows, int columns, const tolvane::Levels &levels,
                    std::vector<std::int32_t> burned)
{
    if (levels.interval <= 0 || cells.empty() || burned.size() != cells.size())
        return;
    Surface(cells, rows, columns, levels, burned).run();
}

} // namespace tolvane::geo
