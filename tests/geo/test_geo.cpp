// tolvane-geo with real GDAL: the bundled contour lines of an analytic surface go
// in, and the GeoTIFFs that come out are opened with GDAL's C API. The surface,
// sampled on the same grid, is tests/geo/data/colinas_superficie.tif (see
// examples/curvas/genera_colinas.py).
#include "run_tolvane.h"
#include "translate.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gdal.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>
#include <ogr_srs_api.h>

namespace {

using prueba::Carpeta;
namespace fs = std::filesystem;

struct GeoRun {
    int status = -1;
    std::string out, err;
};

// Runs tolvane-geo in `folder` with the arguments as the shell splits them.
GeoRun geo(const fs::path &folder, const std::string &arguments)
{
    const std::string command = "cd '" + folder.string() + "' && timeout 120 '" TOLVANE_GEO_BIN "' " + arguments +
                                " > .out 2> .err";
    const int s = std::system(command.c_str());
    GeoRun r;
    r.status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
    r.out = prueba::lee(folder / ".out");
    r.err = prueba::lee(folder / ".err");
    return r;
}

struct Raster {
    int columns = 0, rows = 0;
    double transform[6] = {};
    std::string epsg;
    GDALDataType type = GDT_Unknown;
    bool has_nodata = false;
    double nodata = 0;
    std::string layout;
    int block_x = 0;
    std::vector<double> cells;
};

Raster open_raster(const fs::path &path)
{
    Raster r;
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    if (!ds) {
        ADD_FAILURE() << "GDAL cannot open " << path;
        return r;
    }
    r.columns = GDALGetRasterXSize(ds);
    r.rows = GDALGetRasterYSize(ds);
    GDALGetGeoTransform(ds, r.transform);
    if (OGRSpatialReferenceH srs = GDALGetSpatialRef(ds)) {
        const char *code = OSRGetAuthorityCode(srs, nullptr);
        r.epsg = code ? code : "";
    }
    const char *layout = GDALGetMetadataItem(ds, "LAYOUT", "IMAGE_STRUCTURE");
    r.layout = layout ? layout : "";
    GDALRasterBandH band = GDALGetRasterBand(ds, 1);
    r.type = GDALGetRasterDataType(band);
    int has = 0;
    r.nodata = GDALGetRasterNoDataValue(band, &has);
    r.has_nodata = has != 0;
    int block_y = 0;
    GDALGetBlockSize(band, &r.block_x, &block_y);
    r.cells.resize(static_cast<std::size_t>(r.columns) * r.rows);
    EXPECT_EQ(GDALRasterIO(band, GF_Read, 0, 0, r.columns, r.rows, r.cells.data(), r.columns, r.rows, GDT_Float64, 0, 0),
              CE_None);
    GDALClose(ds);
    return r;
}

void expect_same_cells(const Raster &a, const Raster &b, const std::string &what)
{
    ASSERT_EQ(a.columns, b.columns) << what;
    ASSERT_EQ(a.rows, b.rows) << what;
    for (std::size_t k = 0; k < a.cells.size(); k++)
        ASSERT_EQ(a.cells[k], b.cells[k]) << what << ": row " << k / a.columns << ", column " << k % a.columns;
}

class Geo : public ::testing::Test {
protected:
    static void SetUpTestSuite() { GDALAllRegister(); }
    Carpeta folder;
    const fs::path &root() const { return folder.raiz(); }
};

// On the surface's own grid: coordinate system, exact geotransform, type, nodata,
// and every pixel within one contour interval (25 m) of the surface.
TEST_F(Geo, BundledLinesGiveTheSurfaceWithinOneInterval)
{
    const GeoRun r = geo(root(), "-q -tr 10 10 -te 440000 4475000 442000 4476500 '" COLINAS_GPKG "' dem.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const Raster dem = open_raster(root() / "dem.tif");
    const Raster surface = open_raster(SURFACE_TIF);
    EXPECT_EQ(dem.epsg, "25830");
    const double expected[6] = {440000, 10, 0, 4476500, 0, -10};
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(dem.transform[k], expected[k]) << "geotransform " << k;
    EXPECT_EQ(dem.type, GDT_Float32);
    EXPECT_TRUE(dem.has_nodata);
    EXPECT_EQ(dem.nodata, -9999);
    ASSERT_EQ(dem.columns, 200);
    ASSERT_EQ(dem.rows, 150);
    for (std::size_t k = 0; k < dem.cells.size(); k++)
        ASSERT_LE(std::fabs(dem.cells[k] - surface.cells[k]), 25)
            << "row " << k / 200 << ", column " << k % 200 << ": " << dem.cells[k] << " for " << surface.cells[k];
}

// Without -te, one empty pixel around the lines' extent (440000..442000 x
// 4475000..4476500); with -tap on 30 m, edges on multiples of 30.
TEST_F(Geo, DefaultAndAlignedExtents)
{
    ASSERT_EQ(geo(root(), "-tr 10 10 '" COLINAS_GPKG "' a.tif").status, 0);
    ASSERT_EQ(geo(root(), "-q -tap -tr 30 30 '" COLINAS_GPKG "' b.tif").status, 0);
    const Raster a = open_raster(root() / "a.tif");
    const Raster b = open_raster(root() / "b.tif");
    EXPECT_EQ(a.columns, 202);
    EXPECT_EQ(a.rows, 152);
    EXPECT_EQ(a.transform[0], 439990);
    EXPECT_EQ(a.transform[3], 4476510);
    // 439970 = 14665 x 30 and 4476540 = 149218 x 30 lie one pixel beyond the lines.
    EXPECT_EQ(b.transform[0], 439950);
    EXPECT_EQ(b.transform[3], 4476540);
    EXPECT_EQ(b.columns, (442050 - 439950) / 30);
    EXPECT_EQ(b.rows, (4476540 - 4474950) / 30);
}

// The same lines as Shapefile, GeoJSON, and GeoJSON with the height only in Z.
TEST_F(Geo, FormatsAndZGiveTheSameRaster)
{
    translate_lines(root() / "colinas.shp", {});
    translate_lines(root() / "colinas.geojson", {"-f", "GeoJSON"});
    translate_lines(root() / "colinas_z.geojson", {"-f", "GeoJSON", "-zfield", "elev", "-select", "ID"});
    ASSERT_EQ(geo(root(), "-q -tr 10 10 '" COLINAS_GPKG "' gpkg.tif").status, 0);
    ASSERT_EQ(geo(root(), "-q -tr 10 10 colinas.shp shp.tif").status, 0);
    ASSERT_EQ(geo(root(), "-q -tr 10 10 colinas.geojson geojson.tif").status, 0);
    ASSERT_EQ(geo(root(), "-q -z -tr 10 10 colinas_z.geojson z.tif").status, 0);
    const Raster gpkg = open_raster(root() / "gpkg.tif");
    for (const char *other : {"shp.tif", "geojson.tif", "z.tif"})
        expect_same_cells(gpkg, open_raster(root() / other), other);
}

// The burned grid of -contours, in the core's units (altitude x 100 - 32500: the
// interval of 25 becomes 2500) and run through the dialog with the levels found,
// gives the cells of -ot Int32 with -surface plain (the core's cells); read back
// as a contour raster it gives them too.
TEST_F(Geo, ContourGridThroughTheDialogGivesTheSameCells)
{
    ASSERT_EQ(geo(root(), "-q -surface plain -smooth 3 -ot Int32 -contours curvas.tif -tr 10 10 '" COLINAS_GPKG "' dem.tif").status, 0);
    const Raster contours = open_raster(root() / "curvas.tif");
    const Raster dem = open_raster(root() / "dem.tif");
    EXPECT_EQ(contours.type, GDT_Int32);
    EXPECT_EQ(contours.nodata, 10000000);
    EXPECT_EQ(dem.type, GDT_Int32);

    std::vector<std::int32_t> cells;
    for (double v : contours.cells)
        cells.push_back(v == 10000000 ? 10000000 : static_cast<std::int32_t>(v * 100 - 32500));
    prueba::escribe(folder.imagen("geo", "colinas_c4.raw"), prueba::celdas(cells));
    prueba::escribe(folder.imagen("geo", "colinas_c4.txt"),
                    std::to_string(contours.rows) + "\n" + std::to_string(contours.columns) + "\n4\n0\n25000\n10\n");
    const prueba::Resultado dialog = prueba::ejecuta(folder, "geo\ncolinas\n0\n0\n25000\n2500\n3\n");
    ASSERT_EQ(dialog.estado, 0) << dialog.salida;
    const auto m4 = prueba::enteros(prueba::lee(folder.imagen("geo", "colinas_m4.raw")), 4);
    ASSERT_EQ(m4.size(), dem.cells.size());
    for (std::size_t k = 0; k < m4.size(); k++)
        ASSERT_EQ(std::nearbyint((m4[k] + 32500) / 100.0), dem.cells[k])
            << "row " << k / dem.columns << ", column " << k % dem.columns;

    ASSERT_EQ(geo(root(), "-q -surface plain -smooth 3 -ot Int32 curvas.tif again.tif").status, 0);
    expect_same_cells(dem, open_raster(root() / "again.tif"), "contour raster as input");
    for (const std::string threads : {"1", "7"}) {
        ASSERT_EQ(geo(root(), "-q -surface plain -threads " + threads + " -smooth 3 -ot Int32 curvas.tif t" + threads +
                                  ".tif")
                      .status,
                  0);
        expect_same_cells(dem, open_raster(root() / ("t" + threads + ".tif")), "-threads " + threads);
    }
}

// Oversampled (or in windows), the core never holds the whole grid asked for:
// -contours writes the grid a run at -oversample 1 gives its core, and the DEM
// is still the oversampled one.
TEST_F(Geo, ContourGridOfAnOversampledRunIsThatOfTheGridAskedFor)
{
    ASSERT_EQ(geo(root(), "-q -oversample 3 -contours c3.tif -tr 10 10 '" COLINAS_GPKG "' d3.tif").status, 0);
    ASSERT_EQ(geo(root(), "-q -oversample 1 -contours c1.tif -tr 10 10 '" COLINAS_GPKG "' d1.tif").status, 0);
    ASSERT_EQ(geo(root(), "-q -oversample 3 -tr 10 10 '" COLINAS_GPKG "' plain3.tif").status, 0);
    expect_same_cells(open_raster(root() / "c1.tif"), open_raster(root() / "c3.tif"), "-contours at -oversample 3");
    expect_same_cells(open_raster(root() / "plain3.tif"), open_raster(root() / "d3.tif"), "the DEM beside -contours");
}

// Levels every 6.25 are multiplied by 100, and the result divided back: four
// times it is the whole-metre result but for the metre run's truncation of every
// interpolated value, which its fills then average (at most 2 m apart).
TEST_F(Geo, DecimalLevelsAreScaledAndBack)
{
    translate_lines(root() / "cuarto.geojson",
                    {"-f", "GeoJSON", "-dialect", "SQLite", "-sql", "SELECT geom, elev / 4.0 AS elev FROM colinas"});
    const GeoRun r = geo(root(), "-tr 10 10 cuarto.geojson cuarto.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Levels: 81.25 to 143.75 every 6.25"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("multiplied by 100"), std::string::npos) << r.out;
    ASSERT_EQ(geo(root(), "-q -tr 10 10 '" COLINAS_GPKG "' metros.tif").status, 0);
    const Raster quarter = open_raster(root() / "cuarto.tif");
    const Raster metres = open_raster(root() / "metros.tif");
    ASSERT_EQ(quarter.cells.size(), metres.cells.size());
    for (std::size_t k = 0; k < quarter.cells.size(); k++)
        ASSERT_NEAR(quarter.cells[k] * 4, metres.cells[k], 2.0) << "cell " << k;
}

// Longitude/latitude are refused (see failures.txt) and accepted with -t_srs.
TEST_F(Geo, GeographicInputWithTargetSystem)
{
    translate_lines(root() / "lonlat.geojson", {"-f", "GeoJSON", "-t_srs", "EPSG:4326"});
    const GeoRun r = geo(root(), "-q -t_srs EPSG:25830 -tr 10 10 lonlat.geojson dem.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    const Raster dem = open_raster(root() / "dem.tif");
    EXPECT_EQ(dem.epsg, "25830");
    EXPECT_NEAR(dem.transform[0], 439990, 0.01);
    EXPECT_NEAR(dem.transform[3], 4476510, 0.01);
    EXPECT_EQ(dem.columns, 202);
}

// COG layout with its creation options; integer output with the progress bar.
TEST_F(Geo, CloudOptimisedAndProgress)
{
    const GeoRun r = geo(root(), "-of COG -co BLOCKSIZE=128 -ot Int16 -tr 5 5 '" COLINAS_GPKG "' dem.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("0...10...20...30...40...50...60...70...80...90...100 - done.\n", 0), 0u) << r.out;
    const Raster dem = open_raster(root() / "dem.tif");
    EXPECT_EQ(dem.layout, "COG");
    EXPECT_EQ(dem.block_x, 128);
    EXPECT_EQ(dem.type, GDT_Int16);
    EXPECT_EQ(dem.nodata, -9999);
}

// Altitudes of 32500 to 57500 in Int16: clamped to 32767, with a warning; the
// nodata value -9999 stays outside them (the core's cells, whose lowest is the
// lowest line's).
TEST_F(Geo, IntegerTypesClampWithAWarning)
{
    translate_lines(root() / "cien.gpkg",
                    {"-dialect", "SQLite", "-sql", "SELECT geom, elev * 100 AS elev FROM colinas", "-nln", "cien"});
    const GeoRun r = geo(root(), "-q -surface plain -ot Int16 -tr 10 10 cien.gpkg dem.tif");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("cells outside the range of Int16 were clamped to it"), std::string::npos) << r.err;
    const Raster dem = open_raster(root() / "dem.tif");
    EXPECT_EQ(dem.nodata, -9999);
    EXPECT_EQ(*std::max_element(dem.cells.begin(), dem.cells.end()), 32767);
    EXPECT_EQ(*std::min_element(dem.cells.begin(), dem.cells.end()), 32500);
}

// The windows decide the cells, so their budget does not follow the memory the
// process may use: under a limit of 700 MB (a budget of a quarter of it would cut
// the grid into windows) the same command writes the same bytes.
TEST_F(Geo, TheSameCommandGivesTheSameFileUnderAMemoryLimit)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    const std::string run = "-q -threads 2 -tr 0.7 0.7 '" COLINAS_GPKG "' ";
    ASSERT_EQ(geo(root(), run + "free.tif").status, 0);
    prueba::escribe(root() / "limited.sh", "ulimit -v 700000 && exec timeout 300 '" TOLVANE_GEO_BIN "' " + run + "limited.tif\n");
    ASSERT_EQ(std::system(("cd '" + root().string() + "' && bash limited.sh").c_str()), 0);
    EXPECT_TRUE(prueba::lee(root() / "free.tif") == prueba::lee(root() / "limited.tif"));
}

// A system that starts few threads or none (a low memory limit, a cgroup's
// task limit) leaves the work to the threads it does start: the run neither
// stops nor stalls, and writes the same bytes, as a GeoTIFF and as a COG.
TEST_F(Geo, FewThreadsGiveTheSameFile)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtime must come first in the process, before a preloaded library";
#endif
    const std::string run = "-q -tr 2 2 '" COLINAS_GPKG "' ";
    for (const char *format : {"", "-of COG "}) {
        ASSERT_EQ(geo(root(), run + format + "free.tif").status, 0);
        for (int most = 0; most <= 3; most++) {
            const std::string out = "capped" + std::to_string(most) + ".tif";
            prueba::escribe(root() / "capped.sh", "MOST_THREADS=" + std::to_string(most) + " LD_PRELOAD='" THREAD_CAP_SO
                                                  "' exec timeout 120 '" TOLVANE_GEO_BIN "' " + run + format + out + "\n");
            ASSERT_EQ(std::system(("cd '" + root().string() + "' && bash capped.sh").c_str()), 0) << most << format;
            EXPECT_TRUE(prueba::lee(root() / "free.tif") == prueba::lee(root() / out)) << most << format;
        }
    }
}

// -surface smooth is the default to the byte and writes the same bytes on any
// number of threads (both surfaces undrained here, as drawn); it keeps every
// cell in the band plain puts it in, holds
// hardly a cell exactly on a level (a clamp onto the bands alone leaves some
// sixty, where plain holds 3537), and comes closer to the surface the lines
// were drawn from.
TEST_F(Geo, SurfaceSmoothIsTheDefaultAndComesCloserThanPlain)
{
    const std::string run = "-q -drainage none -tr 10 10 -te 440000 4475000 442000 4476500 '" COLINAS_GPKG "' ";
    for (const char *a : {"-threads 1 default.tif", "-surface plain plain.tif", "-surface smooth -threads 1 smooth1.tif",
                          "-surface smooth -threads 2 smooth2.tif"})
        ASSERT_EQ(geo(root(), run + a).status, 0) << a;
    const GeoRun smoothed = geo(root(), run + "-smooth 5 smoothed.tif");
    ASSERT_EQ(smoothed.status, 0);
    EXPECT_NE(smoothed.err.find("Warning: -smooth 5 smooths the plain surface only"), std::string::npos) << smoothed.err;
    EXPECT_TRUE(prueba::lee(root() / "default.tif") == prueba::lee(root() / "smooth1.tif"));
    // The core's smoothing is plain's: smooth is drawn from the core's own cells.
    EXPECT_TRUE(prueba::lee(root() / "smoothed.tif") == prueba::lee(root() / "smooth1.tif"));
    EXPECT_TRUE(prueba::lee(root() / "smooth1.tif") == prueba::lee(root() / "smooth2.tif"));
    const Raster plain = open_raster(root() / "plain.tif"), smooth = open_raster(root() / "smooth1.tif");
    const Raster surface = open_raster(SURFACE_TIF);
    ASSERT_EQ(smooth.cells.size(), surface.cells.size());
    double plain_sum = 0, smooth_sum = 0;
    int plain_on = 0, smooth_on = 0;
    for (std::size_t k = 0; k < surface.cells.size(); k++) {
        plain_sum += (plain.cells[k] - surface.cells[k]) * (plain.cells[k] - surface.cells[k]);
        smooth_sum += (smooth.cells[k] - surface.cells[k]) * (smooth.cells[k] - surface.cells[k]);
        // Within the band plain puts the cell in (a flat summit's: the interval above).
        const double low = 300 + 25 * std::floor((plain.cells[k] - 300) / 25);
        ASSERT_GE(smooth.cells[k], plain.cells[k] == low ? low - 25 : low) << k;
        ASSERT_LE(smooth.cells[k], low + 25) << k;
        plain_on += plain.cells[k] == low;
        smooth_on += std::fmod(smooth.cells[k] - 300, 25) == 0;
    }
    EXPECT_LT(smooth_sum, 0.75 * plain_sum) << std::sqrt(smooth_sum / surface.cells.size()) << " against "
                                            << std::sqrt(plain_sum / surface.cells.size());
    EXPECT_LT(smooth_on * 200, plain_on) << smooth_on << " cells on a level against " << plain_on;
}

// The default drains the smooth surface to the byte and leaves plain, the
// core's cells, as drawn; -drainage enforce writes the same bytes on any
// number of threads, leaves no pixel without a lower neighbour (but at the
// grid's edge and beside nodata) and keeps every pixel in the band -drainage
// none leaves it in; on the core's cells, whose flats it has to slope.
TEST_F(Geo, DrainageEnforcedByDefaultOnTheSmoothSurfaceDrainsEveryPixel)
{
    const std::string where = "-tr 10 10 -te 440000 4475000 442000 4476500 -mask auto '" COLINAS_GPKG "' ";
    for (const char *a : {"-q -surface plain -threads 2 default.tif", "-q -surface plain -drainage none none.tif",
                          "-q -surface plain -drainage enforce -threads 1 one.tif",
                          "-surface plain -drainage enforce -threads 2 two.tif", "-q smooth_default.tif",
                          "-q -drainage enforce smooth_enforce.tif"}) {
        const GeoRun r = geo(root(), where + a);
        ASSERT_EQ(r.status, 0) << a << r.err;
        if (std::string(a).find("two") != std::string::npos) {
            EXPECT_NE(r.out.find("Drainage: "), std::string::npos) << r.out;
        }
    }
    EXPECT_TRUE(prueba::lee(root() / "default.tif") == prueba::lee(root() / "none.tif"));
    EXPECT_TRUE(prueba::lee(root() / "smooth_default.tif") == prueba::lee(root() / "smooth_enforce.tif"));
    EXPECT_TRUE(prueba::lee(root() / "one.tif") == prueba::lee(root() / "two.tif"));
    const Raster none = open_raster(root() / "none.tif"), drained = open_raster(root() / "one.tif");
    ASSERT_EQ(none.cells.size(), drained.cells.size());
    const auto at = [&](const Raster &g, int r, int c) {
        return r < 0 || c < 0 || r >= g.rows || c >= g.columns ? NAN : g.cells[static_cast<std::size_t>(r) * g.columns + c];
    };
    long long moved = 0, hidden = 0;
    for (int r = 0; r < drained.rows; r++)
        for (int c = 0; c < drained.columns; c++) {
            const double v = at(drained, r, c), before = at(none, r, c);
            if (v == drained.nodata) {
                ASSERT_EQ(before, none.nodata);
                hidden++;
                continue;
            }
            const double low = 300 + 25 * std::floor((before - 300) / 25);
            ASSERT_GE(v, low) << r << " " << c;
            ASSERT_LT(v, low + 25) << r << " " << c;
            moved += v != before;
            bool out = false;
            for (int dr = -1; dr <= 1 && !out; dr++)
                for (int dc = -1; dc <= 1 && !out; dc++) {
                    const double n = at(drained, r + dr, c + dc);
                    out = std::isnan(n) || n == drained.nodata || n < v;
                }
            ASSERT_TRUE(out) << "no way out at " << r << " " << c;
        }
    EXPECT_GT(hidden, 0);
    EXPECT_GT(moved, 0);
}

// Levels given that the lines do not fit: the run goes on, with a warning.
TEST_F(Geo, LevelsThatDoNotFitAreReported)
{
    GeoRun r = geo(root(), "-q -levels 300 600 25 -tr 10 10 '" COLINAS_GPKG "' a.tif");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: no pixel holds the levels 300, 600: its zones are filled, not interpolated\n");
    r = geo(root(), "-q -levels 325 575 50 -tr 10 10 '" COLINAS_GPKG "' b.tif");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("contour pixels hold an altitude that is no level of the table"), std::string::npos) << r.err;
}

