// The edge of the mapped area traced through the lines' ends: the footprint it
// closes on small drawn cases, and the area kept of sheets whose contours GDAL
// drew on a DEM with a margin of nodata or that ogr2ogr clipped to a lobe.
#include "border.h"

#include "run_tolvane.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include <gdal.h>
#include <gdal_alg.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace geo = tolvane::geo;

namespace {

using Polyline = std::vector<geo::MapPoint>;

// A layer in memory holding `lines`, then `joins` (the repair's, after them).
struct Layer {
    GDALDatasetH data;
    OGRLayerH layer;
    Layer(const std::vector<Polyline> &lines, const std::vector<Polyline> &joins = {})
    {
        GDALAllRegister();
        data = GDALCreate(GDALGetDriverByName("Memory"), "", 0, 0, 0, GDT_Unknown, nullptr);
        layer = GDALDatasetCreateLayer(data, "lines", nullptr, wkbLineString, nullptr);
        for (const auto *set : {&lines, &joins})
            for (const Polyline &l : *set) {
                OGRGeometryH g = OGR_G_CreateGeometry(wkbLineString);
                for (const geo::MapPoint &p : l)
                    OGR_G_AddPoint_2D(g, p.x, p.y);
                OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(layer));
                OGR_F_SetGeometryDirectly(f, g);
                EXPECT_EQ(OGR_L_CreateFeature(layer, f), OGRERR_NONE);
                OGR_F_Destroy(f);
            }
    }
    ~Layer() { GDALClose(data); }
};

// The cells of a grid of unit cells whose top left corner is (0, rows), each
// line burned into the cells it passes through, as inside_border sees them.
std::vector<std::int32_t> burned(const std::vector<Polyline> &lines, int rows, int columns)
{
    std::vector<std::int32_t> cells(static_cast<std::size_t>(rows) * columns, tolvane::EMPTY);
    for (const Polyline &l : lines)
        for (std::size_t k = 1; k < l.size(); k++) {
            // Walked in steps of a twentieth of a cell, as far as the grid's reach.
            const double length = std::hypot(l[k].x - l[k - 1].x, l[k].y - l[k - 1].y);
            const double reach = std::min(length, 4.0 * (rows + columns));
            for (int s = 0; s <= static_cast<int>(reach * 20); s++) {
                const double t = length > 0 ? s / 20.0 / length : 0;
                const int j = static_cast<int>(std::floor(l[k - 1].x + t * (l[k].x - l[k - 1].x)));
                const int i = static_cast<int>(std::floor(rows - (l[k - 1].y + t * (l[k].y - l[k - 1].y))));
                if (i >= 0 && i < rows && j >= 0 && j < columns)
                    cells[static_cast<std::size_t>(i) * columns + j] = 0;
            }
        }
    return cells;
}

// Drawn cases: the lines, the repair's joins, and the footprint expected ('#'
// inside, '.' outside; empty: no join at all).
struct Drawn {
    const char *name;
    std::vector<Polyline> lines, repairs;
    std::vector<std::string> inside;
};

