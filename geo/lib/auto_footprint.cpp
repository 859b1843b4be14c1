// The footprint the lines draw themselves, the lines' extent on the grid, and the
// distances chosen from the data.
#include "auto_footprint.h"

#include "areas.h"
#include "parallel.h"
#include "repair.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>

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

// Memory for `count` cells of T, not cleared: every cell is written before it
// is read. Large blocks are advised to use huge pages, since each is written
// from end to end once, right away.
template <typename T> std::unique_ptr<T[]> uncleared(std::size_t count)
{
    std::unique_ptr<T[]> p(new T[count]);
    advise_huge_pages(p.get(), count * sizeof(T));
    return p;
}

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
    std::vector<std::uint8_t> within = filled<std::uint8_t>(site.size(), 0);
    const std::unique_ptr<std::uint16_t[]> vertical = uncleared<std::uint16_t>(site.size());
    dilate(site.data(), rows, columns, squared, within.data(), vertical.get());
    return within;
}

PixelBox lines_box(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    PixelBox b{rows, columns, -1, -1};
    // Each row read from its start to its first contour pixel and from its end
    // to its last.
    for (int i = 0; i < rows; i++) {
        const std::int32_t *row = cells.data() + at(i, 0, columns);
        const std::int32_t *first = std::find_if(row, row + columns, [](std::int32_t v) { return v != tolvane::EMPTY; });
        if (first == row + columns)
            continue;
        int last = columns - 1;
        while (row[last] == tolvane::EMPTY)
            last--;
        b.top = std::min(b.top, i);
        b.bottom = std::max(b.bottom, i);
        b.left = std::min(b.left, static_cast<int>(first - row));
        b.right = std::max(b.right, last);
    }
    return b;
}

std::vector<std::uint8_t> within_lines_extent(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    std::vector<std::uint8_t> inside = filled<std::uint8_t>(cells.size(), 1);
    const PixelBox b = lines_box(cells, rows, columns);
    if (b.empty())
        return inside;
    // Row 0 and column 0 are never labelled: lines reaching row or column 1 run
    // off the grid there.
    const int top = b.top <= 1 ? 0 : b.top, left = b.left <= 1 ? 0 : b.left;
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++)
            if (i < top || i > b.bottom || j < left || j > b.right)
                inside[at(i, j, columns)] = 0;
    return inside;
}

double contour_spacing(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    return contour_spacing(cells, rows, columns, SiteMap(cells, rows, columns));
}

namespace {

// The borders of contour_spacing counted by the offset (di, dj) between their
// two contour pixels: offsets of less than SPAN rows and columns in bins, the
// others listed. Their distances are those of the offsets, taken once a bin.
constexpr int SPAN = 128;
struct Borders {
    std::vector<std::uint64_t> bins = std::vector<std::uint64_t>(4 * SPAN * SPAN, 0);
    std::vector<std::pair<std::int64_t, std::int64_t>> far;

    void add(std::int64_t di, std::int64_t dj)
    {
        if (di > -SPAN && di < SPAN && dj > -SPAN && dj < SPAN)
            bins[static_cast<std::size_t>((di + SPAN) * 2 * SPAN + (dj + SPAN))]++;
        else
            far.emplace_back(di, dj);
    }
};

} // namespace

