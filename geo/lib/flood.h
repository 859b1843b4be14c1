// The priority flood of a grid from its outlets, the drainage's core step.
#ifndef TOLVANE_GEO_FLOOD_H
#define TOLVANE_GEO_FLOOD_H

#include "drainage.h"

#include <tolvane/tolvane.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace tolvane::geo {

// The eight neighbours, the directions of the parents the flood gives: the
// neighbour in direction d is DR[d] rows and DC[d] columns away, and 7 - d is
// the opposite of d.
inline constexpr int DR[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
inline constexpr int DC[8] = {-1, 0, 1, -1, 1, -1, 0, 1};

// The direction of the neighbour a pixel was reached from; NO_PARENT for an
// outlet or a pixel never reached.
constexpr std::uint8_t NO_PARENT = 8;
constexpr std::uint32_t NO_TURN = UINT32_MAX;

// Floods one grid (rows x columns, NaN without value) again and again, as the
// drainage does between rounds: its buffers (the grid with a border of one
// pixel, the pixels met, the queues) are kept from one flood to the next. The
// pixels leave the queue lowest first, of equal values the first on the grid,
// those raised to their neighbour's level at once in the order they were met:
// the order, and so each pixel's value and parent, is the same whatever the
// queue's layout.
class PriorityFlood {
public:
    // `part`: the share of the grid past which rise() and fill() give up
    // working on a part and flood the whole grid (whose buffers are the
    // grid's own; theirs grow with the part).
    PriorityFlood(int rows, int columns, const tolvane::Levels &levels, double part = 0.25);

    // Every pixel of `z` raised to the level at which water leaves it toward
    // one of `outlets` (pixels with a value). With `above`, each pixel the
    // flood raises or meets at its neighbour's level rises the least step
    // above it (below the next level up from its own value). `parent`, when
    // given, receives the direction of the neighbour each pixel was reached
    // from.
    void flood(std::vector<double> &z, const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> *parent,
               const Above *above);

    // What flood() without `above` gives on a grid where only `pixels` (each
    // once) have a value, theirs in `z`, and the order in which it takes them
    // in `turn` (0 first; NO_TURN for a pixel never taken): `z`, `parent` and
    // `turn` (of the whole grid) are read and written at those pixels only, so
    // that a small part costs passes over it and the clearing of one byte a
    // pixel of the grid.
    void flood_pixels(const std::vector<std::int64_t> &pixels, std::vector<double> &z,
                      const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &parent,
                      std::vector<std::uint32_t> &turn);

    // What flood() with `above` and no parents gives, worked out on the pixels
    // it moves and those around them only: the pixels that do not hold their
    // value against their lowest neighbour (flats, pits), then the ones the
    // flood finds beside them that no longer do. Every pixel with a value
    // must be reached from `outlets` (as the grid's edge and the pixels beside
    // those without value reach them all), and the steps above must grow with
    // the values' size, as Float32's do; a grid with infinite values is
    // flooded whole.
    void rise(std::vector<double> &z, const std::vector<std::int64_t> &outlets, const Above &above);

    // What flood() without `above` gives, the levels and the parents, worked
    // out on the pixels it raises or meets at a neighbour's level and those
    // around them; the other pixels' parents follow from the order in which
    // the flood takes their neighbours. Every pixel with a value must be
    // reached from `outlets`.
    void fill(std::vector<double> &z, const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &parent);

    // The value a pixel of value zm takes when the flood with `above` meets it
    // from one of value zc, `up` being the step above zc. A pixel no higher
    // than the one it drains to takes the step above it even past a level (a
    // shallow fill whose spill lies above one): left level with it, water
    // would stop there. One above rises only within its band.
    double met_above(double zm, double zc, double up) const
    {
        return zm < up && (up < next_level(zm) || zm <= zc) ? up : zm;
    }

private:
    // A pixel's place in the queue: its value's order in the high half, its
    // index on the bordered grid in the low half. The flood only adds pixels
    // above the one it took last, so the queue is a radix heap: bucket b holds
    // the keys whose highest bit apart from the last key taken is bit b - 1,
    // and a key moves only to lower buckets.
    using Key = unsigned __int128;
    static Key key(double v, std::int64_t k);
    static double value(Key k); // 0 for -0
    void push(double v, std::int64_t k);
    void place(Key e);
    Key pop();
    void refill();
    int bucket(Key k) const;
    std::int64_t coming(std::size_t ahead) const;
    void load(const std::vector<double> &z, std::uint8_t with_value);
    void clear_queue();
    // The queue emptied, then the outlets still open put in it, shut.
    void push_outlets(const std::vector<std::int64_t> &outlets);
    // The flood's loop: every pixel in the queue taken, its open neighbours
    // met; each pixel's turn written in `turns` (bordered) when given.
    void take_all(const Above *above, std::uint32_t *turns);
    bool fill_part(const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &from,
                   std::vector<std::int64_t> &moved);
    void parents_by_turn(std::vector<std::uint8_t> &parent);
    // A pixel's place on the grid and on the bordered buffers.
    std::size_t grid_index(std::int64_t b) const
    {
        return static_cast<std::size_t>(b / width_ - 1) * columns_ + static_cast<std::size_t>(b % width_ - 1);
    }
    std::int64_t bordered_index(std::int64_t k) const { return k + width_ + 1 + 2 * (k / columns_); }
    // rise()'s and fill()'s: the outlets marked FIXED; whether a pixel holds
    // its value unless a neighbour moves; one of those put in the queue to wait.
    void fix(const std::vector<std::int64_t> &outlets);
    bool still(std::int64_t b) const { return state_[b] == STILL || state_[b] == FIXED; }
    void wait(std::int64_t b);
    bool rise_part(const std::vector<std::int64_t> &outlets, const Above &above, std::vector<std::int64_t> &moved);
    void fetch(std::int64_t k) const;

    double next_level(double v) const { return lowest_ + interval_ * (std::floor((v - lowest_) / interval_) + 1); }

    int rows_, columns_, width_;
    std::size_t most_; // pixels in rise()'s and fill()'s part
    double lowest_, interval_;
    std::int64_t offset_[8];
    std::vector<double> z_;             // bordered
    // Bordered, for each pixel: OPEN until the flood meets it, then the
    // direction it was met from, or SHUT for an outlet, the border and the
    // pixels without value.
    static constexpr std::uint8_t OPEN = 9, SHUT = NO_PARENT;
    // rise()'s further states: a pixel that holds its value unless a
    // neighbour moves (an outlet always), one of those waiting in the queue,
    // one met and queued, one taken.
    static constexpr std::uint8_t STILL = 10, FIXED = 11, WAITING = 12, WAITING_FIXED = 13, MET = 14, DONE = 15;
    // fill()'s: one met at its neighbour's level, waiting in pit_.
    static constexpr std::uint8_t LEVELLED = 16;
    static constexpr std::uint8_t OUTLET = 9; // fill()'s mark, among the parents' directions
    // fill(): the pixels in the order taken, each with the pixel taken from
    // the queue that began its run.
    std::vector<std::pair<std::int64_t, std::int64_t>> taken_;
    std::vector<std::uint8_t> state_;
    static constexpr int BUCKETS = 129;
    std::vector<Key> buckets_[BUCKETS];
    Key least_[BUCKETS] = {}; // of each bucket with keys
    std::uint64_t filled_[3] = {0, 0, 0}; // a bit for each bucket with keys
    Key last_ = 0;
    // The least keys, sorted, from run_[next_] on: a bucket of at most RUN
    // keys taken whole, so that the flood knows the pixels LOOK pops ahead.
    static constexpr std::size_t RUN = 64, LOOK = 4;
    std::vector<Key> run_;
    std::size_t next_ = 0;
    std::vector<Key> behind_; // below last_: a heap, lowest first
    std::size_t queued_ = 0;
    std::vector<std::int64_t> pit_;     // raised to their neighbour's level, first in first out
};

} // namespace tolvane::geo

#endif
