// The footprint the lines draw themselves, the lines' extent on the grid, and the
// distances chosen from the data.
#include "auto_footprint.h"

#include "repair.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tolvane::geo {

namespace {

constexpr std::int64_t NONE = -1;

// One row of the second pass: for every column x the column q among those with
// a finite height f[q] that minimises (x - q)^2 + f[q].
void lower_envelope(const std::vector<std::int64_t> &f, int columns, std::vector<int> &best)
{
    std::vector<int> v;
    std::vector<double> z;
    v.reserve(columns);
    z.reserve(columns + 1);
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

} // namespace

NearestSites nearest_sites(const std::vector<std::uint8_t> &site, int rows, int columns)
{
    const std::size_t n = static_cast<std::size_t>(rows) * columns;
    // First pass: in every column, the nearest site row above or below.
    std::vector<int> site_row(n, -1);
    for (int j = 0; j < columns; j++) {
        int last = -1;
        for (int i = 0; i < rows; i++) {
            if (site[at(i, j, columns)])
                last = i;
            site_row[at(i, j, columns)] = last;
        }
        int next = -1;
        for (int i = rows - 1; i >= 0; i--) {
            if (site[at(i, j, columns)])
                next = i;
            int &r = site_row[at(i, j, columns)];
            if (next >= 0 && (r < 0 || next - i < i - r))
                r = next;
        }
    }
    // Second pass: along every row, the lower envelope of the columns' parabolas.
    NearestSites out{std::vector<std::int64_t>(n, NONE), std::vector<std::int64_t>(n, NONE)};
    std::vector<std::int64_t> f(columns);
    std::vector<int> best;
    for (int i = 0; i < rows; i++) {
        for (int q = 0; q < columns; q++) {
            const int r = site_row[at(i, q, columns)];
            f[q] = r < 0 ? NONE : static_cast<std::int64_t>(r - i) * (r - i);
        }
        lower_envelope(f, columns, best);
        for (int x = 0; x < columns; x++) {
            const int q = best[x];
            if (q < 0)
                continue;
            out.squared[at(i, x, columns)] = f[q] + static_cast<std::int64_t>(x - q) * (x - q);
            out.site[at(i, x, columns)] = static_cast<std::int64_t>(at(site_row[at(i, q, columns)], q, columns));
        }
    }
    return out;
}

PixelBox lines_box(const std::vector<std::int32_t> &cells, int rows, int columns)
{
    PixelBox b{rows, columns, -1, -1};
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++)
            if (cells[at(i, j, columns)] != tolvane::EMPTY) {
                b.top = std::min(b.top, i);
                b.bottom = std::max(b.bottom, i);
                b.left = std::min(b.left, j);
                b.right = std::max(b.right, j);
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
    std::vector<std::uint8_t> line(cells.size());
    for (std::size_t k = 0; k < cells.size(); k++)
        line[k] = cells[k] != tolvane::EMPTY;
    const NearestSites near = nearest_sites(line, rows, columns);
    std::vector<double> spacings;
    const auto border = [&](std::size_t p, std::size_t q) {
        const std::int64_t a = near.site[p], b = near.site[q];
        if (a < 0 || b < 0 || cells[a] == cells[b])
            return;
        const double di = static_cast<double>(a / columns - b / columns);
        const double dj = static_cast<double>(a % columns - b % columns);
        spacings.push_back(std::hypot(di, dj));
    };
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            if (j + 1 < columns)
                border(at(i, j, columns), at(i, j + 1, columns));
            if (i + 1 < rows)
                border(at(i, j, columns), at(i + 1, j, columns));
        }
    if (spacings.empty())
        return 0;
    auto upper = spacings.begin() + static_cast<std::ptrdiff_t>(spacings.size() * 3 / 4);
    std::nth_element(spacings.begin(), upper, spacings.end());
    return *upper;
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

std::vector<std::uint8_t> footprint_of_ends(const std::vector<std::int32_t> &cells, int rows, int columns,
                                            const std::vector<std::size_t> &ends, double radius, double pixel)
{
    std::vector<std::uint8_t> inside(cells.size(), 1);
    if (ends.empty())
        return inside;
    const PixelBox b = lines_box(cells, rows, columns);
    const auto in_box = [&](int i, int j) { return i >= b.top && i <= b.bottom && j >= b.left && j <= b.right; };
    const double r2 = radius * radius;

    // The dilation: pixels within the radius of a line. Inside the lines'
    // rectangle, those beyond it are where a free disc may sit.
    std::vector<std::uint8_t> line(cells.size());
    for (std::size_t k = 0; k < cells.size(); k++)
        line[k] = cells[k] != tolvane::EMPTY;
    const NearestSites to_line = nearest_sites(line, rows, columns);
    std::vector<std::uint8_t> free(cells.size(), 0);
    bool any_free = false;
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            if (static_cast<double>(to_line.squared[k]) > r2) {
                free[k] = 1;
                any_free = true;
            }
        }
    // The erosion: a pixel within the radius of such a free centre is left out.
    std::vector<std::uint8_t> out(cells.size(), 0);
    if (any_free) {
        const NearestSites to_free = nearest_sites(free, rows, columns);
        for (int i = b.top; i <= b.bottom; i++)
            for (int j = b.left; j <= b.right; j++) {
                const std::size_t k = at(i, j, columns);
                out[k] = to_free.squared[k] >= 0 && static_cast<double>(to_free.squared[k]) <= r2 && !line[k];
            }
    }
    // Beyond the rectangle lies open ground too: every pixel of the ring around it
    // (on the grid or past its edge) farther than 2 cells from every line leaves
    // out what lies within 2 pixels of it (and within the radius), so that
    // the strip between the rectangle's edge and lines that stop a few pixels
    // short of it (a sliver of nodata along a warped DEM's edge) is left out
    // where open ends border it. Between lines that run off the rectangle no open
    // end borders it: it is given back below.
    const double ring_reach = std::min(radius, 2 * pixel);
    const int ring_rows = b.bottom - b.top + 3, ring_columns = b.right - b.left + 3;
    std::vector<std::uint8_t> ring_line(static_cast<std::size_t>(ring_rows) * ring_columns, 0);
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++)
            ring_line[at(i - b.top + 1, j - b.left + 1, ring_columns)] = line[at(i, j, columns)];
    const NearestSites ring_to_line = nearest_sites(ring_line, ring_rows, ring_columns);
    std::vector<std::uint8_t> ring_free(ring_line.size(), 0);
    bool any_ring = false;
    for (int i = 0; i < ring_rows; i++)
        for (int j = 0; j < ring_columns; j++)
            if (i == 0 || j == 0 || i == ring_rows - 1 || j == ring_columns - 1) {
                const std::size_t k = at(i, j, ring_columns);
                ring_free[k] = ring_to_line.squared[k] < 0 || ring_to_line.squared[k] > 4;
                any_ring = any_ring || ring_free[k];
            }
    if (!any_free && !any_ring)
        return inside;
    if (any_ring) {
        const NearestSites to_ring = nearest_sites(ring_free, ring_rows, ring_columns);
        for (int i = b.top; i <= b.bottom; i++)
            for (int j = b.left; j <= b.right; j++) {
                const std::int64_t d = to_ring.squared[at(i - b.top + 1, j - b.left + 1, ring_columns)];
                if (d >= 0 && static_cast<double>(d) <= ring_reach * ring_reach && !line[at(i, j, columns)])
                    out[at(i, j, columns)] = 1;
            }
    }
    // Broad flats inside the area are reached too, through a mouth between two
    // lines wider than the disc. What lies beyond the edge of the mapped area is
    // broad and near it: pixels farther than twice the radius from any line, or
    // the edge of the lines' rectangle. Left out is only what lies within three
    // radii of those. Broad is judged with a radius of at least one pixel of the
    // grid asked for, whatever the cells the lines are burned in: on a finer
    // grid, the sea floor between dense lines would be left out. (Two pixels
    // gave back the coast's inlets, whose bands then leaked.)
    const double flat = std::max(radius, pixel);
    const double core = 2 * flat, reach = 3 * flat;
    std::vector<std::uint8_t> far_from_lines(cells.size(), 0);
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            far_from_lines[k] = static_cast<double>(to_line.squared[k]) > core * core;
        }
    const NearestSites to_far = nearest_sites(far_from_lines, rows, columns);
    for (int i = b.top; i <= b.bottom; i++)
        for (int j = b.left; j <= b.right; j++) {
            const std::size_t k = at(i, j, columns);
            const int edge = std::min(std::min(i - b.top, b.bottom - i), std::min(j - b.left, b.right - j)) + 1;
            const bool near_far = to_far.squared[k] >= 0 && static_cast<double>(to_far.squared[k]) <= reach * reach;
            if (out[k] && !near_far && edge > reach)
                out[k] = 0;
        }

    // Areas left out (8-connected), each kept out only when an open end borders it.
    std::vector<int> area(cells.size(), -1);
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

double footprint_radius(double spacing) { return std::max(2.0, spacing); }

double gap_distance(double spacing) { return std::clamp(spacing, 4.0, 8.0); }

std::vector<std::uint8_t> grown_by_one_pixel(const std::vector<std::uint8_t> &inside, int rows, int columns)
{
    std::vector<std::uint8_t> grown = inside;
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