double contour_spacing(const std::vector<std::int32_t> &cells, int rows, int columns, const SiteMap &near)
{
    // Each slice of rows counts the borders of its own rows.
    std::vector<Borders> found;
    std::mutex slices;
    in_slices(static_cast<std::size_t>(rows), LEAST_ROWS, [&](std::size_t from, std::size_t to) {
        Borders borders;
        // The sites of a row and their levels, and those of the row below.
        std::vector<std::int64_t> site(static_cast<std::size_t>(columns)), site_below(site.size());
        std::vector<std::int32_t> level(site.size()), level_below(site.size());
        const auto load = [&](int i, std::vector<std::int64_t> &s, std::vector<std::int32_t> &l) {
            for (int j = 0; j < columns; j++) {
                s[j] = near.site(at(i, j, columns));
                l[j] = s[j] < 0 ? tolvane::EMPTY : cells[static_cast<std::size_t>(s[j])];
            }
        };
        const auto border = [&](std::int64_t a, std::int64_t b) {
            borders.add(a / columns - b / columns, a % columns - b % columns);
        };
        load(static_cast<int>(from), site, level);
        for (int i = static_cast<int>(from); i < static_cast<int>(to); i++) {
            if (i + 1 < rows)
                load(i + 1, site_below, level_below);
            for (int j = 0; j < columns; j++) {
                if (site[j] < 0)
                    continue;
                if (j + 1 < columns && site[j + 1] >= 0 && level[j] != level[j + 1])
                    border(site[j], site[j + 1]);
                if (i + 1 < rows && site_below[j] >= 0 && level[j] != level_below[j])
                    border(site[j], site_below[j]);
            }
            site.swap(site_below);
            level.swap(level_below);
        }
        const std::lock_guard<std::mutex> lock(slices);
        found.push_back(std::move(borders));
    });
    // The distances with their counts, in increasing order: the upper quartile
    // is the distance of the border at three quarters of the count.
    std::vector<std::pair<double, std::uint64_t>> spacings;
    for (int di = 1 - SPAN; di < SPAN; di++)
        for (int dj = 1 - SPAN; dj < SPAN; dj++) {
            std::uint64_t count = 0;
            for (const Borders &b : found)
                count += b.bins[static_cast<std::size_t>((di + SPAN) * 2 * SPAN + (dj + SPAN))];
            if (count > 0)
                spacings.emplace_back(std::hypot(static_cast<double>(di), static_cast<double>(dj)), count);
        }
    for (const Borders &b : found)
        for (const auto &[di, dj] : b.far)
            spacings.emplace_back(std::hypot(static_cast<double>(di), static_cast<double>(dj)), 1);
    std::uint64_t total = 0;
    for (const auto &s : spacings)
        total += s.second;
    if (total == 0)
        return 0;
    std::sort(spacings.begin(), spacings.end());
    const std::uint64_t upper = total * 3 / 4;
    std::uint64_t below = 0;
    for (const auto &[spacing, count] : spacings) {
        below += count;
        if (below > upper)
            return spacing;
    }
    return spacings.back().first;
}

std::vector<std::size_t> open_ends(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    const PixelBox b = lines_box(cells, rows, columns);
    std::vector<std::size_t> open;
    for (std::size_t k : line_ends(cells, rows, columns)) {
        const int i = static_cast<int>(k / columns), j = static_cast<int>(k % columns);
        if (i > b.top + 1 && i < b.bottom - 1 && j > b.left + 1 && j < b.right - 1)
            open.push_back(k);
    }
    return open;
}

std::size_t ends_left_open(const std::vector<std::int32_t> &cells, int rows, int columns,
                           const std::vector<std::uint8_t> &inside)
{
    const std::vector<std::size_t> ends = open_ends(cells, rows, columns);
    if (inside.empty())
        return ends.size();
    const auto walled = [&](int i, int j) {
        return i >= 0 && i < rows && j >= 0 && j < columns && inside[static_cast<std::size_t>(i) * columns + j] == 0;
    };
    std::size_t open = 0;
    for (std::size_t k : ends) {
        const int i = static_cast<int>(k / columns), j = static_cast<int>(k % columns);
        bool at_edge = false; // di = dj = 0: the end itself, walled
        for (int di = -1; di <= 1 && !at_edge; di++)
            for (int dj = -1; dj <= 1 && !at_edge; dj++)
                at_edge = walled(i + di, j + dj);
        open += !at_edge;
    }
    return open;
}

