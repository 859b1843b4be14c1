// What the golden cone runs must mean, beyond being the bytes the program wrote:
// tests/golden/cone and cone_smoothed_3 (the runs themselves are checked by
// test_golden.cpp, and their whole transcripts and files are data there).
//
// The cone is 60 x 80 pixels with circular contours of radius 8 (900), 16 (800)
// and 24 (700) around (30, 40). A contour is the ring of pixels inside its circle
// that touch a pixel outside it across a side, so no fill crosses it.
#include "run_tolvane.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int ROWS = 60, COLUMNS = 80;

double distance(int i, int j) { return std::hypot(i - 30, j - 40); }

int contour(int i, int j)
{
    for (int r : {8, 16, 24}) {
        const int altitude = 1000 - 100 * (r / 8);
        const bool inside = distance(i, j) <= r;
        const bool edge = distance(i - 1, j) > r || distance(i + 1, j) > r || distance(i, j - 1) > r
                          || distance(i, j + 1) > r;
        if (inside && edge)
            return altitude;
    }
    return VIDE;
}

std::vector<std::int32_t> cells(const std::string &golden_case, const std::string &file)
{
    return prueba::enteros(prueba::lee(fs::path(GOLDEN_DIR) / golden_case / file), 4);
}

// The input of the golden cases is the cone described above.
TEST(Cone, GoldenInputIsTheCone)
{
    for (const char *c : {"cone", "cone_smoothed_3"}) {
        const std::vector<std::int32_t> image = cells(c, "images/cono/dem_c4.raw");
        ASSERT_EQ(image.size(), static_cast<std::size_t>(ROWS * COLUMNS)) << c;
        for (int i = 0; i < ROWS; i++)
            for (int j = 0; j < COLUMNS; j++)
                ASSERT_EQ(image[i * COLUMNS + j], contour(i, j)) << c << ", row " << i << ", column " << j;
    }
}

// Every pixel between two contours ends within their interval; the summit and
// the outside take the altitude of the contour around them. Nothing is left for
// the dilation.
TEST(Cone, EveryPixelWithinItsContourInterval)
{
    const std::vector<std::int32_t> m4 = cells("cone", "expected/images/cono/dem_m4.raw");
    ASSERT_EQ(m4.size(), static_cast<std::size_t>(ROWS * COLUMNS));
    int rings = 0;
    for (int i = 0; i < ROWS; i++)
        for (int j = 0; j < COLUMNS; j++) {
            const int v = m4[i * COLUMNS + j];
            const double r = distance(i, j);
            SCOPED_TRACE(testing::Message() << "row " << i << ", column " << j);
            if (contour(i, j) != VIDE) {
                EXPECT_EQ(v, contour(i, j));
            } else if (r <= 8) {
                EXPECT_EQ(v, 900);
            } else if (r <= 16) {
                EXPECT_TRUE(v >= 800 && v <= 900) << v;
                rings++;
            } else if (r <= 24) {
                EXPECT_TRUE(v >= 700 && v <= 800) << v;
                rings++;
            } else {
                EXPECT_EQ(v, 700);
            }
        }
    EXPECT_GT(rings, 1000);
    const std::string transcript = prueba::lee(fs::path(GOLDEN_DIR) / "cone" / "expected" / "transcript");
    EXPECT_EQ(transcript.find("numero de puntos interpolados"), std::string::npos);
}

// Size 3 smooths every pixel from the unsmoothed surface: the corners stay 700,
// and no value leaves the range of the contours by more than the last unit.
TEST(Cone, SmoothedWithSizeThree)
{
    const std::vector<std::int32_t> m4 = cells("cone_smoothed_3", "expected/images/cono/dem_m4.raw");
    ASSERT_EQ(m4.size(), static_cast<std::size_t>(ROWS * COLUMNS));
    for (int corner : {0, COLUMNS - 1, (ROWS - 1) * COLUMNS, ROWS * COLUMNS - 1})
        EXPECT_EQ(m4[corner], 700);
    for (std::int32_t v : m4)
        ASSERT_TRUE(v >= 699 && v <= 900) << v;
    EXPECT_NE(m4[30 * COLUMNS + 48], 900); // the contour 900 is blurred
}

} // namespace