TEST(Border, JoinsCloseTheAreaWhereTheLinesStop)
{
    const std::vector<Drawn> cases = {
        // Three lines cut by a clip to rows 2 to 8: the edge runs along their
        // ends, through rows 2 and 8, where only the lines' cells are inside;
        // the columns left and right of them and the rows beyond are outside.
        {"lines cut by a rectangular clip",
         {{{2.5, 2}, {2.5, 8}}, {{5.5, 2}, {5.5, 8}}, {{8.5, 2}, {8.5, 8}}},
         {},
         {"............", "............", "..#..#..#...", "..#######...", "..#######...", "..#######...",
          "..#######...", "..#######...", "..#..#..#...", "............"}},
        // The same lines running off the grid at the top: the joins lie on its
        // edge and close it.
        {"lines running off the grid",
         {{{2.5, 2}, {2.5, 10}}, {{5.5, 2}, {5.5, 10}}, {{8.5, 2}, {8.5, 10}}},
         {},
         {"..#..#..#...", "..#######...", "..#######...", "..#######...", "..#######...", "..#######...",
          "..#######...", "..#######...", "..#..#..#...", "............"}},
        // A ring inside the area has no end and changes nothing.
        {"a ring inside",
         {{{2.5, 2}, {2.5, 8}}, {{8.5, 2}, {8.5, 8}}, {{4.5, 4.5}, {6.5, 4.5}, {6.5, 6.5}, {4.5, 6.5}, {4.5, 4.5}}},
         {},
         {"............", "............", "..#.....#...", "..#######...", "..#######...", "..#######...",
          "..#######...", "..#######...", "..#.....#...", "............"}},
        // The middle line cut by a gap the repair closed, both ends heading on
        // across it: those ends are not on the edge, which stays the
        // rectangle's, and no join passes through the gap.
        {"a repaired gap",
         {{{2.5, 2}, {2.5, 8}}, {{5.5, 2}, {5.5, 4.2}}, {{5.5, 5.8}, {5.5, 8}}, {{8.5, 2}, {8.5, 8}}},
         {{{5.5, 4.2}, {5.5, 5.8}}},
         {"............", "............", "..#..#..#...", "..#######...", "..#######...", "..#######...",
          "..#######...", "..#######...", "..#..#..#...", "............"}},
        // Lines that run a million cells past the grid: their far ends are
        // joined up there, and the join, walked only within a cell of the
        // grid, walls its top row between them.
        {"lines far past the grid",
         {{{2.5, 2}, {2.5, 1e6}}, {{8.5, 2}, {8.5, 1e6}}},
         {},
         {"..#.....#...", "..#######...", "..#######...", "..#######...", "..#######...", "..#######...",
          "..#######...", "..#######...", "..#.....#...", "............"}},
        // A line that leaves the clip through its top and comes back three cells
        // on, both its ends heading on across the chord the repair drew
        // between them: nothing lies beyond the chord, which is on the edge, so
        // the edge runs through those ends and along it.
        {"a line leaving the clip and coming back",
         {{{2.5, 2}, {2.5, 8}}, {{4.5, 2}, {4.5, 7.4}, {5.5, 8}}, {{8.5, 8}, {9.5, 7.4}, {9.5, 2}}, {{10.5, 2}, {10.5, 8}}},
         {{{5.5, 8}, {8.5, 8}}},
         {"............", "............", "..#.#######.", "..#########.", "..#########.", "..#########.",
          "..#########.", "..#########.", "..#.#....##.", "............"}},
        // Lines cut by a clip whose lower side slants: the join between their
        // ends crosses the cells of the bottom rows, and those whose centres
        // lie above it are inside; those it only touches at a corner or whose
        // centres lie below it are not.
        {"a slanting clip",
         {{{2.5, 1.5}, {2.5, 8}}, {{5.5, 2.5}, {5.5, 8}}, {{8.5, 3.5}, {8.5, 8}}},
         {},
         {"............", "............", "..#..#..#...", "..#######...", "..#######...", "..#######...",
          "..#######...", "..####......", "..#.........", "............"}},
        // Three ends close together at the top right, one of a line stopping
        // just short of the edge: joined among themselves they would close a
        // chain of three and take the join from the left one to the next end
        // along the edge, letting the flood down between the lines at 5.5 and
        // 8.5. A chain closes only once the joins along the edge are in.
        {"three ends close together",
         {{{2.5, 2}, {2.5, 8}}, {{5.5, 2}, {5.5, 8}}, {{8.5, 2}, {8.5, 8}}, {{8.85, 2}, {8.85, 7.4}}, {{9.2, 2}, {9.2, 8}}},
         {},
         {"............", "............", "..#..#..##..", "..########..", "..########..", "..########..",
          "..########..", "..########..", "..#..#..##..", "............"}},
        // A line that comes in at the top, runs along the edge bulging past the
        // straight join from its end to the next one, at 10.5, and turns down
        // and off to the left: the late round joins the two across the bulge,
        // and the cells the join runs along under it lie on the edge.
        {"a line bulging along the edge",
         {{{3, 8}, {4, 8.6}, {5.5, 8.8}, {7, 8.6}, {7.5, 8.3}, {7.5, 5}, {2, 4.5}}, {{2, 3.5}, {5, 2}}, {{10.5, 2}, {10.5, 8}}},
         {},
         {"............", "...#####....", "...#...#..#.", "...########.", "..#########.", "..#########.",
          "..#########.", "...##.#####.", "..........#.", "............"}},
        // Every line closed: nothing to join.
        {"closed lines only", {{{2.5, 2.5}, {7.5, 2.5}, {7.5, 7.5}, {2.5, 7.5}, {2.5, 2.5}}}, {}, {}},
    };
    const int rows = 10, columns = 12;
    for (const Drawn &c : cases) {
        SCOPED_TRACE(c.name);
        const Layer layer(c.lines, c.repairs);
        const std::vector<geo::BorderJoin> joins =
            geo::border_joins(layer.layer, 1, static_cast<long long>(c.lines.size()));
        std::vector<Polyline> walls = c.lines;
        walls.insert(walls.end(), c.repairs.begin(), c.repairs.end());
        const std::vector<std::uint8_t> inside =
            geo::inside_border(burned(walls, rows, columns), {0, double(rows), 1, 1, 0, 0, rows, columns}, joins);
        std::vector<std::string> got;
        for (int i = 0; i < rows && !inside.empty(); i++) {
            got.emplace_back();
            for (int j = 0; j < columns; j++)
                got.back() += inside[static_cast<std::size_t>(i) * columns + j] ? '#' : '.';
        }
        EXPECT_EQ(got, c.inside);
    }
}