namespace {

// The cells of the ring just outside the lines' rectangle `b` (on the grid or
// past its edge, as (row, column) offsets from the rectangle's corner, one
// more than its size each way) that lie farther than 2 cells from every line:
// open ground. Empty when every cell of the ring is near a line.
std::vector<std::size_t> open_ring(const std::vector<std::int32_t> &cells, int columns, const PixelBox &b)
{
    const int ring_rows = b.bottom - b.top + 3, ring_columns = b.right - b.left + 3;
    const auto near_line = [&](int y, int x) { // ring coordinates
        for (int di = -2; di <= 2; di++)
            for (int dj = -2; dj <= 2; dj++) {
                const int i = y + di - 1 + b.top, j = x + dj - 1 + b.left;
                if (di * di + dj * dj <= 4 && i >= b.top && i <= b.bottom && j >= b.left && j <= b.right &&
                    cells[at(i, j, columns)] != tolvane::EMPTY)
                    return true;
            }
        return false;
    };
    std::vector<std::size_t> open;
    for (int y = 0; y < ring_rows; y++)
        for (int x = 0; x < ring_columns; x++)
            if ((y == 0 || x == 0 || y == ring_rows - 1 || x == ring_columns - 1) && !near_line(y, x))
                open.push_back(at(y, x, ring_columns));
    return open;
}

// Marks in `out` the cells of the rectangle `b` within `reach` of a cell of
// `ring` (open_ring).
void leave_out_near_ring(const std::vector<std::size_t> &ring, double reach, const PixelBox &b, int columns,
                         std::uint8_t *out)
{
    const int ring_columns = b.right - b.left + 3;
    const int span = static_cast<int>(std::floor(reach));
    for (std::size_t r : ring) {
        const int y = static_cast<int>(r / ring_columns) - 1 + b.top, x = static_cast<int>(r % ring_columns) - 1 + b.left;
        for (int di = -span; di <= span; di++)
            for (int dj = -span; dj <= span; dj++) {
                const int i = y + di, j = x + dj;
                if (i >= b.top && i <= b.bottom && j >= b.left && j <= b.right &&
                    static_cast<double>(di * di + dj * dj) <= reach * reach)
                    out[at(i, j, columns)] = 1;
            }
    }
}

} // namespace

std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel)
{
    if (ends.empty())
        return std::vector<std::uint8_t>(cells.size(), 1);
    return footprint_of_ends(cells, rows, columns, ends, radius, pixel, SiteMap(cells, rows, columns));
}

