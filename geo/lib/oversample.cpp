#include "oversample.h"

#include "failure.h"
#include "gdal_handles.h"
#include "grid.h"
#include "lines.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include <gdal.h>

namespace tolvane::geo {

namespace {

// The blocks of a grid that lines cross, marked in a map of one byte a block
// and counted as they are first marked.
struct BlocksCrossed {
    long long columns;
    std::vector<std::uint8_t> crossed;
    long long count = 0;

    BlocksCrossed(const Grid &grid, int block)
        : columns(grid.columns / block + 1),
          crossed(static_cast<std::size_t>((static_cast<long long>(grid.rows) / block + 1) * columns), 0)
    {
    }
    void mark(long long k)
    {
        count += crossed[static_cast<std::size_t>(k)] ? 0 : 1;
        crossed[static_cast<std::size_t>(k)] = 1;
    }
};

// Length of the parts of g inside the grid, and the blocks they cross.
void measure(OGRGeometryH g, const Grid &grid, int block, double &length, BlocksCrossed &blocks)
{
    const int parts = OGR_G_GetGeometryCount(g);
    if (parts > 0) {
        for (int k = 0; k < parts; k++)
            measure(OGR_G_GetGeometryRef(g, k), grid, block, length, blocks);
        return;
    }
    const double step = 0.5 * block * std::min(grid.xres, grid.yres);
    auto visit = [&](double x, double y) {
        const double c = (x - grid.origin_x) / grid.xres, r = (grid.origin_y - y) / grid.yres;
        if (c < 0 || r < 0 || c >= grid.columns || r >= grid.rows)
            return false;
        blocks.mark(static_cast<long long>(r / block) * blocks.columns + static_cast<long long>(c / block));
        return true;
    };
    std::vector<double> xs, ys;
    read_vertices(g, xs, ys);
    for (std::size_t k = 0; k + 1 < xs.size(); k++) {
        const double x0 = xs[k], y0 = ys[k];
        const double dx = xs[k + 1] - x0, dy = ys[k + 1] - y0;
        const double d = std::hypot(dx, dy);
        const int samples = static_cast<int>(std::min(1e6, std::ceil(d / step))) + 1;
        int inside = 0;
        for (int s = 0; s < samples; s++) {
            const double t = samples > 1 ? static_cast<double>(s) / (samples - 1) : 0;
            inside += visit(x0 + t * dx, y0 + t * dy);
        }
        length += d * inside / samples;
    }
}

} // namespace

Grid finer(const Grid &grid, int n)
{
    Grid g = grid;
    g.xres = grid.xres / n;
    g.yres = grid.yres / n;
    const double rows = static_cast<double>(grid.rows) * n, columns = static_cast<double>(grid.columns) * n;
    if (n < 1 || rows > INT_MAX || columns > INT_MAX)
        throw Failure("a grid " + std::to_string(n) + " times finer, of " + decimal(rows) + " rows and " +
                      decimal(columns) + " columns, is too large: choose a smaller oversampling");
    g.rows = grid.rows * n;
    g.columns = grid.columns * n;
    return g;
}

double line_spacing(OGRLayerH lines, const Grid &grid, int block)
{
    double length = 0;
    BlocksCrossed blocks(grid, block);
    OGR_L_ResetReading(lines);
    while (OGRFeatureH f = OGR_L_GetNextFeature(lines)) {
        if (OGRGeometryH g = OGR_F_GetGeometryRef(f))
            measure(g, grid, block, length, blocks);
        OGR_F_Destroy(f);
    }
    OGR_L_ResetReading(lines);
    if (!(length > 0))
        return std::numeric_limits<double>::infinity();
    const double area = static_cast<double>(blocks.count) * block * block * grid.xres * grid.yres;
    return area / length / std::sqrt(grid.xres * grid.yres);
}

int auto_oversample(double spacing, double cells)
{
    // Calibrated on real lines (bench/compare_oversample.py): the error falls
    // until about 4 fine cells separate neighbouring lines, then stays; where
    // lines come within 4/3 of a pixel (4 cells or more wanted), the pixel's
    // centre reading needs the finest grid.
    if (!(spacing < 6))
        return 1;
    int wanted = std::max(2, static_cast<int>(std::ceil(4 / spacing)));
    if (wanted >= 4)
        wanted = AUTO_OVERSAMPLE_MAX;
    const int affordable = std::max(2, static_cast<int>(std::floor(std::sqrt(16e6 / std::max(1.0, cells)))));
    return std::min(wanted, affordable);
}

bool tries_finer(int requested, int chosen, double cells)
{
    return requested == 0 && chosen == AUTO_OVERSAMPLE_MAX &&
           cells * AUTO_OVERSAMPLE_FINE * AUTO_OVERSAMPLE_FINE <= FINE_TRY_CELLS;
}

double square_side(double spacing)
{
    // Lines a pixel apart or more: one line at most crosses a pixel, and the
    // surface between lines is the core's interpolation; read it where the pixel
    // is, at its centre. Three lines a pixel or more: the pixel stands for their
    // mean over it. In between the square grows with the lines per pixel.
    const double per_pixel = 1 / spacing;
    return std::clamp((per_pixel - 1) / 2, 0.0, 1.0);
}

std::vector<double> pixel_weights(int n, Aggregation how, double side)
{
    // The square never shrinks below one cell: the central cell, or the two
    // central ones of an even n, equally. Its bounds are taken in fine cells,
    // where at that least side they fall on a cell's edge or middle exactly:
    // taken as fractions of the pixel (thirds, fifths), they left a cell beside
    // the central one a weight of 1e-17, and a summit's flat cell beside
    // a lower one came out a hair below its level.
    std::vector<double> weight(n);
    const double centre = n / 2.0, half = std::max(side * n, 1.0) / 2;
    for (int k = 0; k < n; k++) {
        if (how == Aggregation::tent)
            weight[k] = 1 - 2 * std::fabs((k + 0.5) / n - 0.5);
        else
            weight[k] = std::max(0.0, std::min(k + 1.0, centre + half) - std::max(static_cast<double>(k), centre - half));
    }
    return weight;
}

std::vector<double> aggregate(const std::int32_t *fine, int rows, int columns, int n, Aggregation how, double side)
{
    const int out_rows = rows / n, out_columns = columns / n;
    std::vector<double> out(static_cast<std::size_t>(out_rows) * out_columns);
    if (n == 1) {
        std::transform(fine, fine + out.size(), out.begin(),
                       [](std::int32_t v) { return v == tolvane::EMPTY ? NAN : static_cast<double>(v); });
        return out;
    }
    if (how == Aggregation::tent || how == Aggregation::square)
        return aggregate_spread(fine, rows, columns, 0, 0, rows, columns, n, how, side);
    // GDAL's downsampling in RasterIO, on the cells where they are (no copy).
    char name[160];
    std::snprintf(name, sizeof name, "MEM:::DATAPOINTER=%p,PIXELS=%d,LINES=%d,BANDS=1,DATATYPE=Int32",
                  static_cast<const void *>(fine), columns, rows);
    Dataset ds(GDALOpen(name, GA_Update));
    if (!ds)
        throw Failure("cannot aggregate the fine grid: " + gdal_reason());
    GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
    GDALSetRasterNoDataValue(band, tolvane::EMPTY);
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    switch (how) {
    case Aggregation::tent:
    case Aggregation::square:
    case Aggregation::mean:
        extra.eResampleAlg = GRIORA_Average;
        break;
    case Aggregation::bilinear:
        extra.eResampleAlg = GRIORA_Bilinear;
        break;
    case Aggregation::cubic:
        extra.eResampleAlg = GRIORA_Cubic;
        break;
    case Aggregation::gauss:
        extra.eResampleAlg = GRIORA_Gauss;
        break;
    }
    if (GDALRasterIOEx(band, GF_Read, 0, 0, columns, rows, out.data(), out_columns, out_rows, GDT_Float64, 0, 0,
                       &extra) != CE_None)
        throw Failure("cannot aggregate the fine grid: " + gdal_reason());
    for (double &v : out)
        if (v == tolvane::EMPTY)
            v = NAN;
    return out;
}

std::vector<double> aggregate_spread(const std::int32_t *part, int part_rows, int part_columns, int top, int left,
                                     int rows, int columns, int n, Aggregation how, double side)
{
    // The cell of the part that each row and column of the grid shows.
    const auto from = [](int k, int offset, int size) { return std::clamp(k - offset, 0, size - 1); };
    const bool separable = how == Aggregation::tent || how == Aggregation::square;
    if (!separable || n == 1) {
        if (top == 0 && left == 0 && part_rows == rows && part_columns == columns)
            return aggregate(part, rows, columns, n, how, side);
        std::vector<std::int32_t> full(static_cast<std::size_t>(rows) * columns);
        for (int i = 0; i < rows; i++) {
            const std::int32_t *row = part + static_cast<std::size_t>(from(i, top, part_rows)) * part_columns;
            for (int j = 0; j < columns; j++)
                full[static_cast<std::size_t>(i) * columns + j] = row[from(j, left, part_columns)];
        }
        return aggregate(full.data(), rows, columns, n, how, side);
    }
    const int out_rows = rows / n, out_columns = columns / n;
    std::vector<double> out(static_cast<std::size_t>(out_rows) * out_columns);
    const std::vector<double> weight = pixel_weights(n, how, side);
    std::vector<int> column_of(static_cast<std::size_t>(columns));
    for (int j = 0; j < columns; j++)
        column_of[j] = from(j, left, part_columns);
    // Each pixel's mean is taken about the value of its central cell, so that
    // a pixel whose cells all hold one value (a summit's flat, a line's level)
    // keeps it exactly, as the tests of a cell at a level downstream expect.
    std::vector<double> sum(out_columns), total(out_columns), about(out_columns);
    for (int i = 0; i < out_rows; i++) {
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(total.begin(), total.end(), 0.0);
        const std::int32_t *middle = part + static_cast<std::size_t>(from(i * n + n / 2, top, part_rows)) * part_columns;
        for (int j = 0; j < out_columns; j++) {
            const std::int32_t v = middle[column_of[static_cast<std::size_t>(j) * n + n / 2]];
            about[j] = v == tolvane::EMPTY ? 0.0 : static_cast<double>(v);
        }
        for (int a = 0; a < n; a++) {
            const std::int32_t *row = part + static_cast<std::size_t>(from(i * n + a, top, part_rows)) * part_columns;
            for (int j = 0; j < columns; j++) {
                const std::int32_t v = row[column_of[j]];
                if (v != tolvane::EMPTY) {
                    const double w = weight[a] * weight[j % n];
                    sum[j / n] += w * (v - about[j / n]);
                    total[j / n] += w;
                }
            }
        }
        for (int j = 0; j < out_columns; j++)
            out[static_cast<std::size_t>(i) * out_columns + j] = total[j] > 0 ? about[j] + sum[j] / total[j] : NAN;
    }
    return out;
}

std::vector<std::uint8_t> finer_footprint(const std::vector<std::uint8_t> &inside, int columns, int n, int row,
                                          int column, int rows, int window_columns)
{
    const std::size_t cells = static_cast<std::size_t>(rows) * window_columns;
    std::vector<std::uint8_t> w(cells);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < window_columns; j++)
            w[static_cast<std::size_t>(i) * window_columns + j] =
                inside[static_cast<std::size_t>((row + i) / n) * columns + (column + j) / n];
    return erode(std::move(w), rows, window_columns, n - 1);
}

