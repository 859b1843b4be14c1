// Drainage on the result: see drainage.h for what it keeps and what it removes.
#include "drainage.h"

#include "flood.h"
#include "timing.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace tolvane::geo {

namespace {

// A depression counts (is kept or removed, and reported) from this share of the
// interval deep; shallower ones are filled without a word.
constexpr double DEEP = 0.1;

// The deepest a trench lets a pit ring's water out by, as a share of the interval.
constexpr double TRENCH = 0.25;

// A nested depression is judged after the one around it is kept: at most this
// many rings inside one another are told apart (beyond, the inner ones fill).
constexpr int NESTING = 32;

// How many pixels out from a stream's head its hollow is gathered into it,
// and how far below where the lines left them the pixels its water crosses on
// the way may be lowered, as a share of the interval: a hollow's floor a few
// pixels wide sits a little below its sides, and lowering it by its band's
// whole depth would carve a funnel no line shows.
constexpr int WIDE = 3;
constexpr double HOLLOW = 0.25;

// The length of a D8 step toward neighbour d, in pixels.
double d8_length(int d) { return DR[d] != 0 && DC[d] != 0 ? std::sqrt(2.0) : 1.0; }

// The length of the D8 step between neighbouring pixels a and b, in pixels.
double d8_length(std::int64_t a, std::int64_t b, int columns)
{
    return a / columns != b / columns && a % columns != b % columns ? std::sqrt(2.0) : 1.0;
}

// The lowest a pixel that was at `was` may go along a stream or its head: a
// tenth of the interval below the band it was in.
double band_floor(double was, const tolvane::Levels &levels)
{
    const double band = std::floor((was - levels.lowest) / levels.interval);
    return levels.lowest + levels.interval * (band - DEEP);
}

// A connected set of pixels the flood raised, flat at its spill level.
struct Depression {
    std::vector<std::int64_t> cells;
    double spill = 0;
    double bottom = 0;
    std::int64_t lowest = 0; // the pixel at the bottom
};

class Flow {
public:
    Flow(int rows, int columns, const tolvane::Levels &levels)
        : rows_(rows), columns_(columns), n_(static_cast<std::int64_t>(rows) * columns), lowest_(levels.lowest),
          highest_(levels.highest), interval_(levels.interval), flood_(rows, columns, levels)
    {
    }

    // The pixels with a value on the grid's edge or beside a pixel without.
    std::vector<std::int64_t> edges(const std::vector<double> &z) const
    {
        std::vector<std::int64_t> e;
        for (int r = 0; r < rows_; r++)
            for (int c = 0; c < columns_; c++) {
                const std::int64_t k = static_cast<std::int64_t>(r) * columns_ + c;
                if (std::isnan(z[k]))
                    continue;
                bool edge = r == 0 || c == 0 || r == rows_ - 1 || c == columns_ - 1;
                for (int d = 0; d < 8 && !edge; d++)
                    edge = std::isnan(z[k + DR[d] * columns_ + DC[d]]);
                if (edge)
                    e.push_back(k);
            }
        return e;
    }

    // The flood without `above` of `pixels` alone (PriorityFlood::flood_pixels).
    void flood_pixels(const std::vector<std::int64_t> &pixels, std::vector<double> &z,
                      const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &parent,
                      std::vector<std::uint32_t> &turn) const
    {
        flood_.flood_pixels(pixels, z, outlets, parent, turn);
    }

    // The flood without `above`, of the pixels it moves and those around (PriorityFlood::fill).
    void fill(std::vector<double> &z, const std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &parent) const
    {
        flood_.fill(z, outlets, parent);
    }

    // The flood with `above` and no parents, of the pixels it moves (PriorityFlood::rise).
    void rise(std::vector<double> &z, const std::vector<std::int64_t> &outlets, const Above &above) const
    {
        flood_.rise(z, outlets, above);
    }

    // The sets of pixels `filled` raised above `z`, each in the order a
    // search from its first pixel on the grid meets them; with `among`
    // (pixels in the grid's order, those `filled` may raise), searched from
    // those only.
    std::vector<Depression> depressions(const std::vector<double> &z, const std::vector<double> &filled,
                                        const std::vector<std::int64_t> *among = nullptr) const
    {
        std::vector<Depression> found;
        std::vector<std::uint8_t> seen(static_cast<std::size_t>(n_), 0);
        std::vector<std::int64_t> stack;
        const std::int64_t starts = among ? static_cast<std::int64_t>(among->size()) : n_;
        for (std::int64_t i = 0; i < starts; i++) {
            const std::int64_t k = among ? (*among)[static_cast<std::size_t>(i)] : i;
            if (seen[k] || !(filled[k] > z[k]))
                continue;
            Depression p;
            p.spill = filled[k];
            p.bottom = z[k];
            p.lowest = k;
            seen[k] = 1;
            stack.assign(1, k);
            while (!stack.empty()) {
                const std::int64_t c = stack.back();
                stack.pop_back();
                p.cells.push_back(c);
                if (z[c] < p.bottom || (z[c] == p.bottom && c < p.lowest)) {
                    p.bottom = z[c];
                    p.lowest = c;
                }
                each_neighbour(c, [&](int, std::int64_t m) {
                    if (!seen[m] && filled[m] > z[m]) {
                        seen[m] = 1;
                        stack.push_back(m);
                    }
                });
            }
            found.push_back(std::move(p));
        }
        return found;
    }

    bool deep(const Depression &p) const { return p.spill - p.bottom > DEEP * interval_; }

    // A level of the table from the bottom up to the spill level: the lines
    // close a ring around the depression whose inside is lower. A spill below
    // the level is a way out of the depression below it, so no ring of that
    // level closes around it on the grid (a rim read low, a narrow valley's
    // floor, a fjord's pixels beside the sea's).
    bool supported(const Depression &p) const
    {
        const double level = first_level(p);
        return level <= highest_ && level <= p.spill;
    }

    // The first level of the table at or above a depression's bottom.
    double first_level(const Depression &p) const
    {
        const double level = lowest_ + interval_ * std::ceil((p.bottom - lowest_) / interval_);
        return std::max(level, static_cast<double>(lowest_));
    }

    // The outermost ring of a supported depression: the highest level at or
    // below its spill level, or less than a tenth of the interval above it (a
    // rim the pixels read low, as a crater's rim ring that only its pixels'
    // corners reach, the flanks falling away on both sides).
    double ring(const Depression &p) const
    {
        const double level = lowest_ + interval_ * std::floor((p.spill + DEEP * interval_ - lowest_) / interval_);
        return std::min(level, highest_);
    }