std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel,
                                            const SiteMap &to_line)
{
    std::vector<std::uint8_t> inside = filled<std::uint8_t>(cells.size(), 1);
    if (ends.empty())
        return inside;
    const PixelBox b = lines_box(cells, rows, columns);
    const auto in_box = [&](int i, int j) { return i >= b.top && i <= b.bottom && j >= b.left && j <= b.right; };
    const double r2 = radius * radius;
    // Broad is judged with a radius of at least one pixel of the grid asked for,
    // whatever the cells the lines are burned in: on a finer grid, the sea floor
    // between dense lines would be left out. (Two pixels gave back the coast's
    // inlets, whose bands then leaked.)
    const double flat = std::max(radius, pixel);
    const double core = 2 * flat, reach = 3 * flat;
    // The rows of the lines' rectangle, in slices.
    const auto box_rows = [&b](const std::function<void(int i)> &row) {
        in_slices(static_cast<std::size_t>(b.bottom - b.top + 1), LEAST_ROWS, [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; i++)
                row(b.top + static_cast<int>(i));
        });
    };

    // The dilation: pixels within the radius of a line. Inside the lines'
    // rectangle, those beyond it are where a free disc may sit. Broad flats
    // inside the area are reached too, through a mouth between two lines wider
    // than the disc. What lies beyond the edge of the mapped area is broad and
    // near it: pixels farther than twice the (flat) radius from any line, or the
    // edge of the lines' rectangle. Left out is only what lies within three
    // radii of those.
    // The scratch grids come fresh from uncleared() (huge pages), cleared where
    // they are read before being written.
    const std::size_t n = cells.size();
    std::unique_ptr<std::uint8_t[]> free = uncleared<std::uint8_t>(n), far_from_lines = uncleared<std::uint8_t>(n);
    std::fill(free.get(), free.get() + n, std::uint8_t{0});
    std::fill(far_from_lines.get(), far_from_lines.get() + n, std::uint8_t{0});
    std::atomic<bool> any_free{false};
    box_rows([&](int i) {
        bool found = false;
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            const double d = static_cast<double>(to_line.squared(k));
            if (d > r2) {
                free[k] = 1;
                found = true;
            }
            far_from_lines[k] = d > core * core;
        }
        if (found)
            any_free = true;
    });
    const std::vector<std::size_t> ring = open_ring(cells, columns, b);
    if (!any_free && ring.empty())
        return inside;
    // The erosion: a pixel within the radius of such a free centre is left out.
    std::unique_ptr<std::uint8_t[]> out = uncleared<std::uint8_t>(n);
    {
        const std::unique_ptr<std::uint16_t[]> vertical = uncleared<std::uint16_t>(n);
        if (any_free)
            dilate(free.get(), rows, columns, r2, out.get(), vertical.get());
        else
            std::fill(out.get(), out.get() + n, std::uint8_t{0});
        dilate(far_from_lines.get(), rows, columns, reach * reach, free.get(), vertical.get());
    }
    far_from_lines.reset();
    const std::unique_ptr<std::uint8_t[]> near_far = std::move(free);
    // Beyond the rectangle lies open ground too: what lies within 2 pixels (and
    // the radius) of a cell of the ring around it that is farther than 2 cells
    // from every line is left out, so that the strip between the rectangle's edge
    // and lines that stop a few pixels short of it (a sliver of nodata along a
    // warped DEM's edge) is left out where open ends border it. Between lines
    // that run off the rectangle no open end borders it: it is given back below.
    leave_out_near_ring(ring, std::min(radius, 2 * pixel), b, columns, out.get());
    box_rows([&](int i) {
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            const int edge = std::min(std::min(i - b.top, b.bottom - i), std::min(j - b.left, b.right - j)) + 1;
            out[k] = out[k] && cells[k] == tolvane::EMPTY && (near_far[k] || !(edge > reach));
        }
    });

    // Areas left out (8-connected), each kept out only when an open end borders it.
    std::unique_ptr<int[]> area = uncleared<int>(n);
    std::fill(area.get(), area.get() + n, -1);
    std::vector<std::uint8_t> bordered;
    std::vector<std::size_t> stack;
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t start = at(i, j, columns);
            if (!out[start] || area[start] >= 0)
                continue;
            const int id = static_cast<int>(bordered.size());
            bordered.push_back(0);
            area[start] = id;
            stack.push_back(start);
            while (!stack.empty()) {
                const std::size_t k = stack.back();
                stack.pop_back();
                const int y = static_cast<int>(k / columns), x = static_cast<int>(k % columns);
                for (int di = -1; di <= 1; di++)
                    for (int dj = -1; dj <= 1; dj++) {
                        const int yy = y + di, xx = x + dj;
                        if (!in_box(yy, xx))
                            continue;
                        const std::size_t m = at(yy, xx, columns);
                        if (out[m] && area[m] < 0) {
                            area[m] = id;
                            stack.push_back(m);
                        }
                    }
            }
        }
    // An area that does not reach the rectangle's edge is enclosed by lines:
    // the inside of a ring or a broad flat, never left out.
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++)
            if ((i == b.top || i == b.bottom || j == b.left || j == b.right) && area[at(i, j, columns)] >= 0)
                bordered[area[at(i, j, columns)]] |= 2;
    // An end borders an area that lies within two pixels of it.
    for (std::size_t e : ends) {
        const int y = static_cast<int>(e / columns), x = static_cast<int>(e % columns);
        for (int di = -2; di <= 2; di++)
            for (int dj = -2; dj <= 2; dj++)
                if (in_box(y + di, x + dj)) {
                    const int id = area[at(y + di, x + dj, columns)];
                    if (id >= 0)
                        bordered[id] |= 1;
                }
    }
    for (std::size_t k = 0; k < cells.size(); k++)
        if (area[k] >= 0 && bordered[area[k]] == 3)
            inside[k] = 0;
    return inside;
}

