// The map's own heights besides its lines. Spot heights: the flats they shape
// on constructed cells, then end to end on a hill and a crater drawn as rings,
// for each surface and drainage: every spot height is held within a hundredth
// of the interval, a summit rises to its spot height, a pit at one survives the
// drainage, and the layer of the depressions kept says where and how deep they
// are. Lakes flat at their level; a stream down a valley floor that the flow
// follows; streams turned toward their network's outlet.
#include "spot_heights.h"
#include "streams.h"

#include <tolvane/geo.h>

#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_api.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace geo = tolvane::geo;
namespace fs = std::filesystem;

namespace {

constexpr double PI = 3.14159265358979323846;
const tolvane::Levels LEVELS{0, 4000, 1000};

struct FlatCase {
    std::string name;
    std::function<double(int r, int c)> height; // on 41 x 41 pixels; NaN: no value
    std::vector<geo::SpotHeight> spots;
    // (row, column, value) the shaped cells must hold, and whether the cells
    // of the flat must move monotonically from the spot height to the edge.
    std::vector<std::array<double, 3>> expected;
};

double ring_distance(int r, int c) { return std::hypot(r + 0.5 - 20.5, c + 0.5 - 20.5); }

// A summit (or a pit) flat at 2000 inside its last line at 12 pixels.
double summit(int r, int c) { return ring_distance(r, c) <= 12 ? 2000 : 2000 - 80 * (ring_distance(r, c) - 12); }
double pit(int r, int c) { return ring_distance(r, c) <= 12 ? 2000 : 2000 + 80 * (ring_distance(r, c) - 12); }

const std::vector<FlatCase> FLATS = {
    {"summit raised to its spot height, the edge at the level", summit, {{20.5, 20.5, 2600}},
     {{20, 20, 2600}, {20, 8, 2000}, {20, 32, 2000}, {5, 5, 2000 - 80 * (ring_distance(5, 5) - 12)}}},
    {"pit sunk to its spot height", pit, {{20.5, 20.5, 1500}}, {{20, 20, 1500}, {20, 8, 2000}}},
    // Off a level the core's cells are no flat: nothing moves.
    {"spot height on a slope, untouched", summit, {{20.5, 4.5, 900}}, {{20, 4, summit(20, 4)}, {20, 20, 2000}}},
    {"spot height beyond the cells, untouched", summit, {{-3, 20, 2600}}, {{20, 20, 2000}}},
    // Two summits on one flat: each pixel follows the one that moves it most.
    {"two spot heights on one flat", summit, {{20.5, 14.5, 2400}, {20.5, 26.5, 2800}},
     {{20, 14, 2400}, {20, 26, 2800}}},
    {"spot height on a pixel without value", [](int r, int c) { return r == 20 && c == 20 ? NAN : summit(r, c); },
     {{20.5, 20.5, 2600}}, {{20, 21, 2000}}},
};

} // namespace

TEST(SpotHeights, ShapeTheFlatsTheyFallOn)
{
    for (const FlatCase &t : FLATS) {
        SCOPED_TRACE(t.name);
        std::vector<double> cells(41 * 41);
        for (int r = 0; r < 41; r++)
            for (int c = 0; c < 41; c++)
                cells[r * 41 + c] = t.height(r, c);
        const std::vector<double> before = cells;
        geo::shape_flats(cells, 41, 41, t.spots, LEVELS);
        for (const auto &[r, c, v] : t.expected)
            EXPECT_NEAR(cells[static_cast<int>(r) * 41 + static_cast<int>(c)], v, 1e-9) << r << " " << c;
        for (std::size_t k = 0; k < cells.size(); k++) {
            if (std::isnan(before[k])) {
                ASSERT_TRUE(std::isnan(cells[k]));
                continue;
            }
            // Only the flat moves, and never past the spot heights' altitudes.
            if (before[k] != 2000) {
                ASSERT_EQ(cells[k], before[k]) << k;
                continue;
            }
            double most = 0;
            for (const geo::SpotHeight &s : t.spots)
                most = std::max(most, std::abs(s.value - 2000));
            ASSERT_LE(std::abs(cells[k] - 2000), most + 1e-9) << k;
        }
    }
    // Along a radius of the summit the shape falls from the spot height to the edge.
    std::vector<double> cells(41 * 41);
    for (int r = 0; r < 41; r++)
        for (int c = 0; c < 41; c++)
            cells[r * 41 + c] = summit(r, c);
    geo::shape_flats(cells, 41, 41, {{20.5, 20.5, 2600}}, LEVELS);
    for (int c = 21; c <= 32; c++)
        EXPECT_LT(cells[20 * 41 + c], cells[20 * 41 + c - 1]) << c;
}

