#include "flood.h"

#include "parallel.h"
#include "radix.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

namespace tolvane::geo {

namespace {

// The least rows a thread takes in parents_by_turn().
constexpr std::size_t PARENT_ROWS = 64;

// A pixel's parent from its state once flooded: a pixel taken keeps in its
// state the direction it was reached from (0 to 7).
std::uint8_t parent_in(std::uint8_t state) { return state < 8 ? state : NO_PARENT; }

} // namespace

PriorityFlood::PriorityFlood(int rows, int columns, const tolvane::Levels &levels, double part)
    : rows_(rows), columns_(columns), width_(columns + 2),
      most_(static_cast<std::size_t>(part * static_cast<double>(rows) * static_cast<double>(columns))),
      lowest_(levels.lowest), interval_(levels.interval)
{
    for (int d = 0; d < 8; d++)
        offset_[d] = static_cast<std::int64_t>(DR[d]) * width_ + DC[d];
}

// Doubles ordered as their unsigned bits: the negative ones' bits reversed,
// the sign bit set on the others; -0 taken as 0, equal to it.
inline PriorityFlood::Key PriorityFlood::key(double v, std::int64_t k)
{
    v += 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits = (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
    return (static_cast<Key>(bits) << 64) | static_cast<std::uint64_t>(k);
}

inline int PriorityFlood::bucket(Key k) const
{
    const Key x = k ^ last_;
    const auto hi = static_cast<std::uint64_t>(x >> 64), lo = static_cast<std::uint64_t>(x);
    if (hi)
        return 128 - __builtin_clzll(hi);
    return lo ? 64 - __builtin_clzll(lo) : 0;
}

inline void PriorityFlood::push(double v, std::int64_t k)
{
    const Key e = key(v, k);
    if (e < last_) { // a step above that does not rise (at an infinity): out first
        behind_.push_back(e);
        std::push_heap(behind_.begin(), behind_.end(), std::greater<Key>());
    } else if (next_ < run_.size() && e < run_.back()) {
        run_.insert(std::upper_bound(run_.begin() + static_cast<std::ptrdiff_t>(next_), run_.end(), e), e);
    } else {
        place(e);
    }
    queued_++;
}

inline void PriorityFlood::place(Key e)
{
    const int b = bucket(e);
    std::vector<Key> &in = buckets_[b];
    if (in.empty() || e < least_[b])
        least_[b] = e;
    in.push_back(e);
    filled_[b >> 6] |= std::uint64_t{1} << (b & 63);
}

// The least key: the run's next, or the lowest bucket's keys, spread below
// its least one until a bucket small enough to sort is the lowest.
PriorityFlood::Key PriorityFlood::pop()
{
    queued_--;
    if (!behind_.empty()) {
        std::pop_heap(behind_.begin(), behind_.end(), std::greater<Key>());
        const Key top = behind_.back();
        behind_.pop_back();
        return top;
    }
    if (next_ == run_.size())
        refill();
    return run_[next_++];
}

// The run, from the lowest bucket with keys: all of them lie below every key
// of the buckets above. A larger bucket is spread below its least key first.
void PriorityFlood::refill()
{
    run_.clear();
    next_ = 0;
    for (;;) {
        int b = 0;
        while (!filled_[b >> 6])
            b += 64;
        b += __builtin_ctzll(filled_[b >> 6]);
        std::vector<Key> &from = buckets_[b];
        filled_[b >> 6] &= ~(std::uint64_t{1} << (b & 63));
        last_ = least_[b];
        if (b == 0 || from.size() <= RUN) {
            run_.swap(from);
            from.clear();
            std::sort(run_.begin(), run_.end());
            for (std::size_t i = 0; i < LOOK && i < run_.size(); i++)
                fetch(static_cast<std::int64_t>(static_cast<std::uint64_t>(run_[i])));
            return;
        }
        for (Key e : from)
            place(e);
        from.clear();
    }
}

// The pixel that comes out `ahead` pops after the next one if the flood adds
// none below it (-1 when the run does not reach so far): the flood fetches its
// neighbourhood while it works on the ones before.
inline std::int64_t PriorityFlood::coming(std::size_t ahead) const
{
    const std::size_t i = next_ + ahead;
    return i < run_.size() ? static_cast<std::int64_t>(static_cast<std::uint64_t>(run_[i])) : -1;
}

inline void PriorityFlood::fetch(std::int64_t k) const
{
    for (const std::int64_t at : {k - width_, k, k + width_}) {
        __builtin_prefetch(z_.data() + at - 1);
        __builtin_prefetch(z_.data() + at + 1);
        __builtin_prefetch(state_.data() + at);
    }
}

double PriorityFlood::value(Key k)
{
    std::uint64_t bits = static_cast<std::uint64_t>(k >> 64);
    bits = (bits >> 63) ? bits & ~(std::uint64_t{1} << 63) : ~bits;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The grid into the bordered buffers, its pixels with a value in state `with_value`.
void PriorityFlood::load(const std::vector<double> &z, std::uint8_t with_value)
{
    const std::size_t bordered = static_cast<std::size_t>(rows_ + 2) * static_cast<std::size_t>(width_);
    if (z_.size() != bordered) {
        z_.assign(bordered, NAN);
        state_.assign(bordered, SHUT);
    }
    for (int r = 0; r < rows_; r++) {
        const double *in = z.data() + static_cast<std::size_t>(r) * columns_;
        const std::size_t row = static_cast<std::size_t>(r + 1) * width_ + 1;
        double *out = z_.data() + row;
        std::uint8_t *state = state_.data() + row;
        for (int c = 0; c < columns_; c++) {
            out[c] = in[c];
            state[c] = std::isnan(in[c]) ? SHUT : with_value;
        }
    }
}

void PriorityFlood::clear_queue()
{
    for (std::vector<Key> &b : buckets_)
        b.clear();
    filled_[0] = filled_[1] = filled_[2] = 0;
    last_ = 0;
    queued_ = 0;
    behind_.clear();
    run_.clear();
    next_ = 0;
    pit_.clear();
}

void PriorityFlood::push_outlets(const std::vector<std::int64_t> &outlets)
{
    clear_queue();
    for (std::int64_t k : outlets) {
        const std::int64_t b = bordered_index(k);
        if (state_[b] == OPEN) {
            state_[b] = SHUT;
            push(z_[b], b);
        }
    }
}

void PriorityFlood::flood(std::vector<double> &z, const std::vector<std::int64_t> &outlets,
                          std::vector<std::uint8_t> *parent, const Above *above)
{
    load(z, OPEN);
    push_outlets(outlets);
    take_all(above, nullptr);
    for (int r = 0; r < rows_; r++) {
        const std::size_t row = static_cast<std::size_t>(r + 1) * width_ + 1;
        std::copy_n(z_.data() + row, columns_, z.data() + static_cast<std::size_t>(r) * columns_);
    }
    if (parent) {
        parent->resize(static_cast<std::size_t>(rows_) * columns_);
        for (int r = 0; r < rows_; r++) {
            const std::uint8_t *from = state_.data() + static_cast<std::size_t>(r + 1) * width_ + 1;
            std::uint8_t *to = parent->data() + static_cast<std::size_t>(r) * columns_;
            for (int c = 0; c < columns_; c++)
                to[c] = parent_in(from[c]);
        }
    }
}

void PriorityFlood::take_all(const Above *above, std::uint32_t *const turns)
{
    double *const zb = z_.data();
    std::uint8_t *const state = state_.data();
    std::uint32_t taken = 0;
    std::size_t head = 0;
    // The value of the pixel taken last from the queue: the pixels raised to
    // its level (all of them, before the next is taken) have it too.
    double level = NAN;
    // The step above the last value asked: a flat's pixels ask it of one value in a row.
    double asked = NAN, step = NAN;
    for (;;) {
        std::int64_t c;
        if (head < pit_.size()) {
            c = pit_[head++];
            if (head + 3 < pit_.size())
                fetch(pit_[head + 3]);
        } else {
            if (queued_ == 0)
                break;
            head = 0;
            pit_.clear();
            const Key top = pop();
            c = static_cast<std::int64_t>(static_cast<std::uint64_t>(top));
            const std::int64_t next = coming(LOOK - 1);
            if (next >= 0)
                fetch(next);
            level = value(top);
            if (level == 0) // its sign, which the key leaves out
                level = zb[c];
        }
        const double zc = level;
        if (turns)
            turns[c] = taken++;
        if (above) {
            if (!(zc == asked && std::signbit(zc) == std::signbit(asked))) {
                asked = zc;
                step = (*above)(zc);
            }
            const double up = step;
            for (int d = 0; d < 8; d++) {
                const std::int64_t m = c + offset_[d];
                if (state[m] != OPEN)
                    continue;
                state[m] = static_cast<std::uint8_t>(7 - d);
                // In the order of the rise, so that a flat slopes toward the nearest of its outlets.
                double &zm = zb[m];
                zm = met_above(zm, zc, up);
                push(zm, m);
            }
        } else {
            for (int d = 0; d < 8; d++) {
                const std::int64_t m = c + offset_[d];
                if (state[m] != OPEN)
                    continue;
                state[m] = static_cast<std::uint8_t>(7 - d);
                if (zb[m] <= zc) {
                    zb[m] = zc;
                    pit_.push_back(m);
                } else {
                    push(zb[m], m);
                }
            }
        }
    }
}

void PriorityFlood::flood_pixels(const std::vector<std::int64_t> &pixels, std::vector<double> &z,
                                 const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &parent,
                                 std::vector<std::uint32_t> &turn)
{
    const std::size_t bordered = static_cast<std::size_t>(rows_ + 2) * static_cast<std::size_t>(width_);
    if (z_.size() != bordered) {
        z_.assign(bordered, NAN);
        state_.assign(bordered, SHUT);
    } else {
        std::fill(state_.begin(), state_.end(), SHUT);
    }
    // The turns on the bordered grid, written at the pixels only: the pages
    // of the rest are never touched.
    const std::unique_ptr<std::uint32_t[]> turns(new std::uint32_t[bordered]);
    for (std::int64_t k : pixels) {
        const std::int64_t b = bordered_index(k);
        z_[b] = z[k];
        state_[b] = std::isnan(z[k]) ? SHUT : OPEN;
        turns[b] = NO_TURN;
    }
    push_outlets(outlets);
    take_all(nullptr, turns.get());
    for (std::int64_t k : pixels) {
        const std::int64_t b = bordered_index(k);
        z[k] = z_[b];
        parent[k] = parent_in(state_[b]);
        turn[k] = turns[b];
    }
}

// The flood with `above` takes each pixel from its lowest neighbour (the
// first of them taken) and leaves it at met_above of that one's value, which
// lies above it. So its values are the only ones where each pixel but the
// outlets holds what its lowest neighbour gives it: by induction from the
// lowest pixel where two such sets of values differ, its lowest neighbour
// holds the same value in both, and so does it. This flood keeps to that:
// the pixels that do not hold their value as they are start open, and the
// pixels around them wait in the queue with their own values. When the
// queue reaches one of those, the neighbours taken before it are final (the
// others lie higher): the lowest tells whether it holds. One that does meets
// its open neighbours, as the whole grid's flood would; one that does not
// takes the value its lowest neighbour gives it, or opens when none lies
// lower, and the pixels above it around wait in the queue in turn.
void PriorityFlood::rise(std::vector<double> &z, const std::vector<std::int64_t> &outlets, const Above &above)
{
    std::vector<std::int64_t> moved;
    load(z, STILL);
    if (!rise_part(outlets, above, moved)) {
        moved = {};
        flood(z, outlets, nullptr, &above);
        return;
    }
    for (std::int64_t b : moved)
        z[grid_index(b)] = z_[b];
}

void PriorityFlood::fix(const std::vector<std::int64_t> &outlets)
{
    for (std::int64_t k : outlets) {
        const std::int64_t b = bordered_index(k);
        if (state_[b] == STILL)
            state_[b] = FIXED;
    }
}

void PriorityFlood::wait(std::int64_t b)
{
    state_[b] = state_[b] == FIXED ? WAITING_FIXED : WAITING;
    push(z_[b], b);
}

bool PriorityFlood::rise_part(const std::vector<std::int64_t> &outlets, const Above &above,
                              std::vector<std::int64_t> &moved)
{
    double *const zb = z_.data();
    std::uint8_t *const state = state_.data();
    const std::int64_t first = width_ + 1, last = static_cast<std::int64_t>(rows_) * width_ + columns_;
    double lo = INFINITY, hi = -INFINITY;
    for (std::int64_t b = first; b <= last; b++)
        if (state[b] == STILL) {
            lo = std::min(lo, zb[b]);
            hi = std::max(hi, zb[b]);
        }
    if (!(lo <= hi))
        return true;
    if (!std::isfinite(lo) || !std::isfinite(hi))
        return false;
    // Far beyond any step above (float steps grow with the value's size): a
    // pixel this much above its lowest neighbour holds without asking.
    const double far = 64 * std::max(above(lo) - lo, above(hi) - hi);
    if (!(far < INFINITY))
        return false;
    fix(outlets);
    // The lowest neighbour's value, the first of equal ones in the queue's order.
    const auto lowest_of = [&](std::int64_t b, auto &&counts) {
        double lowest = INFINITY;
        for (int d = 0; d < 8; d++) {
            const std::int64_t m = b + offset_[d];
            if (counts(m) && zb[m] < lowest)
                lowest = zb[m];
        }
        return lowest;
    };
    const auto holds = [&](double v, double lowest) {
        return v - lowest >= far || met_above(v, lowest, above(lowest)) == v;
    };
    std::vector<std::int64_t> open;
    for (std::int64_t b = first; b <= last; b++) {
        if (state[b] != STILL)
            continue;
        const double lowest = lowest_of(b, [&](std::int64_t m) { return state[m] != SHUT; });
        if (lowest < INFINITY && !holds(zb[b], lowest)) { // (no neighbour ever meets a pixel alone)
            state[b] = OPEN;
            open.push_back(b);
        }
    }
    if (open.size() > most_)
        return false;
    clear_queue();
    for (std::int64_t b : open)
        for (int d = 0; d < 8; d++)
            if (still(b + offset_[d]))
                wait(b + offset_[d]);
    double asked = NAN, step = NAN;
    const auto step_above = [&](double v) {
        if (!(v == asked && std::signbit(v) == std::signbit(asked))) {
            asked = v;
            step = above(v);
        }
        return step;
    };
    while (queued_ > 0) {
        if (moved.size() > most_)
            return false;
        const Key top = pop();
        const auto c = static_cast<std::int64_t>(static_cast<std::uint64_t>(top));
        const double zc = zb[c];
        if (state[c] == WAITING) {
            const double lowest = lowest_of(c, [&](std::int64_t m) {
                return state[m] == DONE || (still(m) && key(zb[m], m) < top);
            });
            const bool none = lowest == INFINITY;
            const double up = none ? zc : step_above(lowest);
            if (!none && !(up > lowest))
                return false;
            const double v = none ? zc : met_above(zc, lowest, up);
            if (none || !(v == zc)) {
                // It moves: the pixels above it around may no longer hold theirs.
                for (int d = 0; d < 8; d++) {
                    const std::int64_t m = c + offset_[d];
                    if (still(m) && key(zb[m], m) > top)
                        wait(m);
                }
                if (none) {
                    state[c] = OPEN;
                } else {
                    zb[c] = v;
                    state[c] = MET;
                    moved.push_back(c);
                    push(v, c);
                }
                continue;
            }
        }
        state[c] = DONE;
        const double up = step_above(zc);
        if (!(up > zc))
            return false;
        for (int d = 0; d < 8; d++) {
            const std::int64_t m = c + offset_[d];
            if (state[m] != OPEN)
                continue;
            zb[m] = met_above(zb[m], zc, up);
            state[m] = MET;
            moved.push_back(m);
            push(zb[m], m);
        }
    }
    return true;
}

// The flood without `above` takes the pixels from the queue by value and
// index, and after each one the pixels it meets at its level or below (raised
// to it), and those they meet so, in the order met. A pixel with a lower
// neighbour holds its value and is taken from the queue at its own turn; only
// the others move or change their turn. Those that have no lower neighbour
// start open, with the pixels around them waiting in the queue; one that no
// longer has a lower neighbour taken before it opens when the queue reaches
// it, and the pixels above it around wait in turn. Those before a waiting
// pixel at its level around it wait too: they may meet it at that level.
// Where one of those has had its turn unwatched (a pixel met at its level by
// one the queue took before), the whole grid is flooded instead.
void PriorityFlood::fill(std::vector<double> &z, const std::vector<std::int64_t> &outlets,
                         std::vector<std::uint8_t> &parent)
{
    std::vector<std::int64_t> moved;
    load(z, STILL);
    const bool done = fill_part(outlets, parent, moved);
    if (done) {
        for (std::int64_t b : moved)
            z[grid_index(b)] = z_[b];
        parents_by_turn(parent);
    }
    taken_ = {};
    if (!done) {
        moved = {};
        flood(z, outlets, &parent, nullptr);
    }
}

// The levels in z_, the pixels that moved in `moved` and, on the grid, in
// `from` the direction each pixel met here was met from (OUTLET for the
// outlets); false where the whole grid must be flooded.
bool PriorityFlood::fill_part(const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &from,
                              std::vector<std::int64_t> &moved)
{
    double *const zb = z_.data();
    std::uint8_t *const state = state_.data();
    const std::int64_t first = width_ + 1, last = static_cast<std::int64_t>(rows_) * width_ + columns_;
    fix(outlets);
    std::vector<std::int64_t> open;
    for (std::int64_t b = first; b <= last; b++) {
        if (state[b] != STILL)
            continue;
        double lowest = INFINITY;
        bool any = false;
        for (int d = 0; d < 8; d++) {
            const std::int64_t m = b + offset_[d];
            if (state[m] != SHUT) {
                any = true;
                lowest = std::min(lowest, zb[m]);
            }
        }
        if (any && !(zb[b] > lowest)) {
            state[b] = OPEN;
            open.push_back(b);
        }
    }
    if (open.size() > most_)
        return false;
    clear_queue();
    from.assign(static_cast<std::size_t>(rows_) * columns_, NO_PARENT);
    for (std::int64_t k : outlets)
        from[static_cast<std::size_t>(k)] = OUTLET;
    taken_.clear();
    // A pixel waits with those before it at its level around it, which would
    // meet it at that level if nothing lower met it first, and so on from
    // them. False where one of those has had its turn.
    Key now = 0; // the key taken from the queue last, that of the run's first pixel in a run
    std::vector<std::int64_t> level;
    const auto wait_with_level = [&](std::int64_t m) {
        wait(m);
        level.assign(1, m);
        while (!level.empty()) {
            const std::int64_t p = level.back();
            level.pop_back();
            const Key kp = key(zb[p], p);
            for (int d = 0; d < 8; d++) {
                const std::int64_t x = p + offset_[d];
                if (!still(x) || !(zb[x] == zb[p]))
                    continue;
                const Key kx = key(zb[x], x);
                if (kx < kp) {
                    if (kx < now)
                        return false;
                    wait(x);
                    level.push_back(x);
                }
            }
        }
        return true;
    };
    for (std::int64_t b : open)
        for (int d = 0; d < 8; d++)
            if (still(b + offset_[d]))
                wait_with_level(b + offset_[d]);
    std::size_t head = 0;
    std::int64_t root = -1;
    for (;;) {
        std::int64_t c;
        if (head < pit_.size()) {
            c = pit_[head++];
        } else {
            if (queued_ == 0)
                break;
            const Key top = pop();
            now = top;
            c = static_cast<std::int64_t>(static_cast<std::uint64_t>(top));
            if (state[c] == WAITING) {
                // The neighbours taken before it are final; the lowest tells.
                double lowest = INFINITY;
                bool any = false;
                for (int d = 0; d < 8; d++) {
                    const std::int64_t m = c + offset_[d];
                    if (state[m] == DONE || (still(m) && key(zb[m], m) < top)) {
                        lowest = any ? std::min(lowest, zb[m]) : zb[m];
                        any = true;
                    }
                }
                if (!any) {
                    state[c] = OPEN;
                    for (int d = 0; d < 8; d++) {
                        const std::int64_t m = c + offset_[d];
                        if (still(m) && key(zb[m], m) > top && !wait_with_level(m))
                            return false;
                    }
                    continue;
                }
                if (!(lowest < zb[c]))
                    return false; // met at its level by one taken before
            } else if (state[c] != MET && state[c] != WAITING_FIXED) {
                continue; // met at its level since it began to wait
            }
            root = c;
            head = 0;
            pit_.clear();
        }
        state[c] = DONE;
        taken_.push_back({c, root});
        if (taken_.size() > most_)
            return false;
        const double zc = zb[c];
        for (int d = 0; d < 8; d++) {
            const std::int64_t m = c + offset_[d];
            if (state[m] == OPEN) {
                from[grid_index(m)] = static_cast<std::uint8_t>(7 - d);
                if (zb[m] <= zc) {
                    moved.push_back(m);
                    zb[m] = zc;
                    state[m] = LEVELLED;
                    pit_.push_back(m);
                } else {
                    state[m] = MET;
                    push(zb[m], m);
                }
            } else if (state[m] == WAITING) {
                if (zb[m] < zc)
                    return false; // (cannot be: it would have been taken before)
                if (zb[m] > zc)
                    continue;
                // At this level: met now unless a neighbour was taken before.
                bool met = false;
                for (int e = 0; e < 8 && !met; e++) {
                    const std::int64_t x = m + offset_[e];
                    if (x == c)
                        continue;
                    if (state[x] == DONE) {
                        met = true;
                    } else if (still(x) && key(zb[x], x) < now) {
                        met = true; // (at its level, it fails when its turn comes)
                    }
                }
                if (!met) {
                    from[grid_index(m)] = static_cast<std::uint8_t>(7 - d);
                    moved.push_back(m);
                    zb[m] = zc; // (of zero's two signs, the one it meets)
                    state[m] = LEVELLED;
                    pit_.push_back(m);
                }
            }
        }
    }
    return true;
}

// Each pixel not met above (held its value, taken from the queue at its own
// turn) was met from the neighbour the flood took first: of the lowest value,
// then of the earliest run (a run begins with the pixel taken from the queue,
// by index), then of the earliest turn in it. Only the pixels taken here have
// a turn of their own, looked up among them by index.
void PriorityFlood::parents_by_turn(std::vector<std::uint8_t> &parent)
{
    const double *const zb = z_.data();
    const std::uint8_t *const state = state_.data();
    // The turn of each pixel taken, by the pixel's index.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> by_index(taken_.size());
    for (std::size_t t = 0; t < by_index.size(); t++)
        by_index[t] = {static_cast<std::uint64_t>(taken_[t].first), static_cast<std::uint32_t>(t)};
    sort_by_key(by_index);
    const auto turn_of = [&](std::int64_t b) {
        return std::lower_bound(by_index.begin(), by_index.end(), static_cast<std::uint64_t>(b),
                                [](const auto &e, std::uint64_t k) { return e.first < k; })
            ->second;
    };
    const auto sooner = [&](std::int64_t a, std::int64_t b) {
        if (zb[a] != zb[b])
            return zb[a] < zb[b];
        const bool ia = state[a] == DONE, ib = state[b] == DONE;
        const std::uint32_t ta = ia ? turn_of(a) : 0, tb = ib ? turn_of(b) : 0;
        if (ia && ib)
            return ta < tb;
        return (ia ? taken_[ta].second : a) < (ib ? taken_[tb].second : b);
    };
    // Each row writes its own parents only.
    in_slices(static_cast<std::size_t>(rows_), PARENT_ROWS, [&](std::size_t first, std::size_t last) {
        for (auto r = static_cast<int>(first); r < static_cast<int>(last); r++) {
            const std::int64_t row = static_cast<std::int64_t>(r + 1) * width_ + 1;
            std::uint8_t *to = parent.data() + static_cast<std::size_t>(r) * columns_;
            for (int col = 0; col < columns_; col++) {
                const std::int64_t b = row + col;
                if (to[col] == OUTLET) {
                    to[col] = NO_PARENT;
                    continue;
                }
                if (to[col] != NO_PARENT || state[b] == SHUT)
                    continue;
                int best = -1;
                for (int d = 0; d < 8; d++) {
                    const std::int64_t m = b + offset_[d];
                    if (state[m] != SHUT && (best < 0 || sooner(m, b + offset_[best])))
                        best = d;
                }
                to[col] = best < 0 ? NO_PARENT : static_cast<std::uint8_t>(best);
            }
        }
    });
}

} // namespace tolvane::geo
