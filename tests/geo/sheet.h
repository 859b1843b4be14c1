// Grids built in a test: a sheet of lines (tolvane::EMPTY everywhere but the
// lines drawn in it), a picture drawn in letters, and the plain distance
// transform that the fast one is checked against.
#ifndef TOLVANE_TESTS_SHEET_H
#define TOLVANE_TESTS_SHEET_H

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::int32_t E = tolvane::EMPTY;

struct Sheet {
    int rows, columns;
    std::vector<std::int32_t> cells;

    Sheet(int rows_, int columns_)
        : rows(rows_), columns(columns_), cells(static_cast<std::size_t>(rows_) * columns_, E)
    {
    }
    std::int32_t &at(int i, int j) { return cells[static_cast<std::size_t>(i) * columns + j]; }
};

// Vertical lines every `step` columns from column `first`, levels 100, 200, ...,
// on the rows where keep(i, j) holds.
template <class Keep> Sheet vertical_lines(int rows, int columns, int first, int step, Keep keep)
{
    Sheet s(rows, columns);
    for (int j = first, level = 100; j < columns; j += step, level += 100)
        for (int i = 0; i < rows; i++)
            if (keep(i, j))
                s.at(i, j) = level;
    return s;
}

// The core on a sheet of levels 100, 200, ... up to its highest.
inline tolvane::Result run(const Sheet &s)
{
    const std::int32_t highest = *std::max_element(s.cells.begin(), s.cells.end(), [](std::int32_t a, std::int32_t b) {
        return (a == E ? 0 : a) < (b == E ? 0 : b);
    });
    return tolvane::elevation(s.cells.data(), s.rows, s.columns, {100, highest, 100});
}

// A grid drawn in letters: '.' empty, 'a' 100, 'b' 200, 'c' 300.
struct Picture {
    int rows = 0, columns = 0;
    std::vector<std::int32_t> cells;
};

inline Picture draw(const std::vector<std::string> &lines)
{
    Picture p;
    p.rows = static_cast<int>(lines.size());
    p.columns = static_cast<int>(lines[0].size());
    for (const std::string &l : lines)
        for (char ch : l)
            p.cells.push_back(ch == '.' ? E : 100 * (ch - 'a' + 1));
    return p;
}

inline long long leaks(const Picture &p)
{
    return tolvane::elevation(p.cells.data(), p.rows, p.columns, {100, 300, 100}).leak_pixels;
}

// The squared distance to the nearest site of every pixel and its index (-1
// and -1 when there is none).
struct NearestSites {
    std::vector<std::int64_t> squared;
    std::vector<std::int64_t> site;
};

// The transform written plainly, one column after the other and then one row
// after the other, in 16 bytes a pixel: the oracle of SiteMap's sites.
inline NearestSites plain_nearest_sites(const std::vector<std::uint8_t> &site, int rows, int columns)
{
    const auto at = [columns](int i, int j) { return static_cast<std::size_t>(i) * columns + j; };
    std::vector<int> site_row(site.size(), -1);
    for (int j = 0; j < columns; j++) {
        for (int i = 0, last = -1; i < rows; i++) {
            if (site[at(i, j)])
                last = i;
            site_row[at(i, j)] = last;
        }
        for (int i = rows - 1, next = -1; i >= 0; i--) {
            if (site[at(i, j)])
                next = i;
            int &r = site_row[at(i, j)];
            if (next >= 0 && (r < 0 || next - i < i - r))
                r = next;
        }
    }
    NearestSites out{std::vector<std::int64_t>(site.size(), -1), std::vector<std::int64_t>(site.size(), -1)};
    std::vector<std::int64_t> f(columns);
    for (int i = 0; i < rows; i++) {
        for (int q = 0; q < columns; q++) {
            const int r = site_row[at(i, q)];
            f[q] = r < 0 ? -1 : static_cast<std::int64_t>(r - i) * (r - i);
        }
        std::vector<int> v;
        std::vector<double> z;
        for (int q = 0; q < columns; q++) {
            if (f[q] < 0)
                continue;
            double s = -INFINITY;
            while (!v.empty()) {
                const int p = v.back();
                s = (static_cast<double>(f[q]) + static_cast<double>(q) * q - static_cast<double>(f[p]) -
                     static_cast<double>(p) * p) /
                    (2.0 * (q - p));
                if (s > z.back())
                    break;
                v.pop_back();
                z.pop_back();
                s = -INFINITY;
            }
            v.push_back(q);
            z.push_back(v.size() == 1 ? -INFINITY : s);
        }
        for (std::size_t x = 0, k = 0; x < static_cast<std::size_t>(columns) && !v.empty(); x++) {
            while (k + 1 < v.size() && z[k + 1] < static_cast<double>(x))
                k++;
            const int q = v[k];
            out.squared[at(i, static_cast<int>(x))] = f[q] + static_cast<std::int64_t>(x - q) * (x - q);
            out.site[at(i, static_cast<int>(x))] = static_cast<std::int64_t>(at(site_row[at(i, q)], q));
        }
    }
    return out;
}

#endif