TEST(SpotHeights, PinnedOnePixelEach)
{
    std::vector<double> cells(5 * 5, 100.0);
    cells[12] = NAN;
    long long left = 0;
    // Two on pixel (1, 1): the one nearer its centre wins; one on nodata, one beyond.
    const auto pinned = geo::pin_spot_heights(cells, 5, 5, {{1.1, 1.1, 7}, {1.5, 1.6, 8}, {2.5, 2.5, 9}, {6, 1, 10}},
                                              left);
    EXPECT_EQ(pinned, std::vector<std::int64_t>{6});
    EXPECT_EQ(cells[6], 8);
    EXPECT_EQ(left, 1); // the one beyond the area is the caller's to count
}

namespace {

// A sheet of 2000 x 1200 m in EPSG:25830: a hill whose last ring (130) is 90 m
// across, and a crater whose rim (120) holds a flat with no ring inside.
constexpr double X0 = 440000, Y0 = 4475000;
constexpr double HILL_X = X0 + 550, CRATER_X = X0 + 1450, MIDDLE_Y = Y0 + 600;

std::string ring(double x, double y, double radius, double level)
{
    std::string s = R"({"type":"Feature","properties":{"elev":)" + std::to_string(level) +
                    R"(},"geometry":{"type":"LineString","coordinates":[)";
    for (int k = 0; k <= 96; k++) {
        const double a = 2 * PI * (k % 96) / 96;
        s += (k ? "," : "") + std::string("[") + std::to_string(x + radius * std::cos(a)) + "," +
             std::to_string(y + radius * std::sin(a)) + "]";
    }
    return s + "]}}";
}

std::string collection(const std::vector<std::string> &features)
{
    std::string s = R"({"type":"FeatureCollection","crs":{"type":"name","properties":{"name":"urn:ogc:def:crs:EPSG::25830"}},"features":[)";
    for (std::size_t k = 0; k < features.size(); k++)
        s += (k ? "," : "") + features[k];
    return s + "]}";
}

std::string point(double x, double y, double value)
{
    return R"({"type":"Feature","properties":{"cota":)" + std::to_string(value) +
           R"(},"geometry":{"type":"Point","coordinates":[)" + std::to_string(x) + "," + std::to_string(y) + "]}}";
}

void write(const fs::path &file, const std::string &text) { std::ofstream(file) << text; }

struct Model {
    std::vector<float> cells;
    double ox = 0, oy = 0, res = 10;
    int columns = 0, rows = 0;
    float at(double x, double y) const
    {
        const int c = static_cast<int>(std::floor((x - ox) / res)), r = static_cast<int>(std::floor((oy - y) / res));
        return cells[static_cast<std::size_t>(r) * columns + c];
    }
    // The pixels with a value, off the grid's edge and off nodata, that have no
    // lower neighbour of the eight: where water stops.
    int without_outlet() const
    {
        int count = 0;
        for (int r = 1; r + 1 < rows; r++)
            for (int c = 1; c + 1 < columns; c++) {
                const float v = cells[static_cast<std::size_t>(r) * columns + c];
                bool lower = false;
                for (int dr = -1; dr <= 1 && !lower; dr++)
                    for (int dc = -1; dc <= 1 && !lower; dc++)
                        lower = cells[static_cast<std::size_t>(r + dr) * columns + c + dc] < v;
                count += !lower;
            }
        return count;
    }
    // The lowest and highest value within `radius` of (x, y).
    std::pair<float, float> range(double x, double y, double radius) const
    {
        float low = INFINITY, high = -INFINITY;
        for (int r = 0; r < rows; r++)
            for (int c = 0; c < columns; c++)
                if (std::hypot(ox + (c + 0.5) * res - x, oy - (r + 0.5) * res - y) <= radius) {
                    low = std::min(low, cells[static_cast<std::size_t>(r) * columns + c]);
                    high = std::max(high, cells[static_cast<std::size_t>(r) * columns + c]);
                }
        return {low, high};
    }
};

Model read_model(const fs::path &file)
{
    Model m;
    GDALDatasetH d = GDALOpen(file.c_str(), GA_ReadOnly);
    EXPECT_NE(d, nullptr);
    if (!d)
        return m;
    double t[6];
    GDALGetGeoTransform(d, t);
    m.ox = t[0];
    m.oy = t[3];
    m.res = t[1];
    m.columns = GDALGetRasterXSize(d);
    m.rows = GDALGetRasterYSize(d);
    m.cells.resize(static_cast<std::size_t>(m.rows) * m.columns);
    EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(d, 1), GF_Read, 0, 0, m.columns, m.rows, m.cells.data(), m.columns,
                           m.rows, GDT_Float32, 0, 0),
              CE_None);
    GDALClose(d);
    return m;
}

