// A window prepared for the core, the grid placed over the lines, and the
// defaults end to end on the bundled lines at any pixel size.
#include "grid.h"
#include "parallel.h"
#include "sheet.h"
#include "translate.h"

#include <tolvane/geo.h>
#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gdal.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>

namespace geo = tolvane::geo;

namespace {

// Lines every 100 m, three of them stopping halfway and one broken by a gap of
// 20 m, prepared at 4 m on one thread and on several: the same window, with
// its joins, drawn footprint and walls.
TEST(Prepare, SameWindowWhateverTheThreads)
{
    GDALAllRegister();
    const std::string path = testing::TempDir() + "tolvane-prepare-threads.geojson";
    if (FILE *f = std::fopen(path.c_str(), "w")) {
        std::string features;
        for (int k = 0; k <= 10; k++) {
            const std::string x = std::to_string(100 * k), elev = std::to_string(100 + 10 * k);
            const auto line = [&](const std::string &y0, const std::string &y1) {
                features += std::string(features.empty() ? "" : ",") + "{\"type\": \"Feature\", \"properties\": {\"elev\": " +
                            elev + "}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[" + x + ", " + y0 +
                            "], [" + std::to_string(100 * k + 37) + ", " + y1 + "]]}}";
            };
            if (k == 3 || k == 4 || k == 8)
                line("0", "450");
            else if (k == 6) {
                line("0", "590");
                line("610", "1000");
            } else
                line("0", "1000");
        }
        std::fputs(("{\"type\": \"FeatureCollection\", \"crs\": {\"type\": \"name\", \"properties\": {\"name\": "
                    "\"urn:ogc:def:crs:EPSG::25830\"}}, \"features\": [" + features + "]}").c_str(),
                   f);
        std::fclose(f);
    }
    tolvane::geo::Request q;
    q.source.path = path;
    q.grid.xres = q.grid.yres = 4;
    std::optional<tolvane::geo::Window> first;
    for (int threads : {1, 2, 3, 8}) {
        q.core.threads = threads;
        const tolvane::geo::ContourSource source(q);
        const tolvane::geo::Grid &g = source.grid();
        const tolvane::geo::Window w = source.prepare(0, 0, g.rows, g.columns);
        ASSERT_GT(w.outside, 0);
        ASSERT_GT(w.radius, 0);
        if (!first) {
            first = w;
            continue;
        }
        EXPECT_EQ(w.cells, first->cells) << threads << " threads";
        EXPECT_EQ(w.inside, first->inside);
        EXPECT_EQ(w.shown, first->shown);
        EXPECT_EQ(w.grid_joins, first->grid_joins);
        EXPECT_EQ(w.gap_distance, first->gap_distance);
        EXPECT_EQ(w.radius, first->radius);
        EXPECT_EQ(w.open_ends, first->open_ends);
    }
    std::remove(path.c_str());
}

// Slanted lines every 100 m from the bottom edge to the top one, a ring, and a
// line of another level 1 m beside one of them (burned at 4 m the two share
// pixels, which breaks them there), or one of them stopping halfway. Open ends
// come from the lines alone: none on the clean sheet, in one window or four, at
// the pixel or 3 times finer; the line stopping halfway has one, in whichever
// window holds it.
TEST(Prepare, OpenEndsAreTheLinesOwnInEveryWindowAndFactor)
{
    GDALAllRegister();
    for (const bool stopping : {false, true}) {
        const std::string path = testing::TempDir() + "tolvane-prepare-ends.geojson";
        if (FILE *f = std::fopen(path.c_str(), "w")) {
            std::string features;
            const auto line = [&](int elev, const std::string &coordinates) {
                features += std::string(features.empty() ? "" : ",") +
                            "{\"type\": \"Feature\", \"properties\": {\"elev\": " + std::to_string(elev) +
                            "}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [" + coordinates + "]}}";
            };
            for (int k = 0; k <= 10; k++) {
                const std::string x0 = std::to_string(100 * k), x1 = std::to_string(100 * k + 37);
                const std::string y1 = stopping && k == 4 ? "450" : "1000";
                line(100 + 10 * k, "[" + x0 + ", 0], [" + x1 + ", " + y1 + "]");
            }
            line(155, "[501, 0], [538, 1000]");
            line(300, "[250, 400], [300, 450], [250, 500], [200, 450], [250, 400]");
            std::fputs(("{\"type\": \"FeatureCollection\", \"crs\": {\"type\": \"name\", \"properties\": "
                        "{\"name\": \"urn:ogc:def:crs:EPSG::25830\"}}, \"features\": [" + features + "]}").c_str(),
                       f);
            std::fclose(f);
        }
        geo::Request q;
        q.source.path = path;
        q.grid.xres = q.grid.yres = 4;
        geo::ContourSource source(q);
        for (const int factor : {1, 3}) {
            SCOPED_TRACE((stopping ? "stopping, factor " : "clean, factor ") + std::to_string(factor));
            source.set_oversample(factor);
            const int rows = source.grid().rows * factor, columns = source.grid().columns * factor;
            const geo::Window whole = source.prepare(0, 0, rows, columns);
            EXPECT_EQ(whole.open_ends, stopping ? 1u : 0u);
            EXPECT_EQ(whole.radius > 0, stopping);
            std::size_t ends = 0;
            for (const auto &[r0, c0] : {std::pair{0, 0}, {0, columns / 2}, {rows / 2, 0}, {rows / 2, columns / 2}}) {
                const geo::Window w = source.prepare(r0, c0, r0 == 0 ? rows / 2 : rows - rows / 2,
                                                     c0 == 0 ? columns / 2 : columns - columns / 2);
                ends += w.open_ends;
                if (!stopping) {
                    EXPECT_EQ(w.radius, 0);
                    EXPECT_EQ(w.ends_left, 0u);
                    EXPECT_EQ(w.gap_distance, 0);
                }
            }
            EXPECT_EQ(ends, stopping ? 1u : 0u);
        }
        std::remove(path.c_str());
    }
}

// The nodata pixels of an area computed from the source: the NaN cells.
std::vector<std::uint8_t> nodata_of(const std::vector<double> &cells)
{
    std::vector<std::uint8_t> nodata(cells.size());
    for (std::size_t k = 0; k < cells.size(); k++)
        nodata[k] = std::isnan(cells[k]);
    return nodata;
}

// The bundled lines clipped to a disc with three lobes, so that their ends stop
// in rows along its edge. As one window and as four tiles with a halo (each
// tile's windows prepared on their own, as the core's windows under a small
// budget are), at the pixel and twice finer, the footprint drawn through the
// ends and the hull leave the same pixels nodata.
TEST(Prepare, WindowsAndTilesLeaveTheSamePixelsNodata)
{
    GDALAllRegister();
    std::string wkt = "POLYGON ((";
    for (int k = 0; k <= 72; k++) {
        const double a = 2 * M_PI * (k % 72) / 72, r = 560 + 160 * std::cos(3 * a);
        wkt += (k ? ", " : "") + std::to_string(441000 + r * std::cos(a)) + " " +
               std::to_string(4475750 + r * std::sin(a));
    }
    wkt += "))";
    const std::string clipped = testing::TempDir() + "tolvane-prepare-lobed.gpkg";
    std::remove(clipped.c_str());
    translate_lines(clipped, {"-clipsrc", wkt, "-nlt", "MULTILINESTRING"});
    for (const std::string mask : {"", "auto"})
        for (const int factor : {1, 2}) {
            SCOPED_TRACE("mask '" + mask + "', factor " + std::to_string(factor));
            geo::Request q;
            q.source.path = clipped;
            q.grid.xres = q.grid.yres = 10;
            q.footprint.mask = mask;
            q.core.oversample = factor;
            geo::ContourSource source(q);
            geo::settle_oversample(source, q);
            const int rows = source.grid().rows, columns = source.grid().columns;
            const geo::Computed whole = geo::compute(source, q, 0, 0, rows, columns, 0);
            ASSERT_EQ(whole.windows, 1);
            const std::vector<std::uint8_t> nodata = nodata_of(whole.cells);
            const long long empty = std::count(nodata.begin(), nodata.end(), std::uint8_t{1});
            // The clip leaves about half the grid out: a footprint was drawn.
            ASSERT_GT(empty, static_cast<long long>(nodata.size()) / 4);
            ASSERT_LT(empty, static_cast<long long>(nodata.size()) * 3 / 4);

            std::vector<std::uint8_t> tiled(nodata.size(), 2);
            for (const int r0 : {0, rows / 2})
                for (const int c0 : {0, columns / 2}) {
                    const int tile_rows = r0 ? rows - r0 : rows / 2, tile_columns = c0 ? columns - c0 : columns / 2;
                    const geo::Computed tile = geo::compute(source, q, r0, c0, tile_rows, tile_columns, 24);
                    for (int i = 0; i < tile_rows; i++)
                        for (int j = 0; j < tile_columns; j++)
                            tiled[static_cast<std::size_t>(r0 + i) * columns + c0 + j] =
                                std::isnan(tile.cells[static_cast<std::size_t>(i) * tile_columns + j]);
                }
            EXPECT_EQ(tiled, nodata) << "in four tiles";
        }
    std::remove(clipped.c_str());
}

// The default grid over the bundled lines' extent (2000 x 1500 m): the same
// margin on every side, whether or not the pixel size divides the extent; -te
// and -tap keep their own edges.
TEST(GridOver, SameMarginOnEverySide)
{
    const geo::Extent box{440000, 4475000, 442000, 4476500};
    for (double pixel : {3.0, 7.0, 10.0, 13.0, 15.0}) {
        geo::GridRequest o;
        o.xres = o.yres = pixel;
        const geo::Grid g = geo::place_grid(box, o, "");
        const double left = box.xmin - g.origin_x, right = g.origin_x + g.columns * pixel - box.xmax;
        const double top = g.origin_y - box.ymax, bottom = box.ymin - (g.origin_y - g.rows * pixel);
        EXPECT_NEAR(left, right, 1e-6) << pixel;
        EXPECT_NEAR(top, bottom, 1e-6) << pixel;
        EXPECT_GE(left, pixel) << pixel;
        EXPECT_LT(left, 1.5 * pixel) << pixel;
        EXPECT_GE(top, pixel) << pixel;
        EXPECT_LT(top, 1.5 * pixel) << pixel;
    }
    geo::GridRequest aligned;
    aligned.xres = aligned.yres = 7;
    aligned.aligned = true;
    EXPECT_EQ(geo::place_grid(box, aligned, "").origin_x, 439992); // 62856 x 7, below 440000 - 7
    aligned.aligned = false;
    aligned.extent = geo::Extent{439000, 4474000, 443000, 4477000};
    EXPECT_EQ(geo::place_grid(box, aligned, "").origin_x, 439000);
}

// The bundled lines through tolvane-geo: at 10 m the defaults give the cells of a
// run with every default turned off; at pixel sizes that do not divide their
// extent, with or without -tap or a wider -te, nothing leaks and nothing is
// reported.
TEST(Defaults, BundledLinesAtAnyPixelSize)
{
    std::string folder = testing::TempDir() + "tolvane-footprint-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string dir = folder + "/";
    // tolvane-geo -q ARGUMENTS INPUT DIR/OUTPUT: exit status and standard error.
    const auto geo_run = [&](const std::string &arguments, const std::string &input, const std::string &output) {
        const std::string command = "'" TOLVANE_GEO_BIN "' -q " + arguments + " '" + input + "' '" + dir + output +
                                    "' 2> '" + dir + "err.txt'";
        const int status = std::system(command.c_str());
        std::string err;
        if (FILE *f = std::fopen((dir + "err.txt").c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, f))
                err += line;
            std::fclose(f);
        }
        return std::make_pair(status, err);
    };
    const auto bytes = [&](const std::string &name) {
        std::string data;
        if (FILE *f = std::fopen((dir + name).c_str(), "rb")) {
            char block[65536];
            for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;)
                data.append(block, n);
            std::fclose(f);
        }
        return data;
    };
    ASSERT_EQ(geo_run("-tr 10 10", COLINAS_GPKG, "default.tif").first, 0);
    ASSERT_EQ(geo_run("-tr 10 10 -mask none -repair_gaps 0", COLINAS_GPKG, "off.tif").first, 0);
    EXPECT_EQ(bytes("default.tif"), bytes("off.tif"));
    for (const std::string grid : {"-tr 7 7", "-tr 13 13", "-tr 3 3", "-tap -tr 15 15", "-tr 7 7 -te 439900 4474900 442100 4476600"}) {
        const auto [status, err] = geo_run("-strict " + grid, COLINAS_GPKG, "dem.tif");
        EXPECT_EQ(status, 0) << grid << ": " << err;
        EXPECT_EQ(err, "") << grid;
    }

    // A line of 200 that stops halfway between 100 and 300: what is left leaking
    // is named, and -strict refuses it, writing nothing.
    if (FILE *f = std::fopen((dir + "stop.geojson").c_str(), "w")) {
        std::fputs("{\"type\": \"FeatureCollection\", "
                   "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"urn:ogc:def:crs:EPSG::25830\"}}, "
                   "\"features\": ["
                   "{\"type\": \"Feature\", \"properties\": {\"elev\": 100}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[0, 0], [0, 100]]}},"
                   "{\"type\": \"Feature\", \"properties\": {\"elev\": 200}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[50, 0], [50, 50]]}},"
                   "{\"type\": \"Feature\", \"properties\": {\"elev\": 300}, \"geometry\": {\"type\": \"LineString\", \"coordinates\": [[100, 0], [100, 100]]}}]}",
                   f);
        std::fclose(f);
    }
    const std::string stop = dir + "stop.geojson";
    const auto [status, err] = geo_run("-tr 2 2", stop, "warned.tif");
    EXPECT_EQ(status, 0) << err;
    EXPECT_NE(err.find("1 line ends stop in the open inside the footprint"), std::string::npos) << err;
    std::remove((dir + "strict.tif").c_str());
    const auto [strict_status, strict_err] = geo_run("-strict -tr 2 2", stop, "strict.tif");
    EXPECT_NE(strict_status, 0);
    EXPECT_NE(strict_err.find("-strict: "), std::string::npos) << strict_err;
    EXPECT_EQ(bytes("strict.tif"), "");
    std::filesystem::remove_all(folder);
}

} // namespace