// A DEM on 200 x 120 pixels of 10 m whose lines GDAL draws: every 100 m on a
// mountain beside a plain (lines 2 to 33 pixels apart), every 50 m on a coast
// of sea floor and land.
double mountain(double x, double y) { return 2000 * std::exp(-x / 400) + 0.3 * x + 20 * std::sin(y / 150); }
double coast(double x, double y) { return 300 * std::sin(x / 400) * std::cos(y / 300) + 0.1 * x - 60; }

constexpr int ROWS = 120, COLUMNS = 200;
constexpr double X0 = 500000, Y0 = 4500000, PIXEL = 10;

// Where the data stop, in metres from the DEM's corner (x right, y down).
// Bordered: a rectangle turned by a degree and inset a pixel, as a sheet
// warped into another system has a margin of nodata one or two pixels wide,
// in steps. Lobed: a disc whose radius swings by a fifth three times around,
// the polygon ogr2ogr clips the lines to.
bool in_turned_rectangle(double x, double y)
{
    const double cx = COLUMNS * PIXEL / 2, cy = ROWS * PIXEL / 2, a = M_PI / 180;
    const double u = std::cos(a) * (x - cx) + std::sin(a) * (y - cy), v = -std::sin(a) * (x - cx) + std::cos(a) * (y - cy);
    return std::abs(u) < COLUMNS * PIXEL / 2 - PIXEL - ROWS * PIXEL * std::sin(a) / 2 &&
           std::abs(v) < ROWS * PIXEL / 2 - PIXEL - COLUMNS * PIXEL * std::sin(a) / 2;
}
double lobe_radius(double angle) { return 0.42 * ROWS * PIXEL * (1 + 0.2 * std::sin(3 * angle + 0.5)); }
bool in_lobe(double x, double y)
{
    const double dx = x - COLUMNS * PIXEL / 2, dy = y - ROWS * PIXEL / 2;
    return std::hypot(dx, dy) < lobe_radius(std::atan2(-dy, dx));
}

// The lobed polygon as WKT in map units.
std::string lobe_wkt()
{
    std::string wkt = "POLYGON((";
    for (int k = 0; k <= 360; k++) {
        const double a = k * M_PI / 180, r = lobe_radius(a);
        wkt += (k ? "," : "") + std::to_string(X0 + COLUMNS * PIXEL / 2 + r * std::cos(a)) + " " +
               std::to_string(Y0 - ROWS * PIXEL / 2 + r * std::sin(a));
    }
    return wkt + "))";
}

