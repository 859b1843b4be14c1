// Oversampling and windowed runs: the bundled lines burned finer come closer to
// the surface they were drawn from, a factor of 1 is the core's result cell for
// cell, windows under a small memory budget stay within it and within a unit of
// the whole run, and more than 254 zones run as the same area split by hand.
#include "failure.h"
#include "gdal_handles.h"
#include "oversample.h"
#include "windows.h"

#include <tolvane/tolvane.h>

#include <cpl_error.h>
#include <gdal.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace geo = tolvane::geo;

namespace {

struct RegisterGdal : ::testing::Environment {
    void SetUp() override
    {
        GDALAllRegister();
        CPLPushErrorHandler(CPLQuietErrorHandler); // the test windows carry no coordinate system
    }
};
const auto *const gdal_registered = ::testing::AddGlobalTestEnvironment(new RegisterGdal);

// The bundled lines over the surface they were drawn from (2000 x 1500 m from
// (440000, 4476500)), burned on any window of a grid of `pixel` metres.
struct Hills {
    geo::Dataset lines{GDALOpenEx(COLINAS_GPKG, GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr)};
    static constexpr double X0 = 440000, Y0 = 4476500, WIDTH = 2000, HEIGHT = 1500;

    void burn(double pixel, const geo::Block &w, std::int32_t *cells) const
    {
        geo::Dataset raster = geo::memory_raster(w.columns, w.rows, GDT_Int32);
        double transform[6] = {X0 + w.column * pixel, pixel, 0, Y0 - w.row * pixel, 0, -pixel};
        GDALSetGeoTransform(raster.get(), transform);
        GDALRasterBandH band = GDALGetRasterBand(raster.get(), 1);
        GDALFillRaster(band, tolvane::EMPTY, 0);
        geo::Arguments args{"-a", "elev"};
        GDALRasterizeOptions *options = GDALRasterizeOptionsNew(args.argv(), nullptr);
        ASSERT_NE(GDALRasterize(nullptr, raster.get(), lines.get(), options, nullptr), nullptr);
        GDALRasterizeOptionsFree(options);
        ASSERT_EQ(GDALRasterIO(band, GF_Read, 0, 0, w.columns, w.rows, cells, w.columns, w.rows, GDT_Int32, 0, 0),
                  CE_None);
    }
    geo::BurnWindow source(double pixel) const
    {
        return [this, pixel](const geo::Block &w, std::int32_t *cells) { burn(pixel, w, cells); };
    }
};

// RMSE of `cells` (pixels of `pixel` metres over the hills) against the surface's
// area mean over each pixel.
double rmse(const std::vector<double> &cells, double pixel)
{
    geo::Dataset surface(GDALOpen(SURFACE_TIF, GA_ReadOnly));
    const int columns = static_cast<int>(Hills::WIDTH / pixel), rows = static_cast<int>(Hills::HEIGHT / pixel);
    std::vector<double> truth(static_cast<std::size_t>(rows) * columns);
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    extra.eResampleAlg = GRIORA_Average;
    EXPECT_EQ(GDALRasterIOEx(GDALGetRasterBand(surface.get(), 1), GF_Read, 0, 0, 200, 150, truth.data(), columns,
                             rows, GDT_Float64, 0, 0, &extra),
              CE_None);
    double sum = 0;
    for (std::size_t k = 0; k < truth.size(); k++)
        sum += (cells[k] - truth[k]) * (cells[k] - truth[k]);
    return std::sqrt(sum / static_cast<double>(truth.size()));
}

geo::WindowedRun hills_run(double pixel, int factor)
{
    geo::WindowedRun run;
    run.factor = factor;
    run.rows = static_cast<int>(Hills::HEIGHT / pixel) * factor;
    run.columns = static_cast<int>(Hills::WIDTH / pixel) * factor;
    run.levels = {325, 575, 25};
    run.threads = 1;
    return run;
}

TEST(Oversample, FinerGridsComeCloserToTheSurface)
{
    const Hills hills;
    // Lines about two 50 m pixels apart.
    std::vector<double> error;
    for (int n : {1, 2, 4}) {
        const geo::WindowedResult r = geo::run_windows(hills_run(50, n), hills.source(50.0 / n));
        ASSERT_EQ(r.rows, 30);
        ASSERT_EQ(r.columns, 40);
        EXPECT_EQ(r.windows, 1);
        EXPECT_EQ(r.leak_pixels, 0);
        error.push_back(rmse(r.cells, 50));
    }
    EXPECT_LT(error[1], 0.8 * error[0]) << error[0] << " " << error[1];
    EXPECT_LT(error[2], error[1]) << error[1] << " " << error[2];
    // The automatic factor agrees that these lines need a finer grid, and that
    // the 10 m pixel they were drawn on does not.
    EXPECT_GE(geo::auto_oversample(2.0, 1200), 2);
    EXPECT_EQ(geo::auto_oversample(10.0, 30000), 1);
}

// About 4 fine cells between lines, from 2, and 6 for lines within 4/3 of a
// pixel, within 16 million fine cells.
// What the automatic factor promises, over a sweep of spacings and grid sizes:
// lines 6 pixels apart or more are left alone; closer lines get at least two
// fine cells between them unless the largest factor or the cost stops it; the
// fine grid stays within 16 million cells or 2 x 2 times the grid; and denser
// lines never get a coarser factor than sparser ones on the same grid.
TEST(Oversample, AutomaticFactorKeepsItsPromises)
{
    for (double cells : {1e4, 1e5, 1e6, 4e6, 1e8}) {
        int before = geo::AUTO_OVERSAMPLE_MAX + 1;
        for (double spacing = 0.05; spacing < 12; spacing *= 1.07) {
            const int n = geo::auto_oversample(spacing, cells);
            const std::string where = std::to_string(spacing) + " pixels apart on " + std::to_string(cells);
            EXPECT_GE(n, 1) << where;
            EXPECT_LE(n, geo::AUTO_OVERSAMPLE_MAX) << where;
            EXPECT_LE(n, before) << where;
            before = n;
            if (spacing >= 6) {
                EXPECT_EQ(n, 1) << where;
                continue;
            }
            const double fine = static_cast<double>(n) * n * cells;
            EXPECT_TRUE(fine <= 16e6 || n <= 2) << where;
            const bool capped = n == geo::AUTO_OVERSAMPLE_MAX || (n + 1.0) * (n + 1.0) * cells > 16e6;
            EXPECT_TRUE(spacing * n >= 2 || capped) << where;
        }
    }
    EXPECT_EQ(geo::auto_oversample(INFINITY, 1e4), 1);
}

TEST(Oversample, FactorOneIsTheCoreCellForCell)
{
    const Hills hills;
    const geo::WindowedRun run = hills_run(10, 1);
    std::vector<std::int32_t> cells(static_cast<std::size_t>(run.rows) * run.columns, tolvane::EMPTY);
    hills.burn(10, {0, 0, run.rows, run.columns}, cells.data());
    tolvane::Options options;
    options.threads = 1;
    const tolvane::Result whole = tolvane::elevation(cells.data(), run.rows, run.columns, run.levels, options);
    const geo::WindowedResult r = geo::run_windows(run, hills.source(10));
    ASSERT_EQ(r.cells.size(), whole.cells.size());
    for (std::size_t k = 0; k < whole.cells.size(); k++)
        ASSERT_EQ(r.cells[k], static_cast<double>(whole.cells[k])) << "cell " << k;
    EXPECT_EQ(r.zone_pixels, whole.zone_pixels);
    EXPECT_EQ(r.contour_pixels, whole.contour_pixels);
}

TEST(Oversample, AggregationWeighsTheCellsUnderEachPixel)
{
    const std::int32_t E = tolvane::EMPTY;
    // Two pixels of 2 x 2 cells; the second has one cell without value.
    const std::vector<std::int32_t> fine = {1, 3, 10, E, 5, 7, 20, 30};
    EXPECT_EQ(geo::aggregate(fine.data(), 2, 4, 2, geo::Aggregation::mean), (std::vector<double>{4, 20}));
    EXPECT_EQ(geo::aggregate(fine.data(), 2, 4, 2, geo::Aggregation::tent), (std::vector<double>{4, 20}));
    const std::vector<std::int32_t> empty(4, E);
    EXPECT_TRUE(std::isnan(geo::aggregate(empty.data(), 2, 2, 2)[0]));
    // 3 x 3 cells: the pyramid at their centres gives 1/3, 1, 1/3 along each
    // side, so the centre weighs 9/25.
    const std::vector<std::int32_t> nine = {0, 0, 0, 0, 90, 0, 0, 0, 0};
    EXPECT_DOUBLE_EQ(geo::aggregate(nine.data(), 3, 3, 3, geo::Aggregation::tent)[0], 90.0 * 9 / 25);
    EXPECT_DOUBLE_EQ(geo::aggregate(nine.data(), 3, 3, 3, geo::Aggregation::mean)[0], 10.0);
}

// The square's side follows the lines per pixel: the cells at the centre while
// one line at most crosses a pixel, the whole pixel from three, between them
// half the lines per pixel beyond the first.
TEST(Oversample, SquareNarrowsForSparseLinesAndWidensForDense)
{
    EXPECT_EQ(geo::square_side(std::numeric_limits<double>::infinity()), 0.0);
    EXPECT_EQ(geo::square_side(1.0), 0.0);
    EXPECT_DOUBLE_EQ(geo::square_side(0.5), 0.5);
    EXPECT_DOUBLE_EQ(geo::square_side(1.0 / 3), 1.0);
    EXPECT_EQ(geo::square_side(0.1), 1.0);

    // One pixel of 4 x 4 cells: a ramp along the rows and a single high cell
    // in a corner, which only a wide square sees.
    std::vector<std::int32_t> fine(16);
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            fine[i * 4 + j] = 10 * i;
    fine[0] = 1000;
    const auto square = [&](double spacing) {
        return geo::aggregate(fine.data(), 4, 4, 4, geo::Aggregation::square, geo::square_side(spacing))[0];
    };
    EXPECT_DOUBLE_EQ(square(2.0), 15.0);  // the 2 x 2 central cells
    EXPECT_DOUBLE_EQ(square(0.25), (1000 + 4 * (10 + 20 + 30)) / 16.0); // the area mean
    // Lines half a pixel apart: a square of half a pixel, the central cells again.
    EXPECT_DOUBLE_EQ(square(0.5), 15.0);
    // Lines 0.4 pixels apart: a square of 0.75 pixels, the outer cells at half weight.
    const double w[4] = {0.5, 1, 1, 0.5};
    double sum = 0, total = 0;
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++) {
            sum += w[i] * w[j] * fine[i * 4 + j];
            total += w[i] * w[j];
        }
    EXPECT_DOUBLE_EQ(square(0.4), sum / total);
    // An odd factor reads the central cell alone.
    const std::vector<std::int32_t> nine = {0, 0, 0, 0, 90, 0, 0, 0, 0};
    EXPECT_DOUBLE_EQ(geo::aggregate(nine.data(), 3, 3, 3, geo::Aggregation::square, geo::square_side(3.0))[0], 90.0);
}

