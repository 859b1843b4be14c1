// Exact distances on the grid: the nearest site of every pixel against every
// pair, the same sites whatever the threads, and the dilation by a disc; the
// swept near sites against the plain sweeps.
#include "distance.h"
#include "parallel.h"
#include "sheet.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include <gtest/gtest.h>

namespace geo = tolvane::geo;

namespace {

// The plain sweeps: each pixel offered its neighbours' sites one by one,
// taking one only when strictly nearer.
std::vector<std::uint32_t> plain_swept(const std::vector<std::uint8_t> &site, int rows, int columns)
{
    const std::size_t n = static_cast<std::size_t>(rows) * columns;
    std::vector<int> fr(n, -1), fc(n, -1);
    for (std::size_t k = 0; k < n; k++)
        if (site[k]) {
            fr[k] = static_cast<int>(k / columns);
            fc[k] = static_cast<int>(k % columns);
        }
    const auto offer = [&](int i, int j, int a, int b) {
        if (a < 0 || b < 0 || a >= rows || b >= columns)
            return;
        const std::size_t from = static_cast<std::size_t>(a) * columns + b, to = static_cast<std::size_t>(i) * columns + j;
        if (fr[from] < 0)
            return;
        const long long di = i - fr[from], dj = j - fc[from];
        if (fr[to] >= 0) {
            const long long ei = i - fr[to], ej = j - fc[to];
            if (di * di + dj * dj >= ei * ei + ej * ej)
                return;
        }
        fr[to] = fr[from];
        fc[to] = fc[from];
    };
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            offer(i, j, i - 1, j - 1);
            offer(i, j, i - 1, j);
            offer(i, j, i - 1, j + 1);
            offer(i, j, i, j - 1);
        }
    for (int i = rows - 1; i >= 0; i--)
        for (int j = columns - 1; j >= 0; j--) {
            offer(i, j, i + 1, j + 1);
            offer(i, j, i + 1, j);
            offer(i, j, i + 1, j - 1);
            offer(i, j, i, j + 1);
        }
    std::vector<std::uint32_t> near(n, geo::SWEPT_NONE);
    for (std::size_t k = 0; k < n; k++)
        if (fr[k] >= 0)
            near[k] = static_cast<std::uint32_t>(fr[k] * columns + fc[k]);
    return near;
}

// Sites sparse and dense (or none), on grids of one row or one column too,
// and on grids wide enough to be swept in halves.
TEST(SweptNearest, TheSitesOfThePlainSweeps)
{
    std::mt19937 random(20261210);
    for (int run = 0; run < 3000; run++) {
        const int rows = run % 7 == 0 ? 1 : 1 + static_cast<int>(random() % 40);
        const int columns = run % 11 == 0 ? 1 : 1 + static_cast<int>(random() % 40);
        const unsigned one_in = 1 + random() % 60;
        std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
        for (auto &s : site)
            s = random() % one_in == 0;
        ASSERT_EQ(geo::swept_nearest(site, rows, columns), plain_swept(site, rows, columns))
            << rows << " x " << columns << ", run " << run;
    }
    // Grids wide enough to be swept in two halves on two threads, one half
    // waiting on the other row by row; the same on one thread, swept whole.
    for (int threads : {2, 1}) {
        const geo::PassThreads passes(threads);
        for (int run = 0; run < 60; run++) {
            const int rows = run % 5 == 0 ? 2 : 2 + static_cast<int>(random() % 30);
            const int columns = 256 + static_cast<int>(random() % 300);
            const unsigned one_in = run % 6 == 0 ? 100000 : 1 + random() % 400;
            std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
            for (auto &s : site)
                s = random() % one_in == 0;
            ASSERT_EQ(geo::swept_nearest(site, rows, columns), plain_swept(site, rows, columns))
                << rows << " x " << columns << " on " << threads << " threads, run " << run;
        }
    }
}

TEST(SiteMap, ExactAgainstEveryPair)
{
    std::mt19937 random(7);
    for (int rows : {1, 5, 23})
        for (int columns : {1, 9, 31}) {
            std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
            for (auto &s : site)
                s = random() % 17 == 0;
            geo::SiteMap n;
            n.compute(site, rows, columns);
            for (int k = 0; k < rows * columns; k++) {
                long long best = -1;
                for (int m = 0; m < rows * columns; m++)
                    if (site[m]) {
                        const long long di = k / columns - m / columns, dj = k % columns - m % columns;
                        if (best < 0 || di * di + dj * dj < best)
                            best = di * di + dj * dj;
                    }
                ASSERT_EQ(n.squared(k), best) << rows << " x " << columns << ", pixel " << k;
                if (best >= 0) {
                    const long long di = k / columns - n.site(k) / columns, dj = k % columns - n.site(k) % columns;
                    ASSERT_TRUE(site[n.site(k)]);
                    ASSERT_EQ(di * di + dj * dj, best);
                }
            }
        }
}