// The contours of `z` (nodata where `valid` is false) written to `file`.
void draw_lines(const std::string &file, double (*z)(double, double), double interval, bool (*valid)(double, double))
{
    GDALAllRegister();
    GDALDatasetH dem = GDALCreate(GDALGetDriverByName("MEM"), "", COLUMNS, ROWS, 1, GDT_Float32, nullptr);
    double transform[6] = {X0, PIXEL, 0, Y0, 0, -PIXEL};
    GDALSetGeoTransform(dem, transform);
    const float nodata = -9999;
    std::vector<float> values(static_cast<std::size_t>(ROWS) * COLUMNS);
    for (int i = 0; i < ROWS; i++)
        for (int j = 0; j < COLUMNS; j++) {
            const double x = (j + 0.5) * PIXEL, y = (i + 0.5) * PIXEL;
            values[static_cast<std::size_t>(i) * COLUMNS + j] =
                !valid || valid(x, y) ? static_cast<float>(z(x, y)) : nodata;
        }
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(dem, 1), GF_Write, 0, 0, COLUMNS, ROWS, values.data(), COLUMNS, ROWS,
                           GDT_Float32, 0, 0),
              CE_None);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 25830);
    GDALDatasetH lines = GDALCreate(GDALGetDriverByName("GPKG"), file.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    ASSERT_NE(lines, nullptr);
    OGRLayerH layer = GDALDatasetCreateLayer(lines, "contours", srs, wkbLineString, nullptr);
    OSRDestroySpatialReference(srs);
    OGRFieldDefnH elev = OGR_Fld_Create("elev", OFTReal);
    OGR_L_CreateField(layer, elev, TRUE);
    OGR_Fld_Destroy(elev);
    ASSERT_EQ(GDALContourGenerate(GDALGetRasterBand(dem, 1), interval, 0, 0, nullptr, valid != nullptr, nodata, layer,
                                  -1, 0, nullptr, nullptr),
              CE_None);
    GDALClose(lines);
    GDALClose(dem);
}

// tolvane-geo run with `options` on lines.gpkg in `root`, on the DEM's grid:
// its cells and their nodata value.
void run_on_dem_grid(const std::filesystem::path &root, const std::string &options, std::vector<float> &v,
                     double &nodata)
{
    const std::string run = "cd '" + root.string() + "' && '" TOLVANE_GEO_BIN "' -q " + options + " -te " +
                            std::to_string(X0) + " " + std::to_string(Y0 - ROWS * PIXEL) + " " +
                            std::to_string(X0 + COLUMNS * PIXEL) + " " + std::to_string(Y0) +
                            " -tr 10 10 lines.gpkg out.tif";
    ASSERT_EQ(std::system(run.c_str()), 0);
    GDALDatasetH out = GDALOpen((root / "out.tif").c_str(), GA_ReadOnly);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(GDALGetRasterXSize(out), COLUMNS);
    v.resize(static_cast<std::size_t>(ROWS) * COLUMNS);
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(out, 1), GF_Read, 0, 0, COLUMNS, ROWS, v.data(), COLUMNS, ROWS,
                           GDT_Float32, 0, 0),
              CE_None);
    nodata = GDALGetRasterNoDataValue(GDALGetRasterBand(out, 1), nullptr);
    GDALClose(out);
}

// Sheets whose lines stop where their data stop, run with no option on the
// DEM's grid: the share of the true footprint's pixels left nodata and of the
// valued pixels outside it, each at most the bound of its case. The disc drawn
// through the ends alone left 47 %, 5 %, 70 % and 18 % of them nodata, in the
// bands of the plain and the sea floor, and valued 4 %, 3 %, 14 % and 4 %
// outside. On the lobed mountain the chain of ends opens where the plain's
// lines lie far apart along the clip, and the bands the flood runs into there
// are those the disc leaves out too.
struct Sheet {
    const char *name;
    double (*z)(double, double);
    double interval;
    bool bordered; // else clipped to the lobe
    double nodata_inside, valued_outside; // at most, in %
};