// A pixel whose cells hold one level keeps it exactly at every factor and side:
// the smooth surface and the drainage take a cell at a level for a summit's or
// a pit's flat, and a hair below it for a slope under the level. At the least
// side a pixel reads its central cells alone, whatever lies beside them.
TEST(Oversample, PixelAtALevelKeepsItExactly)
{
    for (int n : {2, 3, 5, 6, 7, 10}) {
        std::vector<std::int32_t> fine(static_cast<std::size_t>(n) * n, 26000);
        for (double side : {0.0, 0.3, 0.7, 1.0})
            EXPECT_EQ(geo::aggregate(fine.data(), n, n, n, geo::Aggregation::square, side)[0], 26000.0)
                << "n " << n << ", side " << side;
        for (int i = 0; i < n; i++)
            fine[static_cast<std::size_t>(i) * n + n - 1] = 25990; // a lower column at the pixel's edge
        if (n > 2) {
            EXPECT_EQ(geo::aggregate(fine.data(), n, n, n, geo::Aggregation::square, 0.0)[0], 26000.0) << "n " << n;
        }
    }
}

// A part of 3 x 4 cells inside a grid of 6 x 6 (by 2) or 9 x 6 (by 3), its
// edge continued: the pixels over the continued cells take the edge's values.
TEST(Oversample, AggregationOfAPartContinuedBeyondItsEdges)
{
    const std::int32_t E = tolvane::EMPTY;
    const std::vector<std::int32_t> part = {10, 20, 30, 40, 50, E, 70, 80, 90, 100, 110, E};
    // By 2, the part at (1, 1) of 6 x 6: the first pixel repeats cell (0, 0)
    // three times around it, the last row of pixels repeats the part's last
    // row, whose last cell holds no value (GDAL's mean of whole numbers is whole).
    const std::vector<double> by_two =
        geo::aggregate_spread(part.data(), 3, 4, 1, 1, 6, 6, 2, geo::Aggregation::mean);
    ASSERT_EQ(by_two.size(), 9u);
    const double expected[9] = {10, 25, 40, 70, 93, 80, 90, 105, NAN};
    for (int k = 0; k < 8; k++)
        EXPECT_DOUBLE_EQ(by_two[k], expected[k]) << k;
    EXPECT_TRUE(std::isnan(by_two[8]));
    // The tent and the mean read the same continued grid.
    for (auto how : {geo::Aggregation::square, geo::Aggregation::tent, geo::Aggregation::mean})
        for (const auto &[top, left, rows, columns, n] :
             {std::array<int, 5>{0, 0, 3, 4, 1}, {1, 1, 6, 6, 2}, {2, 0, 9, 6, 3}, {0, 2, 4, 6, 2}}) {
            std::vector<std::int32_t> full(static_cast<std::size_t>(rows) * columns);
            for (int i = 0; i < rows; i++)
                for (int j = 0; j < columns; j++)
                    full[static_cast<std::size_t>(i) * columns + j] =
                        part[static_cast<std::size_t>(std::clamp(i - top, 0, 2)) * 4 + std::clamp(j - left, 0, 3)];
            const std::vector<double> expected = geo::aggregate(full.data(), rows, columns, n, how);
            const std::vector<double> got = geo::aggregate_spread(part.data(), 3, 4, top, left, rows, columns, n, how);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t k = 0; k < got.size(); k++)
                EXPECT_TRUE(got[k] == expected[k] || (std::isnan(got[k]) && std::isnan(expected[k])))
                    << top << " " << left << " by " << n << ", pixel " << k;
        }
}

