// The exact distance transform (Felzenszwalb and Huttenlocher) and the disc
// dilation, sliced over threads so that every run gives the same bits.
#include "distance.h"

#include "parallel.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <thread>

namespace tolvane::geo {

namespace {

constexpr std::int64_t NONE = -1;

// The scratch of one row of the second pass, kept from row to row.
struct Envelope {
    std::vector<std::int64_t> f;
    std::vector<int> site_row, best, v;
    std::vector<double> z;
    std::vector<std::int64_t> numerator, denominator;
};

// The lower envelope of lower_envelope in whole numbers: each intersection kept
// as the fraction it is (denominator 0: minus infinity) and compared by cross
// products, without a division. On grids where exact_in_integers() holds, two
// different intersections, or an intersection and a column, lie farther apart
// than a double can fail to tell, so every comparison comes out as
// lower_envelope's and so does every column chosen.
void lower_envelope_exact(const std::vector<std::int64_t> &f, int columns, Envelope &e)
{
    std::vector<int> &v = e.v, &best = e.best;
    std::vector<std::int64_t> &zn = e.numerator, &zd = e.denominator;
    v.clear();
    zn.clear();
    zd.clear();
    for (int q = 0; q < columns; q++) {
        if (f[q] < 0)
            continue;
        const std::int64_t fq = f[q] + static_cast<std::int64_t>(q) * q;
        std::int64_t n = 0, d = 0;
        while (!v.empty()) {
            const int p = v.back();
            n = fq - f[p] - static_cast<std::int64_t>(p) * p;
            d = 2 * static_cast<std::int64_t>(q - p);
            if (zd.back() != 0 && n * zd.back() <= zn.back() * d) {
                v.pop_back();
                zn.pop_back();
                zd.pop_back();
                d = 0;
            } else {
                break;
            }
        }
        v.push_back(q);
        zn.push_back(v.size() == 1 ? 0 : n);
        zd.push_back(v.size() == 1 ? 0 : d);
    }
    best.assign(columns, -1);
    if (v.empty())
        return;
    std::size_t k = 0;
    for (int x = 0; x < columns; x++) {
        while (k + 1 < v.size() && zn[k + 1] < static_cast<std::int64_t>(x) * zd[k + 1])
            k++;
        best[x] = v[k];
    }
}

// Whether lower_envelope_exact chooses as lower_envelope on a grid of rows x
// columns: the intersections are fractions n / d with 0 < d <= 2 columns and
// |n| < rows^2 + columns^2, and two of them differ by 1 / (4 columns^2) at
// least, more than a double's spacing near them while columns^2 x (rows^2 +
// columns^2) < 2^51 (any grid up to 5000 x 5000).
bool exact_in_integers(int rows, int columns)
{
    const double c2 = static_cast<double>(columns) * columns, r2 = static_cast<double>(rows) * rows;
    return c2 * (r2 + c2) < std::ldexp(1.0, 51);
}

// One row of the second pass: for every column x the column q among those with
// a finite height f[q] that minimises (x - q)^2 + f[q].
void lower_envelope(const std::vector<std::int64_t> &f, int columns, Envelope &e)
{
    std::vector<int> &v = e.v, &best = e.best;
    std::vector<double> &z = e.z;
    v.clear();
    z.clear();
    for (int q = 0; q < columns; q++) {
        if (f[q] < 0)
            continue;
        double s = -std::numeric_limits<double>::infinity();
        while (!v.empty()) {
            const int p = v.back();
            s = (static_cast<double>(f[q]) + static_cast<double>(q) * q - static_cast<double>(f[p]) -
                 static_cast<double>(p) * p) /
                (2.0 * (q - p));
            if (s <= z.back()) {
                v.pop_back();
                z.pop_back();
                s = -std::numeric_limits<double>::infinity();
            } else {
                break;
            }
        }
        v.push_back(q);
        z.push_back(v.size() == 1 ? -std::numeric_limits<double>::infinity() : s);
    }
    best.assign(columns, -1);
    if (v.empty())
        return;
    std::size_t k = 0;
    for (int x = 0; x < columns; x++) {
        while (k + 1 < v.size() && z[k + 1] < x)
            k++;
        best[x] = v[k];
    }
}

std::size_t at(int i, int j, int columns) { return static_cast<std::size_t>(i) * columns + j; }

// Columns a thread takes at least in the first pass, rows in the second.
constexpr std::size_t LEAST_COLUMNS = 64, LEAST_ROWS = 16;

} // namespace

// First pass: in every column, the nearest site row above or below (above on
// ties), row after row over slices of columns. Second pass: along every row, the
// lower envelope of the columns' parabolas, over slices of rows; each row's
// result replaces its site rows once they are read.
template <typename Index, typename IsSite> void SiteMap::fill(Index *out, IsSite is_site)
{
    const int rows = rows_, columns = columns_;
    in_slices(static_cast<std::size_t>(columns), LEAST_COLUMNS, [&](std::size_t from, std::size_t to) {
        const int c0 = static_cast<int>(from), c1 = static_cast<int>(to);
        std::vector<int> last(static_cast<std::size_t>(c1 - c0), -1);
        for (int i = 0; i < rows; i++) {
            Index *row = out + at(i, 0, columns);
            for (int j = c0; j < c1; j++) {
                if (is_site(at(i, j, columns)))
                    last[j - c0] = i;
                row[j] = last[j - c0];
            }
        }
        std::vector<int> &next = last;
        std::fill(next.begin(), next.end(), -1);
        for (int i = rows - 1; i >= 0; i--) {
            Index *row = out + at(i, 0, columns);
            for (int j = c0; j < c1; j++) {
                const int r = static_cast<int>(row[j]);
                if (r == i) // a site: the nearest above is the site itself
                    next[j - c0] = i;
                const int below = next[j - c0];
                if (below >= 0 && (r < 0 || below - i < i - r))
                    row[j] = below;
            }
        }
    });
    // The division-free envelope where it chooses the same columns; the wide
    // indices (grids of 2^31 pixels, on which it may not) always with doubles.
    const bool exact = sizeof(Index) == sizeof(std::int32_t) && exact_in_integers(rows, columns);
    in_slices(static_cast<std::size_t>(rows), LEAST_ROWS, [&](std::size_t from, std::size_t to) {
        Envelope e;
        e.f.resize(static_cast<std::size_t>(columns));
        e.site_row.resize(static_cast<std::size_t>(columns));
        e.v.reserve(static_cast<std::size_t>(columns));
        e.z.reserve(static_cast<std::size_t>(columns) + 1);
        e.numerator.reserve(static_cast<std::size_t>(columns));
        e.denominator.reserve(static_cast<std::size_t>(columns));
        for (int i = static_cast<int>(from); i < static_cast<int>(to); i++) {
            Index *row = out + at(i, 0, columns);
            for (int q = 0; q < columns; q++) {
                const int r = static_cast<int>(row[q]);
                e.site_row[q] = r;
                e.f[q] = r < 0 ? NONE : static_cast<std::int64_t>(r - i) * (r - i);
            }
            if (exact)
                lower_envelope_exact(e.f, columns, e);
            else
                lower_envelope(e.f, columns, e);
            for (int x = 0; x < columns; x++) {
                const int q = e.best[x];
                row[x] = q < 0 ? Index{-1} : static_cast<Index>(at(e.site_row[q], q, columns));
            }
        }
    });
}

template <typename IsSite> void SiteMap::compute_sites(int rows, int columns, Width width, IsSite is_site)
{
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
    const bool narrow =
        width == Width::fit && n <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    if (rows <= 0 || columns <= 0) {
        clear();
        return;
    }
    if (n != size_ || narrow != static_cast<bool>(narrow_)) {
        clear();
        if (narrow)
            narrow_ = uncleared<std::int32_t>(n);
        else
            wide_ = uncleared<std::int64_t>(n);
        size_ = n;
    }
    rows_ = rows;
    columns_ = columns;
    if (narrow)
        fill(narrow_.get(), is_site);
    else
        fill(wide_.get(), is_site);
}

void SiteMap::compute(const std::vector<std::int32_t> &cells, int rows, int columns, Width width)
{
    const std::int32_t *c = cells.data();
    compute_sites(rows, columns, width, [c](std::size_t k) { return c[k] != tolvane::EMPTY; });
}

void SiteMap::compute(const std::vector<std::uint8_t> &site, int rows, int columns, Width width)
{
    const std::uint8_t *s = site.data();
    compute_sites(rows, columns, width, [s](std::size_t k) { return s[k] != 0; });
}

void SiteMap::clear()
{
    narrow_.reset();
    wide_.reset();
    rows_ = columns_ = 0;
    size_ = 0;
}

namespace {

// within_distance into `within` (every cell written), with `vertical` (a
// scratch of as many cells) for the first pass.
void dilate(const std::uint8_t *site, int rows, int columns, double squared, std::uint8_t *within,
            std::uint16_t *vertical_scratch)
{
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
    if (n == 0)
        return;
    if (!(squared >= 0)) {
        std::fill(within, within + n, std::uint8_t{0});
        return;
    }
    const auto reaches = [squared](std::int64_t d2) { return static_cast<double>(d2) <= squared; };
    // Vertical distances are counted up to `cap`, the first that reaches no farther.
    std::int64_t cap = static_cast<std::int64_t>(std::sqrt(std::min(squared, 1e18)));
    while (reaches(cap * cap))
        cap++;
    while (cap > 0 && !reaches((cap - 1) * (cap - 1)))
        cap--;
    if (cap >= std::numeric_limits<std::uint16_t>::max() || cap >= rows + columns) {
        // Farther than any two pixels of the grid: the nearest sites say it.
        SiteMap map;
        map.compute(std::vector<std::uint8_t>(site, site + n), rows, columns);
        in_slices(n, 1 << 16, [&](std::size_t from, std::size_t to) {
            for (std::size_t k = from; k < to; k++) {
                const std::int64_t d = map.squared(k);
                within[k] = d >= 0 && reaches(d);
            }
        });
        return;
    }
    // half[d]: how far along a row a site d rows away reaches.
    std::vector<int> half(static_cast<std::size_t>(cap));
    for (std::int64_t d = 0, w = cap; d < cap; d++) {
        while (w > 0 && !reaches(d * d + w * w))
            w--;
        half[d] = static_cast<int>(w);
    }
    // First pass: the rows to the nearest site above or below in each column,
    // `cap` when there is none that near.
    const auto c16 = static_cast<std::uint16_t>(cap);
    std::uint16_t *const vertical = vertical_scratch;
    in_slices(static_cast<std::size_t>(columns), LEAST_COLUMNS, [&](std::size_t from, std::size_t to) {
        const int c0 = static_cast<int>(from), c1 = static_cast<int>(to);
        std::vector<std::uint16_t> last(static_cast<std::size_t>(c1 - c0), c16);
        for (int i = 0; i < rows; i++) {
            const std::uint8_t *s = site + at(i, 0, columns);
            std::uint16_t *v = vertical + at(i, 0, columns);
            for (int j = c0; j < c1; j++) {
                std::uint16_t &d = last[j - c0];
                d = s[j] ? 0 : static_cast<std::uint16_t>(std::min<int>(d + 1, c16));
                v[j] = d;
            }
        }
        std::fill(last.begin(), last.end(), c16);
        for (int i = rows - 1; i >= 0; i--) {
            std::uint16_t *v = vertical + at(i, 0, columns);
            for (int j = c0; j < c1; j++) {
                std::uint16_t &d = last[j - c0];
                d = v[j] == 0 ? 0 : static_cast<std::uint16_t>(std::min<int>(d + 1, c16));
                v[j] = std::min(v[j], d);
            }
        }
    });
    // Second pass: along each row, every column's reach added as a span.
    in_slices(static_cast<std::size_t>(rows), LEAST_ROWS, [&](std::size_t from, std::size_t to) {
        std::vector<int> starts(static_cast<std::size_t>(columns) + 1);
        for (std::size_t i = from; i < to; i++) {
            std::fill(starts.begin(), starts.end(), 0);
            const std::uint16_t *v = vertical + i * static_cast<std::size_t>(columns);
            for (int q = 0; q < columns; q++)
                if (v[q] < c16) {
                    const int w = half[v[q]];
                    starts[std::max(0, q - w)]++;
                    starts[std::min(columns, q + w + 1)]--;
                }
            std::uint8_t *out = within + i * static_cast<std::size_t>(columns);
            for (int x = 0, open = 0; x < columns; x++) {
                open += starts[x];
                out[x] = open > 0;
            }
        }
    });
}

} // namespace

std::vector<std::uint8_t> within_distance(const std::vector<std::uint8_t> &site, int rows, int columns,
                                          double squared)
{
    std::vector<std::uint8_t> within(site.size(), 0);
    const std::unique_ptr<std::uint16_t[]> vertical = uncleared<std::uint16_t>(site.size());
    dilate(site.data(), rows, columns, squared, within.data(), vertical.get());
    return within;
}

void within_distance_into(const std::uint8_t *site, int rows, int columns, double squared, std::uint8_t *within,
                          std::uint16_t *scratch)
{
    dilate(site, rows, columns, squared, within, scratch);
}

namespace {

// The lower envelope of the parabolas (q - x)^2 + f[x] over x, at every q of
// a line of f.size() values; f = infinity for no parabola.
void envelope(const std::vector<double> &f, std::vector<double> &d, std::vector<int> &v, std::vector<double> &z)
{
    const double inf = std::numeric_limits<double>::infinity();
    const int n = static_cast<int>(f.size());
    d.resize(f.size());
    v.resize(f.size());
    z.resize(f.size() + 1);
    int k = -1;
    for (int q = 0; q < n; q++) {
        if (f[q] == inf)
            continue;
        double s = -inf;
        while (k >= 0) {
            const int p = v[k];
            s = ((f[q] + static_cast<double>(q) * q) - (f[p] + static_cast<double>(p) * p)) / (2.0 * (q - p));
            if (s <= z[k])
                k--;
            else
                break;
        }
        k++;
        v[k] = q;
        z[k] = k == 0 ? -inf : s;
        z[k + 1] = inf;
    }
    if (k < 0) {
        std::fill(d.begin(), d.end(), inf);
        return;
    }
    int j = 0;
    for (int q = 0; q < n; q++) {
        while (z[j + 1] < q)
            j++;
        const double dq = static_cast<double>(q - v[j]);
        d[q] = dq * dq + f[v[j]];
    }
}

} // namespace

void within_own_radius_into(const float *squared, int rows, int columns, std::uint8_t *within)
{
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
    const double inf = std::numeric_limits<double>::infinity();
    // Down the columns into `down` (4 bytes a pixel: the values that decide
    // whether a pixel is reached are squared radii, exact in a float), then
    // along the rows. Each line is worked in doubles. The columns are read and
    // written BLOCK at a time, row by row, so that each cache line of the grid
    // is fetched once, not once for each of its columns.
    const std::unique_ptr<float[]> down = uncleared<float>(n);
    constexpr std::size_t BLOCK = 16;
    in_slices(static_cast<std::size_t>(columns), 64, [&](std::size_t from, std::size_t to) {
        const auto R = static_cast<std::size_t>(rows);
        std::vector<double> fs(BLOCK * R), ds(BLOCK * R), f(R), d, z;
        std::vector<int> v;
        for (std::size_t j0 = from; j0 < to; j0 += BLOCK) {
            const std::size_t width = std::min(BLOCK, to - j0);
            for (std::size_t i = 0; i < R; i++)
                for (std::size_t b = 0; b < width; b++) {
                    const float r = squared[i * columns + j0 + b];
                    fs[b * R + i] = r > 0 ? -static_cast<double>(r) : inf;
                }
            for (std::size_t b = 0; b < width; b++) {
                std::copy_n(fs.begin() + static_cast<std::ptrdiff_t>(b * R), R, f.begin());
                envelope(f, d, v, z);
                std::copy_n(d.begin(), R, ds.begin() + static_cast<std::ptrdiff_t>(b * R));
            }
            for (std::size_t i = 0; i < R; i++)
                for (std::size_t b = 0; b < width; b++)
                    down[i * columns + j0 + b] = static_cast<float>(ds[b * R + i]);
        }
    });
    in_slices(static_cast<std::size_t>(rows), 16, [&](std::size_t from, std::size_t to) {
        std::vector<double> f(static_cast<std::size_t>(columns)), d, z;
        std::vector<int> v;
        for (std::size_t i = from; i < to; i++) {
            const std::size_t row = i * static_cast<std::size_t>(columns);
            for (int j = 0; j < columns; j++)
                f[j] = down[row + j];
            envelope(f, d, v, z);
            for (int j = 0; j < columns; j++)
                within[row + j] = d[j] <= 0;
        }
    });
}

// The width from which the sweeps of swept_nearest() run in two halves of
// the columns, one a thread: below, a row's half is too short for the waits.
constexpr std::int64_t SWEPT_HALVES_FROM = 256;

// The progress of a half of a sweep, in rows, which the other half waits on.
class Rows {
public:
    void done(std::int64_t count) { count_.store(count, std::memory_order_release); }
    void wait_for(std::int64_t count) const
    {
        while (count_.load(std::memory_order_acquire) < count)
            std::this_thread::yield();
    }

private:
    std::atomic<std::int64_t> count_{0};
};

// Both sweeps over the left half of the columns on this thread and the right
// half on another, each row's cells in the order of one sweep: down the rows,
// a left half's last cell waits for the right half's first cell of the row
// above, and the right half of a row for the whole left half; up the rows, the
// other way round. So the left half of a row is swept while the right half of
// the row before is. False when no second thread runs.
template <typename Down, typename Up>
bool swept_in_halves(std::int64_t rows, std::int64_t columns, const Down &down_the_rows, const Up &up_the_rows)
{
    const std::int64_t h = columns / 2;
    Rows left_down, right_first_down, right_up, left_first_up;
    return in_lockstep(
        [&] {
            for (std::int64_t i = 0; i < rows; i++) {
                down_the_rows(i, 0, h - 1);
                right_first_down.wait_for(i);
                down_the_rows(i, h - 1, h);
                left_down.done(i + 1);
            }
            for (std::int64_t i = rows - 1; i >= 0; i--) {
                right_up.wait_for(rows - i);
                up_the_rows(i, h - 1, h);
                left_first_up.done(rows - i);
                up_the_rows(i, 0, h - 1);
            }
        },
        [&] {
            for (std::int64_t i = 0; i < rows; i++) {
                left_down.wait_for(i + 1);
                down_the_rows(i, h, h + 1);
                right_first_down.done(i + 1);
                down_the_rows(i, h + 1, columns);
            }
            for (std::int64_t i = rows - 1; i >= 0; i--) {
                up_the_rows(i, h + 1, columns);
                left_first_up.wait_for(rows - 1 - i);
                up_the_rows(i, h, h + 1);
                right_up.done(rows - i);
            }
        });
}

// The sweeps carry the nearest site's row and column (a pixel's index would
// cost two divisions per neighbour), packed in one word so that a pixel takes
// an offer without a branch: which offers are nearer follows no pattern the
// processor could foresee.
std::vector<std::uint32_t> swept_nearest(const std::vector<std::uint8_t> &site, int rows, int columns)
{
    const std::size_t n = static_cast<std::size_t>(rows) * columns;
    const auto C = static_cast<std::int64_t>(columns);
    constexpr std::uint64_t NONE = ~std::uint64_t{0};
    Scratch<std::uint64_t> at(n);
    in_slices(static_cast<std::size_t>(rows), 64, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; i++)
            for (std::int64_t j = 0; j < C; j++) {
                const std::size_t k = i * static_cast<std::size_t>(C) + static_cast<std::size_t>(j);
                at[k] = site[k] ? static_cast<std::uint64_t>(i) << 32 | static_cast<std::uint32_t>(j) : NONE;
            }
    });
    // The square of the distance from (i, j) to a packed cell, none the farthest.
    const auto distance = [](std::int64_t i, std::int64_t j, std::uint64_t a) {
        const std::int64_t di = i - static_cast<std::int64_t>(a >> 32), dj = j - static_cast<std::int64_t>(a & 0xffffffffU);
        return a == NONE ? INT64_MAX : di * di + dj * dj;
    };
    // Cell (i, j) offered the nearest cells of `from` in their order.
    const auto settle = [&](std::uint64_t *cell, std::int64_t i, std::int64_t j,
                            std::initializer_list<const std::uint64_t *> from) {
        std::uint64_t best = *cell;
        std::int64_t least = distance(i, j, best);
        for (const std::uint64_t *f : from) {
            const std::uint64_t a = *f;
            const std::int64_t d = distance(i, j, a);
            const bool nearer = d < least;
            least = nearer ? d : least;
            best = nearer ? a : best;
        }
        *cell = best;
    };
    // Columns [a, b) of row i in the sweep down the rows, left to right: from
    // the three cells above and the one before.
    const auto down_the_rows = [&](std::int64_t i, std::int64_t a, std::int64_t b) {
        std::uint64_t *row = at.data() + i * C;
        const std::uint64_t *up = row - C;
        if (i == 0) {
            for (std::int64_t j = std::max<std::int64_t>(a, 1); j < b; j++)
                settle(row + j, i, j, {row + j - 1});
            return;
        }
        if (C == 1) {
            settle(row, i, 0, {up});
            return;
        }
        std::int64_t j = a;
        if (j == 0)
            settle(row, i, j++, {up, up + 1});
        for (const std::int64_t inner = std::min(b, C - 1); j < inner; j++)
            settle(row + j, i, j, {up + j - 1, up + j, up + j + 1, row + j - 1});
        if (b == C && j == C - 1)
            settle(row + C - 1, i, C - 1, {up + C - 2, up + C - 1, row + C - 2});
    };
    // Columns [a, b) of row i in the sweep up the rows, right to left: from
    // the three cells below and the one after.
    const auto up_the_rows = [&](std::int64_t i, std::int64_t a, std::int64_t b) {
        std::uint64_t *row = at.data() + i * C;
        const std::uint64_t *down = row + C;
        if (i == rows - 1) {
            for (std::int64_t j = std::min(b, C - 1) - 1; j >= a; j--)
                settle(row + j, i, j, {row + j + 1});
            return;
        }
        if (C == 1) {
            settle(row, i, 0, {down});
            return;
        }
        std::int64_t j = b - 1;
        if (j == C - 1)
            settle(row + C - 1, i, j--, {down + C - 1, down + C - 2});
        for (const std::int64_t inner = std::max<std::int64_t>(a, 1); j >= inner; j--)
            settle(row + j, i, j, {down + j + 1, down + j, down + j - 1, row + j + 1});
        if (a == 0 && j == 0)
            settle(row, i, 0, {down + 1, down, row + 1});
    };
    if (!(C >= SWEPT_HALVES_FROM && rows >= 2 && swept_in_halves(rows, C, down_the_rows, up_the_rows))) {
        for (std::int64_t i = 0; i < rows; i++)
            down_the_rows(i, 0, C);
        for (std::int64_t i = rows - 1; i >= 0; i--)
            up_the_rows(i, 0, C);
    }
    std::vector<std::uint32_t> near(n);
    in_slices(n, std::size_t{1} << 16, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; k++)
            near[k] = at[k] == NONE ? SWEPT_NONE
                                    : static_cast<std::uint32_t>(static_cast<std::int64_t>(at[k] >> 32) * C +
                                                                 static_cast<std::int64_t>(at[k] & 0xffffffffU));
    });
    return near;
}

} // namespace tolvane::geo
