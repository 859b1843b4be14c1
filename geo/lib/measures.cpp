// The lines' rectangle, their spacing and their open ends, on the burned grid.
#include "measures.h"

#include "parallel.h"
#include "repair.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace tolvane::geo {

namespace {

std::size_t at(int i, int j, int columns) { return static_cast<std::size_t>(i) * columns + j; }

// Rows a thread takes at least.
constexpr std::size_t LEAST_ROWS = 16;

} // namespace

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
    std::vector<std::uint8_t> inside(cells.size(), 1);
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

std::vector<float> local_spacing(const std::vector<std::int32_t> &cells, int rows, int columns, const SiteMap &near)
{
    std::vector<float> spacing(cells.size(), 0.0f);
    const auto border = [&](std::int64_t a, std::int64_t b) {
        const double di = static_cast<double>(a / columns - b / columns), dj = static_cast<double>(a % columns - b % columns);
        const float d = static_cast<float>(std::hypot(di, dj));
        for (const std::int64_t s : {a, b}) {
            float &kept = spacing[static_cast<std::size_t>(s)];
            if (kept == 0 || d < kept)
                kept = d;
        }
    };
    // One thread: two rows' borders may name the same site.
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::int64_t a = near.site(at(i, j, columns));
            if (a < 0)
                continue;
            const std::int32_t level = cells[static_cast<std::size_t>(a)];
            if (j + 1 < columns) {
                const std::int64_t b = near.site(at(i, j + 1, columns));
                if (b >= 0 && cells[static_cast<std::size_t>(b)] != level)
                    border(a, b);
            }
            if (i + 1 < rows) {
                const std::int64_t b = near.site(at(i + 1, j, columns));
                if (b >= 0 && cells[static_cast<std::size_t>(b)] != level)
                    border(a, b);
            }
        }
    return spacing;
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

std::size_t ends_left_open(const std::vector<std::size_t> &ends, int rows, int columns,
                           const std::vector<std::uint8_t> &inside)
{
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

double gap_distance(double spacing) { return std::clamp(spacing, 4.0, 8.0); }
} // namespace tolvane::geo