// SQL run on a copy of the lines in place (GeoPackage), as a damaged or sloppy file would be.
void alter(const fs::path &gpkg, const std::string &sql)
{
    GDALDatasetH ds = GDALOpenEx(gpkg.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, nullptr, nullptr, nullptr);
    ASSERT_NE(ds, nullptr) << gpkg;
    GDALDatasetReleaseResultSet(ds, GDALDatasetExecuteSQL(ds, sql.c_str(), nullptr, nullptr));
    GDALClose(ds);
}

// Every regular file of the folder (not below it) and its bytes.
std::map<std::string, std::string> files_in(const fs::path &folder)
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::directory_iterator(folder))
        if (e.is_regular_file() && e.path().filename().string()[0] != '.')
            files[e.path().filename().string()] = prueba::lee(e.path());
    return files;
}

// Every refusal of failures.txt: its status, its line, nothing left in out/, and
// no file of the folder changed (the inputs, an earlier result).
TEST_F(Geo, FailuresLeaveNoFile)
{
    fs::copy_file(COLINAS_GPKG, root() / "colinas.gpkg");
    translate_lines(root() / "decimal.geojson",
                    {"-f", "GeoJSON", "-dialect", "SQLite", "-sql", "SELECT geom, CAST(ID AS TEXT) AS ID, elev / 4.0 AS elev FROM colinas", "-nln", "decimal"});
    translate_lines(root() / "empty.gpkg", {"-where", "elev < 0", "-nln", "empty"});
    translate_lines(root() / "lonlat.geojson", {"-f", "GeoJSON", "-t_srs", "EPSG:4326"});
    fs::create_symlink("colinas.gpkg", root() / "link.gpkg");
    translate_lines(root() / "colinas.shp", {});
    translate_lines(root() / "cut.shp", {});
    fs::resize_file(root() / "cut.shp", fs::file_size(root() / "cut.shp") / 2);
    translate_lines(root() / "corrupt.gpkg", {"-nln", "corrupt"});
    alter(root() / "corrupt.gpkg", "UPDATE corrupt SET geom = substr(geom, 1, 60) WHERE fid IN (3, 6)");
    translate_lines(root() / "nulls.gpkg", {"-nln", "nulls"});
    alter(root() / "nulls.gpkg", "UPDATE nulls SET elev = CASE fid WHEN 3 THEN NULL ELSE 1e999 END WHERE fid IN (3, 6)");
    translate_lines(root() / "poly.gpkg",
                    {"-dialect", "SQLite", "-sql", "SELECT ST_Buffer(geom, 5) AS geom, elev FROM colinas", "-nln", "poly"});
    translate_lines(root() / "points.gpkg",
                    {"-dialect", "SQLite", "-sql", "SELECT ST_StartPoint(geom) AS geom, elev FROM colinas", "-nln", "points"});
    ASSERT_EQ(geo(root(), "-q -tr 10 10 -contours curvas.tif colinas.gpkg earlier.tif").status, 0);
    ASSERT_EQ(mkfifo((root() / "fifo").c_str(), 0600), 0);
    // A character device like /dev/null (made here, when the user may) and a link to it.
    const bool device = mknod((root() / "device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    fs::create_symlink(device ? "device" : "/dev/null", root() / "devlink");
    std::ifstream cases(FAILURES_TXT);
    std::string line;
    int count = 0;
    while (std::getline(cases, line)) {
        if (line.empty() || line[0] == '#' || (!device && line.find(" device") != std::string::npos))
            continue;
        const auto bar1 = line.find('|'), bar2 = line.find('|', bar1 + 1);
        const int status = std::stoi(line.substr(0, bar1));
        const std::string message = line.substr(bar1 + 1, bar2 - bar1 - 1);
        const std::string arguments = line.substr(bar2 + 1);
        fs::remove_all(root() / "out");
        fs::create_directory(root() / "out");
        const auto before = files_in(root());
        const GeoRun r = geo(root(), arguments);
        EXPECT_EQ(r.status, status) << arguments << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << arguments << "\nsays: " << r.err;
        if (status == 2) { // the mistake and a pointer to --help, not the whole help
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        }
        EXPECT_TRUE(fs::is_empty(root() / "out")) << arguments;
        auto after = files_in(root());
        for (auto f = after.begin(); status == 0 && f != after.end();)
            f = before.count(f->first) ? std::next(f) : after.erase(f); // a run that succeeds adds its output
        EXPECT_TRUE(after == before) << arguments << ": a file of the folder changed, or one was added";
        count++;
    }
    EXPECT_GT(count, 20);
    const GeoRun help = geo(root(), "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tolvane-geo", 0), 0u);
}

} // namespace

