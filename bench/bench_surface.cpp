// The surface's sweeps for the zones' nearest line cells: in two halves of the
// columns on two threads, and whole on one, over rings of line cells 20
// pixels apart around the grid's centre (the lines of a generated hill); and
// the whole smooth surface of such a hill, on the threads the machine has. It
// measures, it asserts nothing.
//
//   build/bench/bench_surface --benchmark_filter=swept
//   build/bench/bench_surface --benchmark_filter=smooth
#include "distance.h"
#include "parallel.h"
#include "surface.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace geo = tolvane::geo;

namespace {

std::vector<std::uint8_t> rings(int n)
{
    std::vector<std::uint8_t> site(static_cast<std::size_t>(n) * n, 0);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++) {
            const double r = std::hypot(i - n / 2.0, j - n / 2.0);
            site[static_cast<std::size_t>(i) * n + j] = std::fabs(r - 20 * std::round(r / 20)) < 0.5;
        }
    return site;
}

void swept(benchmark::State &state, int threads)
{
    const auto n = static_cast<int>(state.range(0));
    const std::vector<std::uint8_t> site = rings(n);
    const geo::PassThreads passes(threads);
    for (auto _ : state)
        benchmark::DoNotOptimize(geo::swept_nearest(site, n, n));
}

// A cone of slope one interval every 20 pixels over an n x n grid, its cells
// as the core draws them (straight between the rings) and the rings' points a
// pixel apart, as the lines give them.
struct Cone {
    std::vector<double> cells;
    std::vector<geo::SurfacePoint> points;
};

constexpr double INTERVAL = 10, SPACING = 20;

Cone cone(int n)
{
    Cone c;
    c.cells.resize(static_cast<std::size_t>(n) * n);
    const double top = INTERVAL * std::floor(n / 2.0 / SPACING);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            c.cells[static_cast<std::size_t>(i) * n + j] =
                std::max(0.0, top - INTERVAL * std::hypot(i + 0.5 - n / 2.0, j + 0.5 - n / 2.0) / SPACING);
    for (double r = SPACING; r < n / 2.0; r += SPACING) {
        const int around = static_cast<int>(std::ceil(2 * M_PI * r));
        for (int k = 0; k < around; k++) {
            const double a = 2 * M_PI * k / around;
            c.points.push_back({n / 2.0 + r * std::sin(a), n / 2.0 + r * std::cos(a), top - INTERVAL * r / SPACING, 1});
        }
    }
    return c;
}

void smooth(benchmark::State &state)
{
    const auto n = static_cast<int>(state.range(0));
    const Cone c = cone(n);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<double> cells = c.cells;
        state.ResumeTiming();
        geo::smooth_surface(cells, n, n, c.points, 0, INTERVAL);
        benchmark::DoNotOptimize(cells.data());
    }
    state.SetItemsProcessed(state.iterations() * n * n);
}

} // namespace

BENCHMARK(smooth)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(swept, halves, 2)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(swept, whole, 1)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