// Sites scattered, on a lattice (every pixel between two rows of sites is a tie)
// and on a slanted lattice: the same site as the plain transform for every
// pixel, whatever the number of threads and the width of the indices.
TEST(SiteMap, SameSitesOnTiesWhateverTheThreads)
{
    std::mt19937 random(11);
    for (int sheet = 0; sheet < 60; sheet++) {
        const int rows = 1 + static_cast<int>(random() % 260), columns = 1 + static_cast<int>(random() % 260);
        const int one_in = 1 + static_cast<int>(random() % 120);
        std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
        for (int i = 0; i < rows; i++)
            for (int j = 0; j < columns; j++) {
                const bool scattered = random() % one_in == 0;
                const bool lattice = i % 6 == 0 || j % 8 == 0;
                const bool slanted = (7 * i + 3 * j) % 17 == 0;
                site[static_cast<std::size_t>(i) * columns + j] =
                    sheet % 3 == 0 ? scattered : sheet % 3 == 1 ? scattered && lattice : slanted && random() % 4 != 0;
            }
        const NearestSites plain = plain_nearest_sites(site, rows, columns);
        for (int threads : {1, 2, 3, 7})
            for (auto width : {geo::SiteMap::Width::fit, geo::SiteMap::Width::wide}) {
                const geo::PassThreads passes(threads);
                geo::SiteMap map;
                map.compute(site, rows, columns, width);
                for (std::size_t k = 0; k < site.size(); k++) {
                    ASSERT_EQ(map.site(k), plain.site[k]) << rows << " x " << columns << ", pixel " << k << ", "
                                                          << threads << " threads";
                    ASSERT_EQ(map.squared(k), plain.squared[k]);
                }
            }
    }
}

// Discs of radii around every distance between pixels, with a single site, a
// few, many, and none: the pixels within each are those some site reaches.
TEST(WithinDistance, EveryPixelThatASiteReaches)
{
    std::mt19937 random(5);
    for (int sheet = 0; sheet < 24; sheet++) {
        const int rows = 1 + static_cast<int>(random() % 70), columns = 1 + static_cast<int>(random() % 70);
        const int one_in = sheet % 4 == 0 ? 1 << 20 : 1 + static_cast<int>(random() % 300);
        std::vector<std::uint8_t> site(static_cast<std::size_t>(rows) * columns);
        for (auto &s : site)
            s = random() % one_in == 0;
        if (sheet % 4 == 1)
            site[random() % site.size()] = 1;
        for (double squared : {-1.0, 0.0, 0.5, 1.0, 2.0, 8.0, 24.99, 25.0, 65.61, 200.0, 1e4, 1e12}) {
            const std::vector<std::uint8_t> within = geo::within_distance(site, rows, columns, squared);
            for (int k = 0; k < rows * columns; k++) {
                bool reached = false;
                for (int m = 0; m < rows * columns && !reached; m++) {
                    const long long di = k / columns - m / columns, dj = k % columns - m % columns;
                    reached = site[m] && static_cast<double>(di * di + dj * dj) <= squared;
                }
                ASSERT_EQ(within[k], reached) << rows << " x " << columns << ", " << squared << ", pixel " << k;
            }
        }
    }
}

// Discs of varying sizes: a pixel is reached when it lies within the radius of
// some centre, however large the nearer centres' discs are (a small disc beside
// a large one must not hide it).
TEST(WithinOwnRadius, EveryPixelThatSomeDiscReaches)
{
    std::mt19937 random(9);
    for (int sheet = 0; sheet < 30; sheet++) {
        const int rows = 1 + static_cast<int>(random() % 50), columns = 1 + static_cast<int>(random() % 50);
        const int one_in = sheet % 5 == 0 ? 1 << 20 : 1 + static_cast<int>(random() % 120);
        std::vector<float> squared(static_cast<std::size_t>(rows) * columns, 0.0f);
        for (auto &r : squared)
            if (random() % one_in == 0) // radii from under a pixel to 20, a few negative (no disc)
                r = static_cast<float>(static_cast<int>(random() % 420) - 20) * 1.001f;
        std::vector<std::uint8_t> within(squared.size(), 7);
        geo::within_own_radius_into(squared.data(), rows, columns, within.data());
        for (int k = 0; k < rows * columns; k++) {
            bool reached = false;
            for (int m = 0; m < rows * columns && !reached; m++) {
                const long long di = k / columns - m / columns, dj = k % columns - m % columns;
                reached = squared[m] > 0 && static_cast<double>(di * di + dj * dj) <= squared[m];
            }
            ASSERT_EQ(within[k], reached) << rows << " x " << columns << ", pixel " << k;
        }
    }
}

} // namespace