namespace {

// A run ended by a signal while it writes leaves neither its temporary files nor
// a partial product behind: while the core runs, and while GDAL writes the
// overviews of a COG beside it (.ovr.tmp).
TEST_F(Geo, ASignalWhileWritingLeavesNoFile)
{
    // The options, and the shell's test that the run is where it should be caught.
    const std::pair<std::string, std::string> cases[] = {
        {"-tr 0.5 0.5 -contours c.tif -hillshade h.png", "ls -A | grep -q tolvane-"},
        {"-tr 1 1 -of COG", "ls -A .tolvane-*/ 2>/dev/null | grep -q ovr"}};
    for (const auto &[options, caught] : cases) {
        fs::remove_all(root() / "out");
        fs::remove(root() / "caught");
        fs::create_directory(root() / "out");
        const std::string script =
            "cd '" + (root() / "out").string() + "' && { '" TOLVANE_GEO_BIN "' -q -threads 1 " + options + " '"
            COLINAS_GPKG "' m.tif & pid=$!; n=0; while [ $n -lt 5000 ] && kill -0 $pid 2>/dev/null && ! " +
            caught + "; do sleep 0.002; n=$((n + 1)); done; " + caught +
            " && echo caught > ../caught; kill -TERM $pid; wait $pid; echo $? > ../status; }";
        prueba::escribe(root() / "signal.sh", script + "\n");
        ASSERT_EQ(std::system(("bash '" + (root() / "signal.sh").string() + "'").c_str()), 0);
        if (!fs::exists(root() / "caught"))
            continue; // the run ended before it could be caught writing
        EXPECT_EQ(prueba::lee(root() / "status"), "143\n") << options;
        EXPECT_TRUE(fs::is_empty(root() / "out")) << options;
    }
}

// A cone of rings 10 m apart, levels 100 to 450 from the rim up, in a GeoPackage
// (EPSG:25830, field elev); the ring of level `opened` lacks its first quarter.
void write_cone(const fs::path &file, int opened = 0)
{
    GDALDatasetH d = GDALCreate(GDALGetDriverByName("GPKG"), file.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    ASSERT_NE(d, nullptr);
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, 25830);
    OGRLayerH layer = GDALDatasetCreateLayer(d, "cone", srs, wkbLineString, nullptr);
    OSRDestroySpatialReference(srs);
    OGRFieldDefnH field = OGR_Fld_Create("elev", OFTInteger);
    OGR_L_CreateField(layer, field, TRUE);
    OGR_Fld_Destroy(field);
    for (int level = 100; level <= 450; level += 10) {
        const double radius = 400 - (level - 100);
        OGRGeometryH ring = OGR_G_CreateGeometry(wkbLineString);
        for (int degree = level == opened ? 90 : 0; degree <= 360; degree += 3)
            OGR_G_AddPoint_2D(ring, 440500 + radius * std::cos(degree * M_PI / 180),
                              4475500 + radius * std::sin(degree * M_PI / 180));
        OGRFeatureH f = OGR_F_Create(OGR_L_GetLayerDefn(layer));
        OGR_F_SetGeometryDirectly(f, ring);
        OGR_F_SetFieldInteger(f, 0, level);
        EXPECT_EQ(OGR_L_CreateFeature(layer, f), OGRERR_NONE);
        OGR_F_Destroy(f);
    }
    GDALClose(d);
}

// Rings 2/3 of a pixel apart on a small grid: the automatic factor tries the grid 10
// times finer and keeps it where no zone leaks there, the same cells as
// -oversample 10; where a ring left open lets its zone leak, it takes 6, the
// same cells as -oversample 6.
TEST_F(Geo, AutomaticFactorKeepsTheFinestGridOnlyWhereTheBandsHold)
{
    write_cone(root() / "cone.gpkg");
    write_cone(root() / "opened.gpkg", 250);
    struct Case {
        const char *lines, *options, *factor;
    };
    for (const Case &c : {Case{"cone.gpkg", "", "10"}, Case{"opened.gpkg", "-repair_gaps 0 -mask none ", "6"}}) {
        SCOPED_TRACE(c.lines);
        const std::string run = std::string("-tr 15 15 ") + c.options + c.lines;
        const GeoRun automatic = geo(root(), run + " auto.tif");
        ASSERT_EQ(automatic.status, 0) << automatic.err;
        EXPECT_NE(automatic.out.find(std::string("Oversampling: the lines burned ") + c.factor + " times finer"),
                  std::string::npos)
            << automatic.out;
        ASSERT_EQ(geo(root(), "-q -oversample " + std::string(c.factor) + " " + run + " fixed.tif").status, 0);
        expect_same_cells(open_raster(root() / "auto.tif"), open_raster(root() / "fixed.tif"), c.lines);
    }
}

// A link planted where a run's temporary file used to be named
// (.NAME.tolvane-PID.tmp, the PID known to whoever starts it) is not followed:
// the file it points to keeps its bytes.
TEST_F(Geo, APlantedLinkIsNotFollowed)
{
    prueba::escribe(root() / "victim", "not to be written\n");
    const std::string script = "cd '" + root().string() + "' && ln -s victim .dem.tif.tolvane-$$.tmp && exec '"
                               TOLVANE_GEO_BIN "' -q -tr 10 10 '" COLINAS_GPKG "' dem.tif";
    prueba::escribe(root() / "plant.sh", script + "\n");
    ASSERT_EQ(std::system(("sh '" + (root() / "plant.sh").string() + "'").c_str()), 0);
    EXPECT_EQ(prueba::lee(root() / "victim"), "not to be written\n");
    EXPECT_EQ(open_raster(root() / "dem.tif").columns, 202);
}

} // namespace