// Runs `cells` (rows x columns) through run_windows, the source copying windows.
geo::WindowedResult run_copied(geo::WindowedRun run, const std::vector<std::int32_t> &cells,
                               long long *largest = nullptr)
{
    return geo::run_windows(run, [&](const geo::Block &w, std::int32_t *out) {
        if (largest)
            *largest = std::max(*largest, static_cast<long long>(w.rows) * w.columns);
        for (int i = 0; i < w.rows; i++)
            std::copy_n(cells.data() + static_cast<std::size_t>(w.row + i) * run.columns + w.column, w.columns,
                        out + static_cast<std::size_t>(i) * w.columns);
    });
}

// Vertical contours every 4 columns, one level apart: `levels` levels, so
// levels - 1 zones.
std::vector<std::int32_t> stripes(int rows, int columns, int levels)
{
    std::vector<std::int32_t> cells(static_cast<std::size_t>(rows) * columns, tolvane::EMPTY);
    for (int k = 0; k < levels; k++)
        for (int i = 0; i < rows; i++)
            cells[static_cast<std::size_t>(i) * columns + 2 + 4 * k] = 100 + 10 * k;
    return cells;
}

TEST(Windows, SmallBudgetStaysWithinIt)
{
    // Narrow zones: a halo of 16 cells holds every zone's two contours, so the
    // windows give the whole run's cells.
    geo::WindowedRun run;
    run.rows = 300;
    run.columns = 4 * 200 + 4;
    run.levels = {100, 100 + 10 * 199, 10};
    run.threads = 1;
    const std::vector<std::int32_t> cells = stripes(run.rows, run.columns, 200);
    const geo::WindowedResult whole = run_copied(run, cells);
    ASSERT_EQ(whole.windows, 1);
    run.memory = 4 * 1024 * 1024;
    run.halo = 16;
    long long largest = 0;
    const geo::WindowedResult windowed = run_copied(run, cells, &largest);
    EXPECT_GT(windowed.windows, 4);
    // The windows and the result of the whole grid, together within the budget.
    EXPECT_LE(static_cast<double>(largest) * geo::WINDOW_BYTES_PER_CELL +
                  static_cast<double>(run.rows) * run.columns * geo::RESULT_BYTES_PER_PIXEL,
              run.memory);
    EXPECT_EQ(windowed.cells, whole.cells);
    EXPECT_EQ(windowed.contour_pixels, whole.contour_pixels);

    run.halo = 256; // not even one window with its halo
    EXPECT_THROW(run_copied(run, cells), geo::Failure);
}

