// The drainage on a generated surface: the priority flood each way the
// drainage runs it (raised to the spill with parents, as each round of pits;
// a step above, as the flats), each of those on the pixels it moves only,
// a round's flood of a part, and the whole enforcement (its rounds, the trenches, the flats). The
// surface is smooth hills of a fixed seed with dips of a few pixels, some
// deeper than a tenth of the interval; levels every 1000 (the core's units).
// It measures, it asserts nothing.
//
//   build/bench/bench_drainage --benchmark_filter=flood
#include "drainage.h"
#include "flood.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace geo = tolvane::geo;

namespace {

const tolvane::Levels LEVELS{0, 20000, 1000};
const geo::Above STEP = [](double v) { return std::nextafter(v, INFINITY); };

struct Surface {
    int rows, columns;
    std::vector<double> z;
};

const Surface &surface(int side)
{
    static std::vector<Surface> made;
    for (const Surface &s : made)
        if (s.rows == side)
            return s;
    std::mt19937 g(1);
    std::uniform_real_distribution<double> u(0, 1);
    struct Bump {
        double r, c, height, width;
    };
    std::vector<Bump> hills, dips;
    for (int i = 0; i < 60; i++)
        hills.push_back({u(g) * side, u(g) * side, 2000 + 6000 * u(g), side * (0.05 + 0.15 * u(g))});
    for (int i = 0; i < side / 4; i++)
        dips.push_back({u(g) * side, u(g) * side, 50 + 400 * u(g), 1 + 3 * u(g)});
    Surface s{side, side, std::vector<double>(static_cast<std::size_t>(side) * side, 0)};
    for (int r = 0; r < side; r++)
        for (int c = 0; c < side; c++) {
            double v = 500;
            for (const Bump &b : hills)
                v += b.height * std::exp(-((r - b.r) * (r - b.r) + (c - b.c) * (c - b.c)) / (2 * b.width * b.width));
            for (const Bump &b : dips) {
                const double d2 = (r - b.r) * (r - b.r) + (c - b.c) * (c - b.c);
                if (d2 < 36 * b.width * b.width)
                    v -= b.height * std::exp(-d2 / (2 * b.width * b.width));
            }
            s.z[static_cast<std::size_t>(r) * side + c] = v;
        }
    made.push_back(std::move(s));
    return made.back();
}

std::vector<std::int64_t> edges(int rows, int columns)
{
    std::vector<std::int64_t> e;
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < columns; c++)
            if (r == 0 || c == 0 || r == rows - 1 || c == columns - 1)
                e.push_back(static_cast<std::int64_t>(r) * columns + c);
    return e;
}

// The flood raising each depression to its spill with parents, or giving a
// step above without, of the whole grid; or the first, as the drainage runs
// it, on the pixels it raises or meets at a level and those around them.
enum class Way { RAISE, STEP, FILL };

void flood(benchmark::State &state, Way way)
{
    const Surface &s = surface(static_cast<int>(state.range(0)));
    const std::vector<std::int64_t> outlets = edges(s.rows, s.columns);
    geo::PriorityFlood f(s.rows, s.columns, LEVELS);
    std::vector<double> z;
    std::vector<std::uint8_t> parent;
    for (auto _ : state) {
        state.PauseTiming();
        z = s.z;
        state.ResumeTiming();
        if (way == Way::FILL)
            f.fill(z, outlets, parent);
        else
            f.flood(z, outlets, way == Way::STEP ? nullptr : &parent, way == Way::STEP ? &STEP : nullptr);
        benchmark::DoNotOptimize(z.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s.z.size()));
}

// The flats' rise on the surface filled to its spills, as the drainage meets
// it at its end: a flood of the whole grid, or of the pixels it moves only.
void flats(benchmark::State &state, bool part)
{
    const Surface &s = surface(static_cast<int>(state.range(0)));
    const std::vector<std::int64_t> outlets = edges(s.rows, s.columns);
    geo::PriorityFlood f(s.rows, s.columns, LEVELS);
    std::vector<double> filled = s.z, z;
    f.flood(filled, outlets, nullptr, nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        z = filled;
        state.ResumeTiming();
        if (part)
            f.rise(z, outlets, STEP);
        else
            f.flood(z, outlets, nullptr, &STEP);
        benchmark::DoNotOptimize(z.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s.z.size()));
}

// A round of a part: the pixels a fill raises, flooded from the pixels
// around them, alone (as the drainage's rounds do, with their turns), or as
// the whole grid's flood of a grid where only those have a value (its
// parents only, so the least that rounds did before).
void part(benchmark::State &state, bool alone)
{
    const Surface &s = surface(static_cast<int>(state.range(0)));
    geo::PriorityFlood f(s.rows, s.columns, LEVELS);
    std::vector<double> filled = s.z;
    f.flood(filled, edges(s.rows, s.columns), nullptr, nullptr);
    std::vector<std::uint8_t> in(s.z.size(), 0);
    std::vector<std::int64_t> pixels, around;
    for (std::size_t k = 0; k < s.z.size(); k++)
        if (filled[k] > s.z[k]) {
            in[k] = 1;
            pixels.push_back(static_cast<std::int64_t>(k));
        }
    for (std::size_t e = 0, raised = pixels.size(); e < raised; e++) {
        const int r = static_cast<int>(pixels[e] / s.columns), c = static_cast<int>(pixels[e] % s.columns);
        for (int d = 0; d < 8; d++) {
            const int rr = r + geo::DR[d], cc = c + geo::DC[d];
            const std::int64_t m = static_cast<std::int64_t>(rr) * s.columns + cc;
            if (rr >= 0 && cc >= 0 && rr < s.rows && cc < s.columns && !in[m]) {
                in[m] = 2;
                around.push_back(m);
            }
        }
    }
    pixels.insert(pixels.end(), around.begin(), around.end());
    std::vector<double> masked(s.z.size(), NAN), z;
    for (std::int64_t k : pixels)
        masked[k] = s.z[k];
    std::vector<std::uint8_t> parent(s.z.size());
    std::vector<std::uint32_t> turn(s.z.size());
    for (auto _ : state) {
        state.PauseTiming();
        z = masked;
        state.ResumeTiming();
        if (alone)
            f.flood_pixels(pixels, z, around, parent, turn);
        else
            f.flood(z, around, &parent, nullptr);
        benchmark::DoNotOptimize(z.data());
    }
    state.counters["pixels"] = static_cast<double>(pixels.size());
}

void drainage(benchmark::State &state)
{
    const Surface &s = surface(static_cast<int>(state.range(0)));
    std::vector<double> z;
    for (auto _ : state) {
        state.PauseTiming();
        z = s.z;
        state.ResumeTiming();
        const geo::Drained d = geo::enforce_drainage(z, s.rows, s.columns, LEVELS, STEP, {}, false);
        benchmark::DoNotOptimize(d.moved);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(s.z.size()));
}

} // namespace

BENCHMARK_CAPTURE(flood, raise, Way::RAISE)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flood, fill, Way::FILL)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flood, step, Way::STEP)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flats, whole, false)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flats, part, true)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(part, alone, true)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(part, whole_grid, false)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(drainage)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