std::vector<std::uint8_t> erode(std::vector<std::uint8_t> w, int rows, int window_columns, int r)
{
    if (r <= 0)
        return w;
    const std::size_t cells = static_cast<std::size_t>(rows) * window_columns;
    // Erosion by a square of side 2r + 1: along the rows, then along the columns.
    std::vector<std::uint8_t> across(cells);
    for (int i = 0; i < rows; i++) {
        const std::uint8_t *in = w.data() + static_cast<std::size_t>(i) * window_columns;
        std::uint8_t *out = across.data() + static_cast<std::size_t>(i) * window_columns;
        int last_outside = -1 - r; // column of the last outside cell seen
        for (int j = 0; j < window_columns; j++) {
            if (!in[j])
                last_outside = j;
            out[j] = j - last_outside > r;
        }
        last_outside = window_columns + r;
        for (int j = window_columns - 1; j >= 0; j--) {
            if (!in[j])
                last_outside = j;
            out[j] = out[j] && last_outside - j > r;
        }
    }
    for (int j = 0; j < window_columns; j++) {
        int last_outside = -1 - r;
        for (int i = 0; i < rows; i++) {
            if (!across[static_cast<std::size_t>(i) * window_columns + j])
                last_outside = i;
            w[static_cast<std::size_t>(i) * window_columns + j] = i - last_outside > r;
        }
        last_outside = rows + r;
        for (int i = rows - 1; i >= 0; i--) {
            std::uint8_t &cell = w[static_cast<std::size_t>(i) * window_columns + j];
            if (!across[static_cast<std::size_t>(i) * window_columns + j])
                last_outside = i;
            cell = cell && last_outside - i > r;
        }
    }
    return w;
}

std::vector<std::uint8_t> aggregate_any(const std::uint8_t *mask, int rows, int columns, int n)
{
    const int out_columns = columns / n;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(rows / n) * out_columns, 0);
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++)
            if (mask[static_cast<std::size_t>(i) * columns + j])
                out[static_cast<std::size_t>(i / n) * out_columns + j / n] = 1;
    return out;
}

} // namespace tolvane::geo