namespace {

// Marks 1 in `state` the pixels of the lines' rectangle that lie in an empty
// area whose lines hold more than two levels, or two not `interval` apart, and
// that touches a pixel outside; false when there is none.
bool mark_leaking_areas(const std::vector<std::int32_t> &cells, int rows, int columns,
                        const std::vector<std::uint8_t> &inside, int interval, std::vector<std::uint8_t> &state)
{
    EmptyAreas areas = empty_areas(cells, rows, columns, inside.data());
    const PixelBox b = lines_box(cells, rows, columns);
    bool any = false;
    for (std::uint32_t r = 0; r < areas.runs.size(); r++) {
        const LevelSet &around = areas.levels[areas.root(r)];
        const EmptyAreas::Run &run = areas.runs[r];
        if (!around.edge || !around.leaks(interval) || run.row < b.top || run.row > b.bottom)
            continue;
        for (int j = std::max(run.first, b.left); j <= std::min(run.last, b.right); j++) {
            state[at(run.row, j, columns)] = 1;
            any = true;
        }
    }
    return any;
}

// The centres of a disc of squared radius `r2` among the pixels marked 1: those
// farther than its radius from every line, reached from beside a pixel outside
// through such centres (8-connected); marked 2, in the order reached.
std::vector<std::size_t> roll_from_outside(int rows, int columns, const std::vector<std::uint8_t> &inside,
                                           const SiteMap &lines, double r2, std::vector<std::uint8_t> &state)
{
    const auto centre = [&](std::size_t k) { return state[k] == 1 && static_cast<double>(lines.squared(k)) > r2; };
    const auto beside = [&](std::size_t k, const auto &take) {
        const int i = static_cast<int>(k / columns), j = static_cast<int>(k % columns);
        for (int y = std::max(0, i - 1); y <= std::min(rows - 1, i + 1); y++)
            for (int x = std::max(0, j - 1); x <= std::min(columns - 1, j + 1); x++)
                if (take(at(y, x, columns)))
                    return true;
        return false;
    };
    std::vector<std::size_t> reached, stack;
    for (std::size_t k = 0; k < state.size(); k++) {
        if (!centre(k) || !beside(k, [&](std::size_t m) { return !inside[m]; }))
            continue;
        state[k] = 2;
        stack.push_back(k);
        while (!stack.empty()) {
            const std::size_t c = stack.back();
            stack.pop_back();
            reached.push_back(c);
            beside(c, [&](std::size_t m) {
                if (centre(m)) {
                    state[m] = 2;
                    stack.push_back(m);
                }
                return false;
            });
        }
    }
    return reached;
}

} // namespace

void open_leaking_inlets(const std::vector<std::int32_t> &cells, int rows, int columns, double radius,
                         const SiteMap &lines, int interval, std::vector<std::uint8_t> &inside)
{
    const double narrower = std::max(2.0, radius / 2);
    std::vector<std::uint8_t> state(cells.size(), 0);
    if (!(narrower < radius) || !mark_leaking_areas(cells, rows, columns, inside, interval, state))
        return;
    // What the disc covers of those areas from its centres is left out.
    const double r2 = narrower * narrower;
    const int reach = static_cast<int>(std::floor(narrower));
    for (const std::size_t c : roll_from_outside(rows, columns, inside, lines, r2, state)) {
        const int i = static_cast<int>(c / columns), j = static_cast<int>(c % columns);
        for (int y = std::max(0, i - reach); y <= std::min(rows - 1, i + reach); y++)
            for (int x = std::max(0, j - reach); x <= std::min(columns - 1, j + reach); x++)
                if ((y - i) * (y - i) + (x - j) * (x - j) <= r2 && state[at(y, x, columns)] != 0)
                    inside[at(y, x, columns)] = 0;
    }
}

double footprint_radius(double spacing) { return std::max(2.0, spacing); }

double gap_distance(double spacing) { return std::clamp(spacing, 4.0, 8.0); }

std::vector<std::uint8_t> grown_by_one_pixel(const std::vector<std::uint8_t> &inside, int rows, int columns)
{
    std::vector<std::uint8_t> grown = filled<std::uint8_t>(inside.size(), 0);
    std::copy(inside.begin(), inside.end(), grown.begin());
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            if (inside[at(i, j, columns)])
                continue;
            for (int di = -1; di <= 1 && !grown[at(i, j, columns)]; di++)
                for (int dj = -1; dj <= 1; dj++) {
                    const int y = i + di, x = j + dj;
                    if (y >= 0 && y < rows && x >= 0 && x < columns && inside[at(y, x, columns)]) {
                        grown[at(i, j, columns)] = 1;
                        break;
                    }
                }
        }
    return grown;
}

} // namespace tolvane::geo