// The layer of the depressions kept: one polygon each, as many as the report
// counts, their areas adding up to its area; the one over (x, y) with its bottom
// (its lowest pixel, which the fit may draw a little below a spot height read
// between pixels: as close as the model's lowest pixel is checked) and its
// depth below the pixels around it.
void expect_sinks(const fs::path &file, const geo::Report &r, double x, double y, double bottom, double depth)
{
    GDALDatasetH d = GDALOpenEx(file.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(d, nullptr);
    OGRLayerH layer = GDALDatasetGetLayerByName(d, "sinks");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), r.sinks_kept);
    double area = 0;
    bool found = false;
    OGRGeometryH here = OGR_G_CreateGeometry(wkbPoint);
    OGR_G_SetPoint_2D(here, 0, x, y);
    while (OGRFeatureH f = OGR_L_GetNextFeature(layer)) {
        area += OGR_F_GetFieldAsDouble(f, OGR_F_GetFieldIndex(f, "area"));
        EXPECT_NEAR(OGR_G_Area(OGR_F_GetGeometryRef(f)), OGR_F_GetFieldAsDouble(f, OGR_F_GetFieldIndex(f, "area")),
                    1e-6);
        if (OGR_G_Contains(OGR_F_GetGeometryRef(f), here)) {
            found = true;
            EXPECT_NEAR(OGR_F_GetFieldAsDouble(f, OGR_F_GetFieldIndex(f, "bottom")), bottom, 0.1);
            EXPECT_NEAR(OGR_F_GetFieldAsDouble(f, OGR_F_GetFieldIndex(f, "depth")), depth, 0.5);
        }
        OGR_F_Destroy(f);
    }
    OGR_G_DestroyGeometry(here);
    EXPECT_TRUE(found);
    EXPECT_NEAR(area, r.sinks_area, 1e-6);
    GDALClose(d);
}

struct Surfaces {
    geo::Surface surface;
    geo::Drainage drainage;
};

} // namespace