    double interval() const { return interval_; }

    // The next level above v (of the table's steps, past its ends too).
    double next_level(double v) const { return lowest_ + interval_ * (std::floor((v - lowest_) / interval_) + 1); }

    // Whether v and w lie strictly inside one band (no level from one to the other).
    bool one_band(double v, double w) const
    {
        const double lo = std::min(v, w), hi = std::max(v, w);
        return next_level(lo) > hi && std::floor((lo - lowest_) / interval_) * interval_ + lowest_ < lo;
    }

    // The pixel one step from k in direction d.
    std::int64_t step(std::int64_t k, std::uint8_t d) const { return k + DR[d] * columns_ + DC[d]; }

    std::int64_t size() const { return n_; }
    int columns() const { return columns_; }

    // f(d, m) for each neighbour m of pixel k on the grid, d its direction.
    template <class F> void each_neighbour(std::int64_t k, F &&f) const
    {
        const int r = static_cast<int>(k / columns_), c = static_cast<int>(k % columns_);
        for (int d = 0; d < 8; d++) {
            const int nr = r + DR[d], nc = c + DC[d];
            if (nr >= 0 && nc >= 0 && nr < rows_ && nc < columns_)
                f(d, static_cast<std::int64_t>(nr) * columns_ + nc);
        }
    }