TEST(Windows, HaloShorterThanTheZonesCostsAccuracy)
{
    // Wide zones on a gentle slope reach past a halo of 128 cells (32 pixels;
    // the default is 256 pixels): the windows change cells in the widest zones
    // by up to 7 m, and the error against the surface from 2.97 to 3.64 m.
    const Hills hills;
    const geo::WindowedRun whole_run = hills_run(10, 4); // 600 x 800 fine cells
    const geo::WindowedResult whole = geo::run_windows(whole_run, hills.source(2.5));
    geo::WindowedRun run = whole_run;
    run.memory = 8.0 * 1024 * 1024;
    run.halo = 128;
    const geo::WindowedResult windowed = geo::run_windows(run, hills.source(2.5));
    EXPECT_GT(windowed.windows, 1);
    EXPECT_LT(rmse(windowed.cells, 10), 1.3 * rmse(whole.cells, 10));
}

TEST(Windows, MoreThan254ZonesRunAsTheAreaSplitByHand)
{
    const int rows = 40, columns = 4 * 300 + 4;
    const std::vector<std::int32_t> cells = stripes(rows, columns, 300);
    const tolvane::Levels levels{100, 100 + 10 * 299, 10};
    tolvane::Options options;
    options.threads = 1;
    EXPECT_THROW(tolvane::elevation(cells.data(), rows, columns, levels, options), tolvane::Error);

    geo::WindowedRun run;
    run.rows = rows;
    run.columns = columns;
    run.levels = levels;
    run.threads = 1;
    const geo::WindowedResult r = geo::run_windows(run, [&](const geo::Block &w, std::int32_t *out) {
        for (int i = 0; i < w.rows; i++)
            std::copy_n(cells.data() + static_cast<std::size_t>(w.row + i) * columns + w.column, w.columns,
                        out + static_cast<std::size_t>(i) * w.columns);
    });
    EXPECT_GT(r.windows, 1);
    EXPECT_EQ(r.leak_pixels, 0);
    EXPECT_TRUE(r.missing_levels.empty());

    // By hand: the left and the right part, each with its own levels and 100
    // columns past the cut, which lies between two lines.
    const int cut = 4 * 150 + 4;
    auto part = [&](int from, int to, int low, int high) {
        std::vector<std::int32_t> c;
        for (int i = 0; i < rows; i++)
            c.insert(c.end(), cells.begin() + i * columns + from, cells.begin() + i * columns + to);
        return tolvane::elevation(c.data(), rows, to - from, {low, high, 10}, options).cells;
    };
    const std::vector<std::int32_t> left = part(0, cut + 100, 100, 100 + 10 * 175);
    const std::vector<std::int32_t> right = part(cut - 100, columns, 100 + 10 * 126, 100 + 10 * 299);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::int32_t expected =
                j < cut ? left[i * (cut + 100) + j] : right[i * (columns - cut + 100) + j - (cut - 100)];
            ASSERT_EQ(r.cells[static_cast<std::size_t>(i) * columns + j], expected) << "row " << i << ", column " << j;
        }

    // 300 levels within a single pixel.
    run.rows = 20;
    run.columns = 30;
    run.factor = 10;
    try {
        geo::run_windows(run, [](const geo::Block &w, std::int32_t *out) {
            for (int i = 0; i < w.rows; i++)
                for (int j = 0; j < w.columns; j++)
                    out[i * w.columns + j] = 100 + 10 * ((w.column + j) % 10 * 30 + (w.row + i) % 10 * 3 % 30);
        });
        FAIL() << "not refused";
    } catch (const tolvane::Error &e) {
        EXPECT_EQ(e.kind(), tolvane::ErrorKind::too_many_zones);
    }
}

TEST(Oversample, FootprintOnTheFineGridIsErodedByAPixel)
{
    // Two pixels, the right one outside; three times finer.
    const std::vector<std::uint8_t> inside = {1, 0};
    const std::vector<std::uint8_t> fine = geo::finer_footprint(inside, 2, 3, 0, 0, 3, 6);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(std::vector<std::uint8_t>(fine.begin() + i * 6, fine.begin() + i * 6 + 6),
                  (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0}));
    // Margins: only what the finer grid adds, and one cell left.
    const geo::Margins m = geo::fine_margins(4, 4.0, 2.5, -1, 40);
    EXPECT_EQ(m.top, 3);
    EXPECT_EQ(m.left, 1);
    EXPECT_EQ(m.bottom, 0);
    EXPECT_EQ(m.right, 3);
}

} // namespace
