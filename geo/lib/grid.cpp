#include "grid.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include <cpl_conv.h>

namespace tolvane::geo {

namespace {

// Bytes per cell held at once: the contour grid, the core's working grids (15
// bytes), its result, and the output raster with its conversion.
constexpr double BYTES_PER_CELL = 4 + 15 + 4 + 8;

std::string gib(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
    return text;
}

} // namespace

void check_size(double rows, double columns)
{
    const double cells = rows * columns;
    const std::string size = decimal(rows) + " rows and " + decimal(columns) + " columns";
    if (rows > INT_MAX || columns > INT_MAX || cells > 1e15)
        throw Failure("a grid of " + size + " is too large: choose a larger " + named("resolution") + " or a smaller " + named("extent"));
    const double ram = static_cast<double>(CPLGetUsablePhysicalRAM());
    const double need = cells * BYTES_PER_CELL;
    if (ram > 0 && need > ram)
        throw Failure("a grid of " + size + " needs about " + gib(need) + " of memory, this machine has " + gib(ram) +
                      ": choose a larger " + named("resolution") + " or a smaller " + named("extent"));
}

std::array<double, 6> geotransform(const Grid &g, int row, int column)
{
    return {g.origin_x + column * g.xres, g.xres, 0, g.origin_y - row * g.yres, 0, -g.yres};
}

Extent edges(const Grid &g)
{
    return {g.origin_x, g.origin_y - g.rows * g.yres, g.origin_x + g.columns * g.xres, g.origin_y};
}

Grid place_grid(const Extent &box, const GridRequest &o, const std::string &srs_wkt)
{
    if (!(o.xres > 0 && o.yres > 0))
        throw UsageFailure("contour lines need a pixel size: give " + named("resolution"));
    Extent e = o.extent ? *o.extent
                        : Extent{box.xmin - o.xres, box.ymin - o.yres, box.xmax + o.xres, box.ymax + o.yres};
    if (o.aligned) {
        e.xmin = std::floor(e.xmin / o.xres) * o.xres;
        e.xmax = std::ceil(e.xmax / o.xres) * o.xres;
        e.ymin = std::floor(e.ymin / o.yres) * o.yres;
        e.ymax = std::ceil(e.ymax / o.yres) * o.yres;
    }
    // A given extent is divided as GDAL's utilities do (to the nearest whole number
    // of pixels); the lines' box is covered entirely.
    auto count = [&o](double width, double res) {
        const double n = width / res;
        if (o.extent || std::fabs(n - std::nearbyint(n)) <= 1e-9 * std::max(1.0, n))
            return std::max(1.0, std::nearbyint(n));
        return std::ceil(n);
    };
    const double columns = count(e.xmax - e.xmin, o.xres);
    const double rows = count(e.ymax - e.ymin, o.yres);
    check_size(rows, columns);
    // The default grid covers the box with whole pixels: the part of a pixel left
    // over is shared between both sides, so that the lines lie as far from the
    // left edge as from the right, and from the top as from the bottom.
    if (!o.extent && !o.aligned) {
        const double left_over_x = columns * o.xres - (e.xmax - e.xmin);
        const double left_over_y = rows * o.yres - (e.ymax - e.ymin);
        if (left_over_x > 1e-9 * o.xres)
            e.xmin -= left_over_x / 2;
        if (left_over_y > 1e-9 * o.yres)
            e.ymax += left_over_y / 2;
    }
    return {e.xmin, e.ymax, o.xres, o.yres, static_cast<int>(rows), static_cast<int>(columns), srs_wkt};
}


PixelBox box_on(const Extent &e, const Grid &g)
{
    return {static_cast<int>(std::floor((g.origin_y - e.ymax) / g.yres)),
            static_cast<int>(std::floor((e.xmin - g.origin_x) / g.xres)),
            static_cast<int>(std::floor((g.origin_y - e.ymin) / g.yres)),
            static_cast<int>(std::floor((e.xmax - g.origin_x) / g.xres))};
}

} // namespace tolvane::geo