    // The table's lowest level.
    double lowest() const { return lowest_; }

private:
    int rows_, columns_;
    std::int64_t n_;
    double lowest_, highest_, interval_;
    mutable PriorityFlood flood_; // its buffers kept from one round to the next
};

// For each depression, whether a stream leaves it: a pixel of a stream inside
// it followed by one outside.
std::vector<std::uint8_t> left_by_streams(const std::vector<Depression> &found, std::int64_t size,
                                          const std::vector<std::vector<std::int64_t>> &streams)
{
    std::vector<std::uint8_t> left(found.size(), 0);
    if (streams.empty())
        return left;
    std::vector<std::int32_t> in(static_cast<std::size_t>(size), -1);
    for (std::size_t i = 0; i < found.size(); i++)
        for (std::int64_t k : found[i].cells)
            in[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(i);
    for (const std::vector<std::int64_t> &path : streams)
        for (std::size_t i = 0; i + 1 < path.size(); i++) {
            const std::int32_t from = in[static_cast<std::size_t>(path[i])];
            if (from >= 0 && in[static_cast<std::size_t>(path[i + 1])] != from)
                left[static_cast<std::size_t>(from)] = 1;
        }
    return left;
}

// The water a pit ring holds above its level: the band around the ring
// closed by a rise higher than the level (the surface's saddle across the
// band, which no line places), or the band's pixels beside a ring narrower than
// them. The lines show the pit below the ring, not a lake above it. When that
// water is deeper than a tenth of the interval, or makes deep a pit shallower
// than that below its ring, a trench along the flood's path out lets it out:
// from the first pixel above the trench's level to the first pixel outside the
// depression no higher (or the grid's edge), at the ring's level or half a
// tenth above the bottom of a shallow pit (which then does not count, with
// room for the flat's rise along the trench). It is cut only where it lowers
// no pixel by more than a quarter of the interval (for a ring of the table's
// lowest level whose trench leads out of the model: no pixel out of its band),
// cuts no spot height nor kept pit, and moves no more metres than the water it
// lets out; else the depression stays whole. `mark` (all 0) flags the
// depression's pixels while the trench is sought. `outward` flags the pixels
// whose water such a trench from a ring of the lowest level led out of the
// model, its depression's and its own: a trench ending there leads out too,
// as from one ring to the next down a valley. Returns the trench's level, NaN
// for none, and adds the pixels it lowered to `cut`.
double drain_above_ring(const Flow &g, std::vector<double> &cells, const Depression &p,
                        const std::vector<std::uint8_t> &parent, const std::vector<std::uint8_t> &kept,
                        const std::vector<std::uint8_t> &held, std::vector<std::uint8_t> &mark,
                        std::vector<std::uint8_t> &outward, std::vector<std::int64_t> &cut)
{
    const double ring = g.ring(p);
    if (p.spill - ring <= DEEP * g.interval() && (ring - p.bottom > DEEP * g.interval() || p.spill <= ring))
        return NAN;
    const double top = std::max(ring, p.bottom + DEEP * g.interval() / 2);
    if (top >= p.spill)
        return NAN;
    double water = 0;
    for (std::int64_t k : p.cells) {
        water += p.spill - std::max(cells[k], top);
        mark[k] = 1;
    }
    // Lowered by at most a quarter of the interval, so that the trench
    // stays in the lowest third of the band above the ring, away from the
    // next line up: a saddle between the ring and another line of its level
    // lies near that level, but the surface draws the band between them
    // toward the next line as far as the band is wide. A deeper trench
    // would be a valley that no line shows.
    // But for a ring of the table's lowest level whose trench runs within its
    // band out of the model: no line lies below that level to show where a
    // valley's floor sinks under it, so the lowest lines along a river are
    // rings strung down its floor, and the band between the next lines up is
    // the valley they show, its water leaving the map. The surface, drawing
    // that band toward the next lines, would make each ring a pit that holds
    // the valley's water. Ending on lower ground instead (a sea below the
    // lowest line, a pit holding its water) the water has its own way down
    // there, and the pit the ring holds may be real; but lower ground such a
    // trench already led out (the next ring down the valley) leads out too.
    const bool lowest = ring <= g.lowest();
    std::vector<std::int64_t> trench;
    double moved = 0;
    bool within = true, deep = false, out_of_model = false;
    for (std::int64_t k = p.lowest; within;) {
        if (parent[k] == NO_PARENT) { // an outlet: the grid's edge drains the trench, a kept pit not
            within = !kept[k] || (lowest && outward[k]);
            out_of_model = within;
            break;
        }
        k = g.step(k, parent[k]);
        if (cells[k] <= top) {
            if (!mark[k]) {
                out_of_model = outward[k] != 0;
                break;
            }
            continue; // inside the ring
        }
        moved += cells[k] - top;
        const bool deeper = cells[k] - top > TRENCH * g.interval();
        deep = deep || deeper;
        within = (!deeper || (lowest && cells[k] < g.next_level(ring))) && !held[k] && !kept[k] && moved <= water;
        trench.push_back(k);
    }
    within = within && (!deep || out_of_model);
    for (std::int64_t k : p.cells)
        mark[k] = 0;
    if (!within)
        return NAN;
    for (std::int64_t k : trench)
        cells[k] = top;
    cut.insert(cut.end(), trench.begin(), trench.end());
    if (lowest && out_of_model) {
        for (std::int64_t k : p.cells)
            outward[k] = 1;
        for (std::int64_t k : trench)
            outward[k] = 1;
    }
    return top;
}

// The lines that close on themselves, by level, to tell whether one of them
// holds a pixel.
class Rings {
public:
    Rings(const std::vector<ClosedLine> *closed, int columns) : known_(closed != nullptr), columns_(columns)
    {
        if (!closed)
            return;
        for (const ClosedLine &l : *closed) {
            if (l.rows.empty())
                continue;
            Box b{&l, *std::min_element(l.rows.begin(), l.rows.end()), *std::max_element(l.rows.begin(), l.rows.end()),
                  *std::min_element(l.columns.begin(), l.columns.end()),
                  *std::max_element(l.columns.begin(), l.columns.end())};
            by_level_[l.level].push_back(b);
        }
    }

    // Whether the lines are known (else every ring the pixels show counts).
    bool known() const { return known_; }

    // Whether a line of `level` that closes on itself holds pixel k's centre.
    bool holds(double level, std::int64_t k) const
    {
        const auto found = by_level_.find(level);
        if (found == by_level_.end())
            return false;
        const double r = static_cast<double>(k / columns_) + 0.5, c = static_cast<double>(k % columns_) + 0.5;
        for (const Box &b : found->second) {
            if (r < b.r0 || r > b.r1 || c < b.c0 || c > b.c1)
                continue;
            bool in = false;
            const std::vector<double> &y = b.line->rows, &x = b.line->columns;
            for (std::size_t i = 0, j = y.size() - 1; i < y.size(); j = i++)
                if ((y[i] > r) != (y[j] > r) && c < (x[j] - x[i]) * (r - y[i]) / (y[j] - y[i]) + x[i])
                    in = !in;
            if (in)
                return true;
        }
        return false;
    }

private:
    struct Box {
        const ClosedLine *line;
        double r0, r1, c0, c1;
    };
    bool known_;
    std::int64_t columns_;
    std::map<double, std::vector<Box>> by_level_;
};

// The pixels a round floods again, and why that is enough. A pixel's level
// is the lowest at which water leaves it, max(its value, its lowest
// neighbour's level): one the flood did not raise keeps its value's. Adding a
// kept depression's bottom to the outlets lowers only the depression's
// pixels; a trench lowers its own pixels and so the depressions beside it,
// whose rims it cuts: no other pixel's level moves. So the next round floods
// only those (`inside`), and the rest of the grid keeps its levels and its
// depressions, already judged; the pixels around them (`around`) are flooded
// with them as outlets at their own level, which is theirs too.
// The flood takes the pixels level by level, lowest first, a pixel met at its
// neighbour's level (a flat's) at once after that one, and meets each from
// the neighbour it takes first. While every pixel around keeps its turn in
// the queue (met from a lower neighbour, before and after), the pixels inside
// are taken in the order of that flood, and every pixel outside at its turn
// as before, and so keeps its parent, but those around, whose first
// neighbour taken may now lie inside (around_parents). Where the levels
// cannot tell that (a pixel around met at its neighbour's level, before or
// now, or whose lowest neighbours inside and outside share a level and the
// flats they lie on leave their order untold), the flats there join the
// pixels inside, a few times over. Where that does not tell it either, a
// round that cut trenches floods the whole grid instead, whose paths out of
// the next round's depressions may run beyond the pixels inside; any other
// round's depressions lie inside those kept before, and their paths out too,
// and the last flood, of the whole grid, sets the parents. A trench cut in a
// round of a part makes the next round whole: that round did not find the
// depressions judged before, whose rims the trench may cut.
struct Reflood {
    bool whole = true;                 // the next round floods every pixel
    std::vector<std::uint8_t> inside;  // else these (1), the pixels whose levels may move
    bool cut = false;                  // some of them lowered by a trench
};

// The parents the whole grid's flood gives the pixels `around` those
// `inside` marks, whose levels were `filled` (the rest's too) and are now
// `part`, as a flood of them with the pixels around as outlets took them in
// the order `turn`; false where the levels cannot tell them (see Reflood),
// with the pixels in `widen` whose flats, flooded with those inside, would
// tell them.
bool around_parents(const Flow &g, const std::vector<double> &cells, const std::vector<double> &filled,
                    const std::vector<double> &part, const std::vector<std::uint8_t> &inside,
                    const std::vector<std::uint8_t> &from, const std::vector<std::uint32_t> &turn,
                    const std::vector<std::int64_t> &around, std::vector<std::uint8_t> &parent,
                    std::vector<std::int64_t> &widen)
{
    widen.clear();
    std::vector<std::pair<std::int64_t, std::uint8_t>> changed;
    // A pixel's level now, and whether the flood takes it from the queue at
    // its own turn, its level and its index (met from a lower neighbour).
    const auto level = [&](std::int64_t m) { return inside[m] ? part[m] : filled[m]; };
    const auto taken_at_turn = [&](std::int64_t m) {
        double lowest = INFINITY;
        g.each_neighbour(m, [&](int, std::int64_t n) {
            if (!std::isnan(cells[n]))
                lowest = std::min(lowest, level(n));
        });
        return cells[m] > lowest;
    };
    // When the flood takes pixel m inside: after the pixel whose turn in the
    // queue started the flat that holds it (its index first), at its turn
    // among that flat's; -1 for a start the levels do not tell.
    const auto in_queue = [&](std::int64_t m) {
        std::int64_t start = m;
        while (inside[start] && from[start] != NO_PARENT && !taken_at_turn(start))
            start = g.step(start, from[start]);
        const bool told = (inside[start] && from[start] == NO_PARENT) || taken_at_turn(start);
        return std::make_pair(told ? start : std::int64_t{-1}, turn[m]);
    };
    for (std::int64_t k : around) {
        if (parent[k] == NO_PARENT) // an outlet
            continue;
        double was = INFINITY, now = INFINITY, outside = INFINITY;
        std::uint32_t first = NO_TURN;
        int from_inside = -1;
        g.each_neighbour(k, [&](int d, std::int64_t m) {
            if (std::isnan(cells[m]))
                return;
            was = std::min(was, filled[m]);
            now = std::min(now, level(m));
            if (!inside[m]) {
                outside = std::min(outside, filled[m]);
            } else if (turn[m] < first) {
                first = turn[m];
                from_inside = d;
            }
        });
        if (from_inside < 0) { // a pixel inside never reached: no widening tells it
            widen.clear();
            return false;
        }
        const double in = part[g.step(k, static_cast<std::uint8_t>(from_inside))];
        if (cells[k] <= was || cells[k] <= now) { // met at a flat's level, before or now
            widen.push_back(k);
            continue;
        }
        if (in == outside) { // the first of those at that level
            int first_of_all = -1;
            std::pair<std::int64_t, std::uint32_t> least{0, 0};
            bool told = true;
            g.each_neighbour(k, [&](int d, std::int64_t m) {
                if (!told || std::isnan(cells[m]) || level(m) != in)
                    return;
                const auto at = inside[m] ? in_queue(m) : std::make_pair(taken_at_turn(m) ? m : -1, turn[m]);
                told = at.first >= 0;
                if (told && (first_of_all < 0 || at < least)) {
                    least = at;
                    first_of_all = d;
                }
            });
            if (!told) {
                widen.push_back(k);
                g.each_neighbour(k, [&](int, std::int64_t m) {
                    if (!inside[m] && !std::isnan(cells[m]) && level(m) == in)
                        widen.push_back(m);
                });
                continue;
            }
            changed.emplace_back(k, static_cast<std::uint8_t>(first_of_all));
        } else if (in < outside) {
            changed.emplace_back(k, static_cast<std::uint8_t>(from_inside));
        }
    }
    if (!widen.empty())
        return false;
    for (const auto &[k, d] : changed)
        parent[k] = d;
    return true;
}

// The pixels outside `inside` at the level of each of `widen`, joined to it
// through pixels of that level (its flat), marked inside; false once the
// pixels inside pass a quarter of the grid.
bool widen_by_flats(const Flow &g, const std::vector<double> &cells, const std::vector<double> &filled,
                    const std::vector<std::int64_t> &widen, std::vector<std::uint8_t> &inside, std::int64_t &count)
{
    std::vector<std::int64_t> stack;
    for (std::int64_t a : widen) {
        if (inside[a])
            continue;
        const double level = filled[a];
        inside[a] = 1;
        count++;
        stack.assign(1, a);
        while (!stack.empty()) {
            const std::int64_t c = stack.back();
            stack.pop_back();
            g.each_neighbour(c, [&](int, std::int64_t m) {
                if (!inside[m] && !std::isnan(cells[m]) && filled[m] == level) {
                    inside[m] = 1;
                    count++;
                    stack.push_back(m);
                }
            });
        }
        if (count > g.size() / 4)
            return false;
    }
    return true;
}

// The whole grid's buffers of the rounds that flood a part, kept from one
// round to the next: a pixel of no part has no value and no turn there, and a
// round puts back those it gave its part, so that it costs little more than
// passes over its part.
struct PartFlood {
    std::vector<double> part;
    std::vector<std::uint32_t> turn;
    std::vector<std::uint8_t> from; // read at the part's pixels only

    void ready(std::size_t size)
    {
        if (part.size() != size) {
            part.assign(size, NAN);
            turn.assign(size, NO_TURN);
            from.assign(size, NO_PARENT);
        }
    }
    void clear(const std::vector<std::int64_t> &pixels)
    {
        for (std::int64_t k : pixels) {
            part[k] = NAN;
            turn[k] = NO_TURN;
        }
    }
};

// One round's flood: of the whole grid, or of the pixels `again` marks only
// (their levels and parents in `filled` and `parent` replaced, the rest kept,
// and the parents around them as the whole grid's flood gives them where
// around_parents tells them). Returns the depressions the flood found there.
// `exact` stays (or becomes, after a whole grid's flood) true while `parent`
// is the whole grid's flood's.
std::vector<Depression> flood_round(const Flow &g, const std::vector<double> &cells, const Reflood &again,
                                    const std::vector<std::int64_t> &outlets, std::vector<double> &filled,
                                    std::vector<std::uint8_t> &parent, bool &exact, PartFlood &buffers)
{
    const auto whole = [&] {
        filled = cells;
        g.fill(filled, outlets, parent);
        exact = true;
        return g.depressions(cells, filled);
    };
    if (again.whole)
        return whole();
    // The pixels neither inside nor around have no value here: never met, as
    // in the whole grid's flood, where they leave the queue after them. Where
    // the parents around cannot be told, the flats there join those inside
    // (their levels stay, their order is the flood's), a few times.
    constexpr int WIDENINGS = 4;
    std::vector<std::uint8_t> inside = again.inside;
    std::int64_t count = std::count(inside.begin(), inside.end(), std::uint8_t{1});
    buffers.ready(cells.size());
    std::vector<double> &part = buffers.part;
    std::vector<std::int64_t> pixels, around, widen; // pixels: those inside in the grid's order, then around
    bool told = false;
    for (int widening = 0; widening <= WIDENINGS; widening++) {
        buffers.clear(pixels);
        pixels.clear();
        around.clear();
        for (std::int64_t k = 0; k < g.size(); k++)
            if (inside[k]) {
                part[k] = cells[k];
                pixels.push_back(k);
            }
        for (std::size_t e = 0, in = pixels.size(); e < in; e++)
            g.each_neighbour(pixels[e], [&](int, std::int64_t m) {
                if (!inside[m] && std::isnan(part[m]) && !std::isnan(cells[m])) {
                    part[m] = cells[m];
                    around.push_back(m);
                }
            });
        pixels.insert(pixels.end(), around.begin(), around.end());
        std::vector<std::int64_t> from_all = outlets;
        from_all.insert(from_all.end(), around.begin(), around.end());
        g.flood_pixels(pixels, part, from_all, buffers.from, buffers.turn);
        told = around_parents(g, cells, filled, part, inside, buffers.from, buffers.turn, around, parent, widen);
        if (told || widen.empty() || widening == WIDENINGS)
            break;
        std::vector<std::uint8_t> wider = inside;
        if (!widen_by_flats(g, cells, filled, widen, wider, count))
            break;
        inside = std::move(wider);
    }
    if (!told && again.cut) {
        buffers.clear(pixels);
        return whole();
    }
    exact = exact && told;
    const std::vector<std::int64_t> flooded(pixels.begin(), pixels.end() - static_cast<std::ptrdiff_t>(around.size()));
    for (std::int64_t k : flooded) {
        filled[k] = part[k];
        parent[k] = buffers.from[k];
    }
    for (std::int64_t k : around)
        part[k] = NAN; // no depression of this round
    std::vector<Depression> found = g.depressions(cells, part, &flooded);
    buffers.clear(pixels);
    return found;
}

// The trenches' pixels `cut` and the depressions among `found` beside them
// or through them, whose rims they lower, marked for the next round.
void flood_beside_trenches(const Flow &g, const std::vector<Depression> &found, const std::vector<std::int64_t> &cut,
                           Reflood &next)
{
    std::vector<std::uint8_t> near(static_cast<std::size_t>(g.size()), 0);
    for (std::int64_t k : cut) {
        next.inside[static_cast<std::size_t>(k)] = 1;
        near[static_cast<std::size_t>(k)] = 1;
        g.each_neighbour(k, [&](int, std::int64_t m) { near[static_cast<std::size_t>(m)] = 1; });
    }
    for (const Depression &p : found)
        if (std::any_of(p.cells.begin(), p.cells.end(), [&](std::int64_t k) { return near[k] != 0; }))
            for (std::int64_t k : p.cells)
                next.inside[static_cast<std::size_t>(k)] = 1;
    next.cut = true;
}

// The depressions the lines support, outermost first: each kept one's bottom
// drains the flood from then on, and what it holds is judged again. Leaves in
// `filled` and `parent` the flood from every outlet, the kept pits' too.
// A depression a stream leaves is no pit, whatever ring of the lines closes
// around it: the map says its water runs out along the stream (the ring is a
// level the valley's floor only grazes, or a rim the aggregation blurred).
// A pit ring's water above its level is let out first (drain_above_ring).
void keep_supported_pits(const Flow &g, std::vector<double> &cells, const std::vector<std::uint8_t> &held,
                         const std::vector<std::vector<std::int64_t>> &streams, const Rings &rings,
                         std::vector<std::int64_t> &outlets, std::vector<std::uint8_t> &kept,
                         std::vector<double> &filled, std::vector<std::uint8_t> &parent, Drained &out,
                         bool whole_rounds)
{
    // A ring the lines close: a line of the ring's level closes around the
    // bottom. Asked of a depression within one level only (its first level
    // above the bottom is its ring): one whose open lines of several levels
    // all end on the footprint's edge is a valley running on beyond the data
    // (into a lake the data leaves out), which a fill would bury under many
    // intervals; its pixels' rings keep it.
    const auto closed = [&](const Depression &p) {
        return !rings.known() || g.first_level(p) < g.ring(p) || rings.holds(g.ring(p), p.lowest);
    };
    const auto holds_spot = [&held](const Depression &p) {
        return std::any_of(p.cells.begin(), p.cells.end(), [&held](std::int64_t k) { return held[k] != 0; });
    };
    std::vector<std::uint8_t> mark(static_cast<std::size_t>(g.size()), 0), outward(mark);
    Reflood again, next;
    PartFlood buffers;
    bool more = true, exact = true; // exact: `parent` is the whole grid's flood's
    for (int round = 0; round < NESTING && more; round++) {
        const std::vector<Depression> found = flood_round(g, cells, again, outlets, filled, parent, exact, buffers);
        more = false;
        next.whole = whole_rounds;
        next.cut = false;
        if (!next.whole)
            next.inside.assign(static_cast<std::size_t>(g.size()), 0);
        std::vector<std::int64_t> cut;
        const std::vector<std::uint8_t> left = left_by_streams(found, g.size(), streams);
        for (std::size_t i = 0; i < found.size(); i++) {
            const Depression &p = found[i];
            // The ring the pixels show still bounds the water a spot height's
            // pit holds above it, whether or not a line closes it.
            const bool shown = g.deep(p) && g.supported(p) && !left[i];
            const bool ring = shown && closed(p);
            if (!ring && !holds_spot(p))
                continue;
            const double trench = shown ? drain_above_ring(g, cells, p, parent, kept, held, mark, outward, cut) : NAN;
            const bool trenched = !std::isnan(trench);
            const double top = trenched ? trench : p.spill;
            outlets.push_back(p.lowest);
            for (std::int64_t k : p.cells)
                kept[k] = kept[k] || cells[k] < top;
            out.kept++;
            out.carved += trenched;
            more = true;
            if (!next.whole)
                for (std::int64_t k : p.cells)
                    next.inside[static_cast<std::size_t>(k)] = 1;
        }
        // A trench in a round of a part could lower the rim of a depression
        // judged before, which that round did not find: the whole grid then.
        if (!next.whole && !cut.empty()) {
            if (again.whole)
                flood_beside_trenches(g, found, cut, next);
            else
                next.whole = true;
        }
        std::swap(again, next);
        step_done("drainage: pits");
    }
    // The last round kept pits, or a round of a part left parents around the
    // depressions it flooded untold: flood the whole grid from them all.
    if (more || !exact) {
        filled = cells;
        g.fill(filled, outlets, parent);
        step_done("drainage: flood");
    }
}

// Each depression left drained at the level that moves its pixels least:
// filled up to that level, and a trench along the flood's path out of it
// lowered to it, down to the first pixel outside no higher. The level runs
// from the bottom (a trench alone) to the spill level (a fill alone); the
// squares of the moves are weighed, so that a few pixels cut metres deep
// (a valley no line shows) cost more than many raised a little. A trench
// stays within the depression's band, cuts no spot height and drains to the
// grid's edge or lower ground, never into a kept pit.
void carve(const Flow &g, std::vector<double> &cells, const std::vector<double> &before,
           const std::vector<double> &filled, const std::vector<std::uint8_t> &parent,
           const std::vector<std::uint8_t> &kept, const std::vector<std::uint8_t> &held, Drained &out)
{
    // The levels tried, as shares of the depth from the bottom up.
    constexpr int STEPS = 32;
    std::vector<std::uint8_t> mark(static_cast<std::size_t>(g.size()), 0);
    std::vector<std::int64_t> path;
    for (const Depression &p : g.depressions(before, filled)) {
        for (std::int64_t k : p.cells)
            mark[k] = 1;
        // The path out, as far as a trench to the bottom would go.
        path.clear();
        bool to_pit = false;
        for (std::int64_t k = p.lowest;;) {
            if (parent[k] == NO_PARENT) { // an outlet: the grid's edge drains the trench, a kept pit not
                to_pit = kept[k] != 0;
                break;
            }
            k = g.step(k, parent[k]);
            path.push_back(k);
            if (!mark[k] && cells[k] <= p.bottom)
                break;
        }
        double best = p.spill, least = INFINITY;
        for (int s = 0; s <= STEPS; s++) {
            const double h = s == STEPS ? p.spill : p.bottom + (p.spill - p.bottom) * s / STEPS;
            double cost = 0;
            for (std::int64_t k : p.cells)
                if (cells[k] < h)
                    cost += (h - cells[k]) * (h - cells[k]);
            bool within = true, out_of_it = false;
            for (std::int64_t k : path) {
                if (!mark[k] && cells[k] <= h) {
                    out_of_it = true;
                    break;
                }
                if (cells[k] > h) {
                    within = g.one_band(h, cells[k]) && !held[k];
                    cost += (cells[k] - h) * (cells[k] - h);
                }
                if (!within || cost >= least)
                    break;
            }
            if (within && (out_of_it || !to_pit) && cost < least) {
                least = cost;
                best = h;
            }
        }
        bool carved = false;
        for (std::int64_t k : path) {
            if (!mark[k] && cells[k] <= best)
                break;
            if (cells[k] > best) {
                cells[k] = best;
                carved = true;
            }
        }
        for (std::int64_t k : p.cells)
            mark[k] = 0;
        if (g.deep(p))
            (carved ? out.carved : out.filled)++;
    }
    step_done("drainage: carve");
}

// The pixels moved by more than a thousandth of the interval, the largest
// move, and the pixels of the pits kept.
void count_moves(const std::vector<double> &cells, const std::vector<double> &before,
                 const std::vector<std::uint8_t> &kept, double interval, Drained &out)
{
    const double moved = interval / 1000.0;
    for (std::size_t k = 0; k < cells.size(); k++) {
        if (std::isnan(cells[k]))
            continue;
        const double change = std::abs(cells[k] - before[k]);
        out.moved += change >= moved;
        out.most = std::max(out.most, change);
        out.kept_pixels += kept[k];
    }
}

// The ground around the streams' heads, moved pixel by pixel in D8 within
// the bounds of a stream's pixels: at most a tenth of the interval below the
// band each was in, never a spot height's or a lake's pixel.
class HeadGround {
public:
    HeadGround(std::vector<double> &cells, int rows, int columns, const tolvane::Levels &levels,
               const std::vector<std::int32_t> &owner, const std::vector<double> &before,
               const std::vector<std::uint8_t> &held)
        : cells_(cells), rows_(rows), columns_(columns), levels_(levels), owner_(owner), before_(before), held_(held),
          fall_(levels.interval / 1000)
    {
    }

    // Whether h, the first pixel of stream `stream`, is a source: no other
    // stream's pixel lies on or beside it.
    bool is_source(std::int64_t h, std::int32_t stream) const
    {
        for (int d = 0; d < 8; d++)
            if (inside(h, d) && owner_[index(at(h, d))] != -1 && owner_[index(at(h, d))] != stream)
                return false;
        return true;
    }

    // k lowered to be the steepest way down from each pixel around it off the
    // streams and not beside `down` (the next pixel down its stream), no
    // lower than a tenth of the interval below its band. Whether it moved.
    bool gather(std::int64_t k, std::int64_t down)
    {
        double v = z(k);
        for (int d = 0; d < 8; d++) {
            if (!inside(k, d))
                continue;
            const std::int64_t m = at(k, d);
            if (owner_[index(m)] != -1 || std::isnan(z(m)) || touch(m, down))
                continue;
            // The steepest drop from m to any other neighbour, per unit of distance.
            double steepest = 0;
            for (int e = 0; e < 8; e++)
                if (inside(m, e) && at(m, e) != k && !std::isnan(z(at(m, e))))
                    steepest = std::max(steepest, (z(m) - z(at(m, e))) / length(e));
            v = std::min(v, z(m) - length(d) * steepest - fall_);
        }
        v = std::max(v, floor_of_band(k));
        if (v < z(k)) {
            cells_[index(k)] = v;
            return true;
        }
        return false;
    }

    // The pixels up to WIDE steps from the head on its upstream side (nearer
    // to it than to the stream's later pixels), off the streams and not beside
    // one, made to drain into it through the pixels between: the hollow a
    // source gathers is wider than the pixels that touch it, and the lines
    // often tilt its upper part toward a neighbour's valley. Each pixel on the
    // way is lowered so that it is the steepest way down from the one before,
    // and the head again below the last; where their bounds (lowest) do not
    // allow it, none moves. Whether any moved.
    bool widen(const std::vector<std::int64_t> &path)
    {
        const std::int64_t h = path[0];
        bool changed = false;
        for (int ring = 2; ring <= WIDE; ring++)
            for (int dr = -ring; dr <= ring; dr++)
                for (int dc = -ring; dc <= ring; dc++) {
                    if (std::max(std::abs(dr), std::abs(dc)) != ring)
                        continue;
                    const std::int64_t mr = h / columns_ + dr, mc = h % columns_ + dc;
                    if (mr < 0 || mc < 0 || mr >= rows_ || mc >= columns_)
                        continue;
                    const std::int64_t m = mr * columns_ + mc;
                    if (!in_hollow(path, m) || reaches(m, h, ring))
                        continue;
                    const std::int64_t entry = entry_toward(path, m, ring);
                    changed |= entry != -1 && lead(path, m, entry, ring);
                }
        return changed;
    }

private:
    std::size_t index(std::int64_t k) const { return static_cast<std::size_t>(k); }
    double z(std::int64_t k) const { return cells_[index(k)]; }
    std::int64_t at(std::int64_t k, int d) const { return k + DR[d] * columns_ + DC[d]; }
    bool inside(std::int64_t k, int d) const
    {
        const std::int64_t r = k / columns_ + DR[d], c = k % columns_ + DC[d];
        return r >= 0 && c >= 0 && r < rows_ && c < columns_;
    }
    static double length(int d) { return d8_length(d); }
    bool touch(std::int64_t a, std::int64_t b) const
    {
        return std::abs(a / columns_ - b / columns_) <= 1 && std::abs(a % columns_ - b % columns_) <= 1;
    }
    static int ring_of(std::int64_t dr, std::int64_t dc) { return static_cast<int>(std::max(std::abs(dr), std::abs(dc))); }

    double floor_of_band(std::int64_t k) const { return band_floor(before_[index(k)], levels_); }
    // The lowest a pixel of a head's hollow may go: that floor, and HOLLOW of
    // the interval below where it was.
    double lowest(std::int64_t k) const
    {
        return std::max(floor_of_band(k), before_[index(k)] - HOLLOW * levels_.interval);
    }

    // The neighbour D8 water from m steps to (the steepest drop over the
    // distance), -1 for none lower.
    std::int64_t downhill(std::int64_t m) const
    {
        double best = 0;
        std::int64_t to = -1;
        for (int d = 0; d < 8; d++)
            if (inside(m, d) && !std::isnan(z(at(m, d))) && (z(m) - z(at(m, d))) / length(d) > best) {
                best = (z(m) - z(at(m, d))) / length(d);
                to = at(m, d);
            }
        return to;
    }
    // Whether D8 water from m reaches the head h within `steps` steps.
    bool reaches(std::int64_t m, std::int64_t h, int steps) const
    {
        for (int s = 0; s < steps && m != -1; s++) {
            m = downhill(m);
            if (m == h)
                return true;
        }
        return false;
    }
    // The steepest drop per unit of distance from m to a neighbour whose water
    // does not reach the head h.
    double rival(std::int64_t m, std::int64_t h, int steps) const
    {
        double most = 0;
        for (int e = 0; e < 8; e++) {
            if (!inside(m, e))
                continue;
            const std::int64_t q = at(m, e);
            if (!std::isnan(z(q)) && q != h && !reaches(q, h, steps))
                most = std::max(most, (z(m) - z(q)) / length(e));
        }
        return most;
    }

    // Whether m is of the hollow above the head of `path`: a pixel with a
    // value, off the streams and beside none, nearer the head than the
    // stream's next pixels.
    bool in_hollow(const std::vector<std::int64_t> &path, std::int64_t m) const
    {
        if (std::isnan(z(m)) || owner_[index(m)] != -1)
            return false;
        const std::int64_t mr = m / columns_, mc = m % columns_;
        const std::int64_t dr = path[0] / columns_ - mr, dc = path[0] % columns_ - mc;
        for (std::size_t j = 1; j < path.size() && j < 4 + 2 * WIDE; j++) {
            const std::int64_t pr = path[j] / columns_ - mr, pc = path[j] % columns_ - mc;
            if (pr * pr + pc * pc <= dr * dr + dc * dc)
                return false;
        }
        for (int d = 0; d < 8; d++)
            if (inside(m, d) && owner_[index(at(m, d))] != -1)
                return false;
        return true;
    }

    // The neighbour of m one step nearer the head (m `ring` steps from it)
    // whose water reaches the head and that needs the least lowering to take
    // m's; -1 for none within its bounds.
    std::int64_t entry_toward(const std::vector<std::int64_t> &path, std::int64_t m, int ring) const
    {
        const std::int64_t h = path[0], next = path[1];
        const double against = rival(m, h, ring);
        std::int64_t best = -1;
        double least = 0;
        for (int e = 0; e < 8; e++) {
            if (!inside(m, e))
                continue;
            const std::int64_t q = at(m, e);
            if (ring_of(q / columns_ - h / columns_, q % columns_ - h % columns_) != ring - 1 || owner_[index(q)] != -1 ||
                touch(q, next) || held_[index(q)] || std::isnan(z(q)) || !reaches(q, h, ring - 1))
                continue;
            const double v = std::min(z(q), z(m) - length(e) * against - fall_);
            if (v >= lowest(q) && (best == -1 || z(q) - v < least)) {
                best = q;
                least = z(q) - v;
            }
        }
        return best;
    }

    // m's water led into the head through `entry` and on along the way that
    // pixel's water runs now: each pixel on the way made the steepest way down
    // from the one before, the head gathered again. Put back whole, and
    // false, where a pixel's bounds do not allow it or the way no longer
    // reaches the head after.
    bool lead(const std::vector<std::int64_t> &path, std::int64_t m, std::int64_t entry, int ring)
    {
        const std::int64_t h = path[0];
        std::vector<std::int64_t> way{m};
        for (std::int64_t k = entry; k != h; k = downhill(k))
            way.push_back(k);
        way.push_back(h);
        std::vector<double> was;
        for (std::int64_t k : way)
            was.push_back(z(k));
        bool fits = true;
        for (std::size_t j = 1; j + 1 < way.size() && fits; j++) {
            const std::int64_t k = way[j], from = way[j - 1];
            const double v = std::min(z(k), z(from) - d8_length(k, from, columns_) * rival(from, h, ring) - fall_);
            fits = v >= lowest(k) && !held_[index(k)] && owner_[index(k)] == -1;
            if (fits)
                cells_[index(k)] = v;
        }
        if (fits)
            gather(h, path[1]);
        for (std::size_t j = 0; j + 1 < way.size() && fits; j++)
            fits = reaches(way[j], h, ring + 1);
        if (!fits)
            for (std::size_t j = 0; j < way.size(); j++)
                cells_[index(way[j])] = was[j];
        return fits;
    }

    std::vector<double> &cells_;
    const int rows_, columns_;
    const tolvane::Levels &levels_;
    const std::vector<std::int32_t> &owner_;
    const std::vector<double> &before_;
    const std::vector<std::uint8_t> &held_;
    const double fall_;
};

// Each stream's head (a first pixel no other stream's pixel lies on or
// beside: a source, not a reach that goes on from another stream) lowered so
// that it is the steepest way down (D8, the drop over the distance) from each
// pixel around it off the streams and not beside the stream's next pixel: the
// head is where its hollow's water gathers into the channel, and the lines,
// which place the hollow's divides only as far as their levels go, can draw
// the ground around a source sloping toward a neighbour's valley. A pixel
// beside the next one too drains there, the stream falling between them.
// The hollow above it is then led into it (HeadGround::widen). Bounded as the
// stream's other pixels. Returns whether a head or its hollow moved.
bool drain_heads(std::vector<double> &cells, int rows, int columns, const tolvane::Levels &levels,
                 const std::vector<std::vector<std::int64_t>> &streams, const std::vector<std::int32_t> &owner,
                 const std::vector<double> &before, const std::vector<std::uint8_t> &held)
{
    HeadGround ground(cells, rows, columns, levels, owner, before, held);
    bool moved = false;
    for (std::size_t i = 0; i < streams.size(); i++) {
        const std::vector<std::int64_t> &path = streams[i]; // a stream has two pixels or more
        if (held[static_cast<std::size_t>(path[0])] || !ground.is_source(path[0], static_cast<std::int32_t>(i)))
            continue;
        moved |= ground.gather(path[0], path[1]);
        moved |= ground.widen(path);
    }
    return moved;
}

// Each stream's pixels, downstream, made to drain along it: a pixel of a
// stream is lowered below the pixel before it and below that one's neighbours
// off the streams, and far enough that the step to it is the steepest way
// down from the pixel before (D8 over the eight neighbours, the drop over the
// distance), so that D8 flow from every stream pixel goes to the next one down
// its stream. A depression the flood filled or a flat it sloped would send the
// stream's water beside its trench (toward the flat's outlet by the shortest
// way); lowering the stream again through it leaves every pixel beside the
// trench draining into it. The pixels of other streams count only for the
// steepest way, not for "below": a stream beside another or past a confluence
// would otherwise deepen both in turn. A pixel a spot height or a lake sets stays. Lowering a
// pixel never closes a depression around another: only a stream's last pixel,
// or one held a tenth of the interval below its band, can end lower than all
// its neighbours, and the flood that follows fills it.
void drain_streams(std::vector<double> &cells, int rows, int columns, const tolvane::Levels &levels,
                   const std::vector<std::vector<std::int64_t>> &streams, const std::vector<std::uint8_t> &held)
{
    const double fall = levels.interval / 1000;
    const std::vector<double> before = cells;
    std::vector<std::uint8_t> on(cells.size(), 0);
    // The stream each pixel lies on, -2 for several.
    std::vector<std::int32_t> owner(cells.size(), -1);
    for (std::size_t i = 0; i < streams.size(); i++)
        for (std::int64_t k : streams[i]) {
            on[static_cast<std::size_t>(k)] = 1;
            std::int32_t &o = owner[static_cast<std::size_t>(k)];
            o = o == -1 || o == static_cast<std::int32_t>(i) ? static_cast<std::int32_t>(i) : -2;
        }
    // A stream lowered where another flows into it: that one drains again, in
    // the next round (a few, for the confluences one below another).
    constexpr int ROUNDS = 8;
    bool moved = true;
    for (int round = 0; round < ROUNDS && moved; round++) {
        moved = drain_heads(cells, rows, columns, levels, streams, owner, before, held);
        for (const std::vector<std::int64_t> &path : streams) {
            for (std::size_t i = 0; i + 1 < path.size(); i++) {
                const std::int64_t s = path[i], next = path[i + 1];
                if (held[static_cast<std::size_t>(next)])
                    continue;
                const int r = static_cast<int>(s / columns), c = static_cast<int>(s % columns);
                const double from = cells[static_cast<std::size_t>(s)];
                const double to_next = d8_length(s, next, columns);
                double v = from - fall;
                for (int d = 0; d < 8; d++) {
                    const int nr = r + DR[d], nc = c + DC[d];
                    if (nr < 0 || nc < 0 || nr >= rows || nc >= columns)
                        continue;
                    const auto m = static_cast<std::size_t>(static_cast<std::int64_t>(nr) * columns + nc);
                    if (static_cast<std::int64_t>(m) == next || std::isnan(cells[m]))
                        continue;
                    // The step to the next pixel the steepest of the eight, its drop over
                    // its length (a diagonal's the square root of two): beside a
                    // diagonal step a pixel a side away may fall less and still win, and
                    // a pixel of another stream beside this one (a tributary that runs
                    // along its river before it joins) or further down this one (across
                    // a bend) would take the water past the pixels between.
                    const double to_m = d8_length(d);
                    if (cells[m] < from)
                        v = std::min(v, from - to_next / to_m * (from - cells[m]) - fall);
                    if (!on[m]) // and below the pixels off the streams, which drain into it
                        v = std::min(v, cells[m] - fall);
                }
                double &z = cells[static_cast<std::size_t>(next)];
                // At most a tenth of the interval below the band it was in: deep
                // enough to lead the water through a valley floor the lines hold a
                // level too high, where a trench cut to follow a stream across a
                // slope would move metres of ground that no line shows.
                v = std::max(v, band_floor(before[static_cast<std::size_t>(next)], levels));
                if (v < z) {
                    z = v;
                    moved = true;
                }
            }
        }
    }
}

// What the rounds that keep the supported pits leave to the carving.
struct Pits {
    std::vector<std::int64_t> outlets;   // the grid's edges', then the kept pits' bottoms
    std::vector<std::uint8_t> held;      // 1: a spot height's or a lake's pixel
    std::vector<std::uint8_t> kept;      // 1: under a kept pit's spill level
    std::vector<double> filled;          // the flood from every outlet
    std::vector<std::uint8_t> parent;    // and the direction each pixel was met from
};

Pits find_pits(const Flow &g, std::vector<double> &cells, const std::vector<std::int64_t> &spots,
               const std::vector<std::vector<std::int64_t>> &streams, const std::vector<ClosedLine> *closed,
               bool whole_rounds, Drained &out)
{
    Pits p;
    p.outlets = g.edges(cells);
    p.kept.assign(static_cast<std::size_t>(g.size()), 0);
    p.held.assign(static_cast<std::size_t>(g.size()), 0);
    for (std::int64_t k : spots)
        if (k >= 0 && k < g.size())
            p.held[k] = 1;
    keep_supported_pits(g, cells, p.held, streams, Rings(closed, g.columns()), p.outlets, p.kept, p.filled, p.parent,
                        out, whole_rounds);
    return p;
}

} // namespace

PitsFlood flood_after_pits(std::vector<double> cells, int rows, int columns, const tolvane::Levels &levels,
                           const std::vector<std::int64_t> &spots, const std::vector<ClosedLine> *closed,
                           bool whole_rounds)
{
    PitsFlood f;
    if (rows < 3 || columns < 3 || levels.interval <= 0)
        return f;
    const Flow g(rows, columns, levels);
    Drained out;
    Pits p = find_pits(g, cells, spots, {}, closed, whole_rounds, out);
    f.cells = std::move(cells);
    f.filled = std::move(p.filled);
    f.parent = std::move(p.parent);
    return f;
}

Drained enforce_drainage(std::vector<double> &cells, int rows, int columns, const tolvane::Levels &levels,
                         const Above &above, const std::vector<std::int64_t> &spots, bool want_sinks,
                         const std::vector<std::vector<std::int64_t>> &streams,
                         const std::vector<ClosedLine> *closed, bool whole_rounds)
{
    Drained out;
    if (rows < 3 || columns < 3 || levels.interval <= 0)
        return out;
    const Flow g(rows, columns, levels);
    const std::vector<double> input = cells;
    Pits p = find_pits(g, cells, spots, streams, closed, whole_rounds, out);
    std::vector<std::int64_t> &outlets = p.outlets;
    const std::vector<std::uint8_t> &held = p.held;
    std::vector<std::uint8_t> &kept = p.kept;
    const std::vector<double> before = cells;
    carve(g, cells, before, p.filled, p.parent, kept, held, out);
    // What is left fills, and every flat rises toward its outlet.
    g.rise(cells, outlets, above);
    step_done("drainage: flats");
    if (!streams.empty()) {
        drain_streams(cells, rows, columns, levels, streams, held);
        g.rise(cells, outlets, above);
        step_done("drainage: streams");
    }
    count_moves(cells, input, kept, levels.interval, out);
    if (want_sinks)
        out.sinks = std::move(kept);
    return out;
}

} // namespace tolvane::geo