TEST(Border, BorderedAndClippedSheetsKeepTheirArea)
{
    const Sheet cases[] = {
        {"mountain beside a plain, bordered", mountain, 100, true, 3.0, 0.2},
        {"coast, bordered", coast, 50, true, 4.5, 0.5},
        {"mountain beside a plain, lobed clip", mountain, 100, false, 18.0, 1.0},
        {"coast, lobed clip", coast, 50, false, 5.0, 0.5},
    };
    for (const Sheet &c : cases) {
        SCOPED_TRACE(c.name);
        prueba::Carpeta folder;
        const auto root = folder.raiz();
        bool (*truth)(double, double) = c.bordered ? in_turned_rectangle : in_lobe;
        if (c.bordered) {
            draw_lines((root / "lines.gpkg").string(), c.z, c.interval, in_turned_rectangle);
        } else {
            draw_lines((root / "clean.gpkg").string(), c.z, c.interval, nullptr);
            const std::string clip = "ogr2ogr -q -nlt MULTILINESTRING -clipsrc '" + lobe_wkt() + "' '" +
                                     (root / "lines.gpkg").string() + "' '" + (root / "clean.gpkg").string() + "'";
            ASSERT_EQ(std::system(clip.c_str()), 0);
        }
        std::vector<float> v;
        double nodata;
        ASSERT_NO_FATAL_FAILURE(run_on_dem_grid(root, "", v, nodata));
        long long inside = 0, empty_inside = 0, valued = 0, valued_outside = 0;
        for (int i = 0; i < ROWS; i++)
            for (int j = 0; j < COLUMNS; j++) {
                const float value = v[static_cast<std::size_t>(i) * COLUMNS + j];
                const bool has = !std::isnan(value) && value != nodata;
                const bool in = truth((j + 0.5) * PIXEL, (i + 0.5) * PIXEL);
                inside += in;
                empty_inside += in && !has;
                valued += has;
                valued_outside += has && !in;
            }
        ASSERT_GT(inside, 0);
        ASSERT_GT(valued, 0);
        EXPECT_LE(100.0 * empty_inside / inside, c.nodata_inside);
        EXPECT_LE(100.0 * valued_outside / valued, c.valued_outside);
    }
}

// A void of the data beside a summit: the lines of a cone's levels 10 to 40 m
// below its top stop all around it, and the edge traced through their ends
// rings it. Filled, it joined their bands into one zone: -strict failed (327
// pixels between contours not their own on the bordered sheet) and the cells
// below the void lay 27 to 30 m off. Left out, each sheet is -strict clean,
// every cell within its bound of the cone: on the bordered sheet, where the
// edge traced is the footprint, 3.8 m; with the lines running to the grid's
// edges, where the disc's footprint covers most of the void and only its
// core is left out, 8.4 m, beside the top.
double cone(double x, double y) { return 400 - 0.5 * std::hypot(x - 1000, y - 600); }
bool beside_void(double x, double y) { return !(x > 940 && x < 1000 && y > 560 && y < 620); }
bool bordered_beside_void(double x, double y) { return in_turned_rectangle(x, y) && beside_void(x, y); }

TEST(Border, AVoidWhereLinesOfSeveralLevelsStopIsLeftOut)
{
    const struct {
        const char *name;
        bool (*valid)(double, double);
        double bound; // m
    } cases[] = {{"bordered", bordered_beside_void, 5.0}, {"lines to the edges", beside_void, 10.0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        prueba::Carpeta folder;
        const auto root = folder.raiz();
        draw_lines((root / "lines.gpkg").string(), cone, 10, c.valid);
        std::vector<float> v;
        double nodata;
        ASSERT_NO_FATAL_FAILURE(run_on_dem_grid(root, "-strict", v, nodata));
        double worst = 0;
        for (int i = 0; i < ROWS; i++)
            for (int j = 0; j < COLUMNS; j++) {
                const float value = v[static_cast<std::size_t>(i) * COLUMNS + j];
                if (!std::isnan(value) && value != nodata)
                    worst = std::max(worst, std::abs(value - cone((j + 0.5) * PIXEL, (i + 0.5) * PIXEL)));
            }
        EXPECT_LT(worst, c.bound);
    }
}

} // namespace
