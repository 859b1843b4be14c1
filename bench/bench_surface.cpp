// The surface's sweeps for the zones' nearest line cells: in two halves of the
// columns on two threads, and whole on one, over rings of line cells 20
// pixels apart around the grid's centre (the lines of a generated hill). It
// measures, it asserts nothing.
//
//   build/bench/bench_surface --benchmark_filter=swept
#include "distance.h"
#include "parallel.h"

#include <benchmark/benchmark.h>

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

} // namespace

BENCHMARK_CAPTURE(swept, halves, 2)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(swept, whole, 1)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