TEST(SpotHeights, HeldByEverySurfaceAndTheDrainage)
{
    GDALAllRegister();
    const fs::path dir = fs::temp_directory_path() / ("tolvane_spots_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> lines;
    for (const auto &[radius, level] : std::vector<std::pair<double, double>>{{450, 100}, {330, 110}, {210, 120}})
        for (double x : {HILL_X, CRATER_X})
            lines.push_back(ring(x, MIDDLE_Y, radius, level));
    lines.push_back(ring(HILL_X, MIDDLE_Y, 90, 130));
    write(dir / "lines.geojson", collection(lines));
    // A summit 2.2 intervals above its last ring, a pit 0.7 intervals below
    // the crater's rim, and a height on the hill's flank.
    const double summit = 152, pit = 113, flank = 114.5;
    const double flank_x = HILL_X + 270;
    write(dir / "spots.geojson",
          collection({point(HILL_X + 3, MIDDLE_Y - 4, summit), point(CRATER_X, MIDDLE_Y, pit),
                      point(flank_x, MIDDLE_Y, flank)}));
    for (const Surfaces &run :
         {Surfaces{geo::Surface::plain, geo::Drainage::none}, Surfaces{geo::Surface::plain, geo::Drainage::enforce},
          Surfaces{geo::Surface::smooth, geo::Drainage::none}, Surfaces{geo::Surface::smooth, geo::Drainage::enforce}}) {
        const bool smooth = run.surface == geo::Surface::smooth, enforce = run.drainage == geo::Drainage::enforce;
        SCOPED_TRACE(std::string(smooth ? "smooth" : "plain") + (enforce ? ", enforced" : ""));
        geo::Request q;
        q.source.path = (dir / "lines.geojson").string();
        q.grid.xres = q.grid.yres = 10;
        q.product.output = (dir / "dem.tif").string();
        q.points.path = (dir / "spots.geojson").string();
        q.points.attribute = "cota";
        q.surface = run.surface;
        q.drainage = run.drainage;
        if (run.drainage == geo::Drainage::enforce)
            q.product.sinks = (dir / "sinks.gpkg").string();
        const geo::Report r = geo::elevation(q);
        EXPECT_EQ(r.spot_heights, 3);
        EXPECT_EQ(r.spot_heights_left, 0);
        const Model m = read_model(dir / "dem.tif");
        for (const auto &[x, y, v] : std::vector<std::array<double, 3>>{
                 {HILL_X + 3, MIDDLE_Y - 4, summit}, {CRATER_X, MIDDLE_Y, pit}, {flank_x, MIDDLE_Y, flank}})
            EXPECT_NEAR(m.at(x, y), v, 0.01 * 10) << x << " " << y;
        // The summit is the hill's highest pixel, the pit the crater's lowest;
        // the summit's shape rises above the last ring, not only its pixel.
        EXPECT_NEAR(m.range(HILL_X, MIDDLE_Y, 90).second, summit, 0.1);
        EXPECT_GT(m.at(HILL_X + 30, MIDDLE_Y), 135);
        EXPECT_NEAR(m.range(CRATER_X, MIDDLE_Y, 200).first, pit, 0.1);
        EXPECT_LT(m.at(CRATER_X + 40, MIDDLE_Y), 119);
        // Enforced, water leaves every pixel of the Float32 model written but
        // the bottom of each pit kept, the crater's at the spot height.
        if (enforce) {
            EXPECT_GE(r.sinks_kept, 1);
            EXPECT_EQ(m.without_outlet(), r.sinks_kept);
            expect_sinks(dir / "sinks.gpkg", r, CRATER_X, MIDDLE_Y, pit, 120 - pit);
        }
    }
    // Points in another coordinate system are taken into the grid's.
    {
        GDALDatasetH from = GDALOpenEx((dir / "spots.geojson").c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
        std::vector<std::string> words = {"-t_srs", "EPSG:4326", "-lco", "COORDINATE_PRECISION=10"};
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        GDALVectorTranslateOptions *o = GDALVectorTranslateOptionsNew(argv.data(), nullptr);
        GDALClose(GDALVectorTranslate((dir / "lonlat.geojson").c_str(), nullptr, 1, &from, o, nullptr));
        GDALVectorTranslateOptionsFree(o);
        GDALClose(from);
        geo::Request q;
        q.source.path = (dir / "lines.geojson").string();
        q.grid.xres = q.grid.yres = 10;
        q.product.output = (dir / "dem.tif").string();
        q.points.path = (dir / "lonlat.geojson").string();
        q.points.attribute = "cota";
        EXPECT_EQ(geo::elevation(q).spot_heights, 3);
        EXPECT_NEAR(read_model(dir / "dem.tif").at(HILL_X + 3, MIDDLE_Y - 4), summit, 0.01);
    }
    // Without the spot heights nothing says the rim holds a crater: the plain
    // surface leaves a flat at the rim's level (sloping toward its outlet by
    // the least steps once drained), the smooth one carries the rings' rise on
    // into a dome, and neither keeps a sink.
    for (const geo::Surface surface : {geo::Surface::plain, geo::Surface::smooth}) {
        geo::Request q;
        q.source.path = (dir / "lines.geojson").string();
        q.grid.xres = q.grid.yres = 10;
        q.product.output = (dir / "dem.tif").string();
        q.surface = surface;
        q.drainage = geo::Drainage::enforce;
        EXPECT_EQ(geo::elevation(q).sinks_kept, 0);
        const Model floor = read_model(dir / "dem.tif");
        const auto [low, high] = floor.range(CRATER_X, MIDDLE_Y, 150);
        EXPECT_NEAR(low, 120, surface == geo::Surface::plain ? 0.01 : 4.0);
        EXPECT_GE(low, 120 - 0.01);
        if (surface == geo::Surface::smooth) {
            EXPECT_GT(high, 121);
        }
        EXPECT_EQ(floor.without_outlet(), 0);
    }
    fs::remove_all(dir);
}

namespace {

std::string line_feature(const std::vector<std::pair<double, double>> &points, const std::string &properties)
{
    std::string s = R"({"type":"Feature","properties":)" + properties + R"(,"geometry":{"type":"LineString","coordinates":[)";
    for (std::size_t k = 0; k < points.size(); k++)
        s += (k ? "," : "") + std::string("[") + std::to_string(points[k].first) + "," +
             std::to_string(points[k].second) + "]";
    return s + "]}}";
}

// A U of level `level` opening south: arms `half` either side of x = 500 from
// y = 0, closed by a half circle around (500, 800).
std::vector<std::pair<double, double>> u_line(double half)
{
    std::vector<std::pair<double, double>> p{{X0 + 500 - half, Y0}};
    for (int k = 0; k <= 32; k++) {
        const double a = PI - PI * k / 32;
        p.emplace_back(X0 + 500 + half * std::cos(a), Y0 + 800 + half * std::sin(a));
    }
    p.emplace_back(X0 + 500 + half, Y0);
    return p;
}


std::string disc(double x, double y, double radius, const std::string &properties)
{
    std::string s = R"({"type":"Feature","properties":)" + properties + R"(,"geometry":{"type":"Polygon","coordinates":[[)";
    for (int k = 0; k <= 64; k++) {
        const double a = 2 * PI * (k % 64) / 64;
        s += (k ? "," : "") + std::string("[") + std::to_string(x + radius * std::cos(a)) + "," +
             std::to_string(y + radius * std::sin(a)) + "]";
    }
    return s + "]]}}";
}

} // namespace

// Lakes: one in the crater at the level of the rim that reaches it, one on the
// hill's flank at its attribute's altitude, one that no line reaches, left as
// drawn; flat on every surface, and kept by the drainage, water leaving every
// other pixel.
TEST(Lakes, FlatAtTheirLevelOnEverySurface)
{
    GDALAllRegister();
    const fs::path dir = fs::temp_directory_path() / ("tolvane_lakes_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> lines;
    for (const auto &[radius, level] : std::vector<std::pair<double, double>>{{450, 100}, {330, 110}, {210, 120}})
        for (double x : {HILL_X, CRATER_X})
            lines.push_back(ring(x, MIDDLE_Y, radius, level));
    lines.push_back(ring(HILL_X, MIDDLE_Y, 90, 130));
    write(dir / "lines.geojson", collection(lines));
    const double flank_x = HILL_X + 150;
    write(dir / "lakes.geojson", collection({disc(CRATER_X, MIDDLE_Y, 206, R"({"nivel":null})"),
                                             disc(flank_x, MIDDLE_Y, 30, R"({"nivel":125})"),
                                             disc(HILL_X, MIDDLE_Y, 40, R"({"nivel":null})")}));
    // A stream out of the crater's lake, over its rim: the lake stays flat.
    write(dir / "streams.geojson",
          collection({line_feature({{CRATER_X - 100, MIDDLE_Y + 5}, {CRATER_X + 460, MIDDLE_Y + 5}}, "{}")}));
    for (const Surfaces &run :
         {Surfaces{geo::Surface::plain, geo::Drainage::none}, Surfaces{geo::Surface::plain, geo::Drainage::enforce},
          Surfaces{geo::Surface::smooth, geo::Drainage::none}, Surfaces{geo::Surface::smooth, geo::Drainage::enforce}}) {
        const bool enforce = run.drainage == geo::Drainage::enforce;
        SCOPED_TRACE(std::string(run.surface == geo::Surface::smooth ? "smooth" : "plain") +
                     (enforce ? ", enforced" : ""));
        geo::Request q;
        q.source.path = (dir / "lines.geojson").string();
        q.grid.xres = q.grid.yres = 10;
        q.product.output = (dir / "dem.tif").string();
        q.lakes.path = (dir / "lakes.geojson").string();
        q.lakes.attribute = "nivel";
        q.streams.path = (dir / "streams.geojson").string();
        q.surface = run.surface;
        q.drainage = run.drainage;
        const geo::Report r = geo::elevation(q);
        EXPECT_EQ(r.lakes_without_level, 1); // the one inside the hill's last ring
        const Model m = read_model(dir / "dem.tif");
        for (const auto &[x, radius, level] :
             std::vector<std::array<double, 3>>{{CRATER_X, 195, 120}, {flank_x, 25, 125}}) {
            const auto [low, high] = m.range(x, MIDDLE_Y, radius);
            EXPECT_NEAR(low, level, 0.001) << x;
            EXPECT_NEAR(high, level, 0.001) << x;
        }
        EXPECT_GT(m.range(HILL_X, MIDDLE_Y, 30).second, 130 - 0.001); // left as drawn
        if (enforce) {
            EXPECT_EQ(m.without_outlet(), r.sinks_kept);
        }
    }
    fs::remove_all(dir);
}


// A valley floor flat between the two arms of a line of 100 (the core's flat),
// open to the south edge, and a stream digitised upstream from the edge,
// meandering down the floor and across the valley's head into the band above.
// With the stream the flow follows it pixel by pixel, and it descends all the
// way; without it the floor drains straight to the edge, off the bends.
TEST(Streams, FlowFollowsTheStreamDownAValleyFloor)
{
    GDALAllRegister();
    const fs::path dir = fs::temp_directory_path() / ("tolvane_streams_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    write(dir / "lines.geojson", collection({line_feature(u_line(100), R"({"elev":100})"),
                                             line_feature(u_line(200), R"({"elev":110})"),
                                             line_feature(u_line(300), R"({"elev":120})")}));
    std::vector<std::pair<double, double>> stream;
    for (double y = 5; y <= 760; y += 5)
        stream.emplace_back(X0 + 500 + 50 * std::sin(2 * PI * y / 300), Y0 + y);
    stream.emplace_back(X0 + 500, Y0 + 850);
    stream.emplace_back(X0 + 500, Y0 + 950);
    write(dir / "streams.geojson", collection({line_feature(stream, "{}")}));

    // The share of the stream's pixels on the floor whose steepest way down
    // is a pixel further down the stream, and whether the stream never rises
    // downstream.
    const auto follow = [&](bool with_streams, double &share, bool &descends) {
        geo::Request q;
        q.source.path = (dir / "lines.geojson").string();
        q.grid.xres = q.grid.yres = 10;
        q.product.output = (dir / "dem.tif").string();
        q.drainage = geo::Drainage::enforce;
        if (with_streams)
            q.streams.path = (dir / "streams.geojson").string();
        const geo::Report r = geo::elevation(q);
        EXPECT_EQ(r.stream_pixels > 0, with_streams);
        const Model m = read_model(dir / "dem.tif");
        // The stream's pixels, downstream, as the run lowered them.
        geo::Grid grid;
        grid.origin_x = m.ox;
        grid.origin_y = m.oy;
        grid.xres = grid.yres = m.res;
        grid.rows = m.rows;
        grid.columns = m.columns;
        geo::Request s = q;
        s.streams.path = (dir / "streams.geojson").string();
        std::vector<double> cells(m.cells.begin(), m.cells.end());
        std::vector<std::pair<int, int>> path;
        const auto paths = geo::Streams(s, grid).downstream(cells, 0, 0, m.rows, m.columns, 10);
        EXPECT_EQ(paths.size(), 1U);
        for (std::int64_t k : paths.at(0))
            path.emplace_back(static_cast<int>(k / m.columns), static_cast<int>(k % m.columns));
        const auto z = [&m](int r, int c) { return m.cells[static_cast<std::size_t>(r) * m.columns + c]; };
        descends = true;
        int on_floor = 0, followed = 0;
        for (std::size_t k = 0; k + 1 < path.size(); k++) {
            const auto [r, c] = path[k];
            descends = descends && z(path[k + 1].first, path[k + 1].second) <= z(r, c);
            if (m.oy - (r + 0.5) * m.res > Y0 + 700 || r < 1 || c < 1 || r + 2 >= m.rows || c + 2 >= m.columns)
                continue; // the floor only, off the grid's edges
            on_floor++;
            double best = 0;
            std::pair<int, int> to{r, c};
            for (int dr = -1; dr <= 1; dr++)
                for (int dc = -1; dc <= 1; dc++) {
                    const double drop = (z(r, c) - z(r + dr, c + dc)) / std::hypot(dr, dc);
                    if ((dr || dc) && drop > best) {
                        best = drop;
                        to = {r + dr, c + dc};
                    }
                }
            // On the stream, downstream (across a bend, the steepest way may skip a pixel).
            followed += std::find(path.begin() + static_cast<std::ptrdiff_t>(k) + 1, path.end(), to) != path.end();
        }
        share = on_floor ? static_cast<double>(followed) / on_floor : 0;
    };
    double share = 0;
    bool descends = false;
    follow(true, share, descends);
    EXPECT_EQ(share, 1.0);
    EXPECT_TRUE(descends);
    follow(false, share, descends);
    EXPECT_LT(share, 0.9); // without it, water leaves the meander on its bends
    fs::remove_all(dir);
}

namespace {

// A network of streams on 20 x 20 pixels of 10 m sloping south, a metre a
// pixel, with lines through pixels' centres, and the pixel each must end at
// once turned downstream.
struct NetworkCase {
    std::string name;
    std::vector<std::vector<std::pair<int, int>>> lines; // (row, column) of each vertex, as digitised
    std::function<double(int r, int c)> bump;            // added to the slope
    std::vector<std::pair<int, int>> mouths;             // the last pixel of each, downstream
};

double flat_bump(int, int) { return 0; }

// Between the two confluences, (6, 8) and (10, 8), the floor drawn 10 m too high
// at the lower one: the segment alone would run north.
double high_confluence(int r, int c) { return c >= 7 && c <= 9 && r >= 8 && r <= 11 ? 10 : 0; }

// A pit's cone around a spot height at the first fork's source, below the
// stem's mouth on the south edge.
double pit_at_source(int r, int c) { return std::hypot(r - 1, c - 3) < 2 ? -25 : 0; }

// A bank drawn 15 m too high beside the river where the tributary reaches it.
double high_bank(int r, int c) { return c >= 7 && c <= 9 && r >= 10 && r <= 13 ? 15 : 0; }

using Line = std::vector<std::pair<int, int>>;

Line reversed(Line l)
{
    std::reverse(l.begin(), l.end());
    return l;
}

const Line TWO_FORKS_A{{1, 3}, {6, 8}}, TWO_FORKS_B{{1, 13}, {6, 8}}, TWO_FORKS_MIDDLE{{6, 8}, {10, 8}},
    TWO_FORKS_C{{10, 15}, {10, 8}}, TWO_FORKS_STEM{{10, 8}, {19, 8}};
const Line RIVER{{0, 10}, {19, 10}}, TRIBUTARY{{2, 2}, {12, 9}};

const std::vector<NetworkCase> NETWORKS = {
    {"a stream alone runs toward its lower end", {{{2, 5}, {17, 5}}}, flat_bump, {{17, 5}}},
    {"a stream alone digitised upstream", {{{17, 5}, {2, 5}}}, flat_bump, {{17, 5}}},
    {"a segment between two confluences tilted the wrong way",
     {TWO_FORKS_A, TWO_FORKS_B, TWO_FORKS_MIDDLE, TWO_FORKS_C, TWO_FORKS_STEM},
     high_confluence,
     {{6, 8}, {6, 8}, {10, 8}, {10, 8}, {19, 8}}},
    {"the same network digitised upstream",
     {reversed(TWO_FORKS_A), reversed(TWO_FORKS_B), reversed(TWO_FORKS_MIDDLE), reversed(TWO_FORKS_C),
      reversed(TWO_FORKS_STEM)},
     high_confluence,
     {{6, 8}, {6, 8}, {10, 8}, {10, 8}, {19, 8}}},
    {"a tributary ending beside a river drawn as one line, its mouth on a high bank",
     {RIVER, TRIBUTARY},
     high_bank,
     {{19, 10}, {12, 9}}},
    {"the river digitised upstream", {reversed(RIVER), TRIBUTARY}, high_bank, {{19, 10}, {12, 9}}},
    // The mouth where water leaves the area, within an interval (10) above the lowest source.
    {"a source in a pit below the mouth on the edge",
     {TWO_FORKS_A, TWO_FORKS_B, TWO_FORKS_MIDDLE, TWO_FORKS_C, TWO_FORKS_STEM},
     pit_at_source,
     {{6, 8}, {6, 8}, {10, 8}, {10, 8}, {19, 8}}},
    // A river from the north edge into a lake inside, 15 m lower: its mouth stays.
    {"a river into a lake inside the area", {{{0, 5}, {15, 5}}, {{5, 12}, {8, 5}}}, flat_bump, {{15, 5}, {8, 5}}},
};

} // namespace

// Each stream runs toward its network's outlet, not toward the lower of its own
// ends: between two confluences, or where a tributary meets its river, the
// surface may tilt a few pixels the wrong way, and a stream turned upstream
// sends the water of all above it off the network.
TEST(Streams, EachRunsTowardItsNetworksOutlet)
{
    GDALAllRegister();
    const fs::path dir = fs::temp_directory_path() / ("tolvane_networks_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    constexpr int N = 20;
    geo::Grid grid;
    grid.origin_x = X0;
    grid.origin_y = Y0 + 10 * N;
    grid.xres = grid.yres = 10;
    grid.rows = grid.columns = N;
    for (const NetworkCase &t : NETWORKS) {
        SCOPED_TRACE(t.name);
        std::vector<std::string> features;
        for (const Line &l : t.lines) {
            std::vector<std::pair<double, double>> points;
            for (const auto &[r, c] : l)
                points.emplace_back(grid.origin_x + (c + 0.5) * 10, grid.origin_y - (r + 0.5) * 10);
            features.push_back(line_feature(points, "{}"));
        }
        write(dir / "streams.geojson", collection(features));
        geo::Request q;
        q.streams.path = (dir / "streams.geojson").string();
        std::vector<double> cells(N * N);
        for (int r = 0; r < N; r++)
            for (int c = 0; c < N; c++)
                cells[static_cast<std::size_t>(r) * N + c] = 200 - r + t.bump(r, c);
        const auto paths = geo::Streams(q, grid).downstream(cells, 0, 0, N, N, 10);
        ASSERT_EQ(paths.size(), t.mouths.size());
        for (std::size_t i = 0; i < paths.size(); i++) {
            const auto [r, c] = t.mouths[i];
            EXPECT_EQ(paths[i].back(), static_cast<std::int64_t>(r) * N + c) << "stream " << i;
        }
    }
    fs::remove_all(dir);
}
