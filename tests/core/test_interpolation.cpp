// Distance interpolation: every zone pixel between the nearest pixel of its lower
// and of its upper contour.
#include "grilles.h"

#include "console.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using grilles::E;
using grilles::Grille;

TEST(ValeurInterpolee, ShareOfTheLowerDistance)
{
    const struct {
        int intervalle, bas;
        double distinf, distsup;
        int valeur;
    } cas[] = {
        {10, 100, 1, 3, 102},           // 102.5
        {10, 100, 2, 2, 105},
        {10, -100, 1, 2, -96},          // -96.67 truncated toward zero
        {10, 100, 99999.0, 1, 109},     // no lower contour: just under the upper one
        {10, 100, 5, 99999.0, 100},     // no upper contour
        {10, 100, 99999.0, 99999.0, 105},
        // The sum lies just below 1020 in extended precision.
        {100, 1000, static_cast<double>(sqrtl(10.0L)), static_cast<double>(sqrtl(160.0L)), 1019},
    };
    for (const auto &c : cas) {
        interval = c.intervalle;
        EXPECT_EQ(valeur_interpolee(c.bas, c.distinf, c.distsup), c.valeur)
            << c.bas << " " << c.distinf << " " << c.distsup;
    }
}

std::string zone(int k, int bas, int haut, int lignes)
{
    std::string t = "\n\n tratamiento en la zona codificada con el valor " + std::to_string(k) + " "
                    + "\n y comprendida entre las curvas " + std::to_string(bas) + " y " + std::to_string(haut) + " "
                    + "\n\n";
    for (int i = 20; i < lignes; i += 20)
        t += "\t linea " + std::to_string(i) + "      \r ";
    return t;
}

struct CasGrille {
    const char *nom;
    int inferieur, superieur, intervalle;
    Grille image, codes, attendu;
};

void PrintTo(const CasGrille &c, std::ostream *os) { *os << c.nom; }

class InterpolationGrille : public testing::TestWithParam<CasGrille> {};

TEST_P(InterpolationGrille, ZonePixelsBetweenTheirContours)
{
    const CasGrille &c = GetParam();
    grilles::charge(c.image);
    grilles::pose(tab, c.codes);
    grilles::niveaux(c.inferieur, c.superieur, c.intervalle);
    std::string annonce;
    for (int k = 1; k <= nbplage; k++)
        annonce += zone(k, mit[k], mat[k], nb_lig);

    EXPECT_EQ(grilles::console(interpolation), annonce);
    EXPECT_EQ(grilles::lit(itab), c.attendu);
}

const CasGrille cas_grilles[] = {
    {"AlongOneRow", 100, 110, 10,
     {{100, E, E, E, 110}},
     {{0, 1, 1, 1, 0}},
     {{100, 102, 105, 107, 110}}},
    {"EuclideanDistances", 100, 110, 10,
     {{100, E, E},
      {E, E, E},
      {E, E, 110}},
     {{0, 1, 1},
      {1, 1, 1},
      {1, 1, 0}},
     {{100, 103, 105},
      {103, 105, 106},
      {105, 106, 110}}},
    // Zone 2 takes its lower contour 110 from zone 1's upper one; pixels of code 0
    // keep their input value, the empty marker included.
    {"TwoZonesAndUnlabelledPixels", 100, 120, 10,
     {{100, E, 110, E, E, 120, 555, E}},
     {{0, 1, 0, 2, 2, 0, 0, 0}},
     {{100, 105, 110, 113, 116, 120, 555, E}}},
    {"NegativeAltitudesTowardZero", -100, -90, 10,
     {{-100, E, E, -90}},
     {{0, 1, 1, 0}},
     {{-100, -96, -93, -90}}},
    {"MissingLowerContour", 100, 110, 10,
     {{E, E, 110}},
     {{0, 1, 0}},
     {{E, 109, 110}}},
    {"MissingUpperContour", 100, 110, 10,
     {{100, E, E, E, E, E}},
     {{0, 0, 0, 0, 0, 1}},
     {{100, E, E, E, E, 100}}},
    {"NeitherContourPresent", 100, 110, 10,
     {{E, E}},
     {{0, 1}},
     {{E, 105}}},
    {"NoZoneLeavesTheImage", 100, 100, 10,
     {{100, E, 110, 555}},
     {{0, 0, 0, 0}},
     {{100, E, 110, 555}}},
    {"NegativeZoneCountLeavesTheImage", 100, 90, 10,
     {{100, E, 110, 555}},
     {{0, 0, 0, 0}},
     {{100, E, 110, 555}}},
};

INSTANTIATE_TEST_SUITE_P(Zonas, InterpolationGrille, testing::ValuesIn(cas_grilles),
                         [](const testing::TestParamInfo<CasGrille> &i) { return std::string(i.param.nom); });

TEST(Interpolation, ProgressLinesOfEveryZone)
{
    grilles::charge(Grille(45, std::vector<int>(3, E)));
    grilles::niveaux(100, 120, 10);
    EXPECT_EQ(grilles::console(interpolation),
              "\n\n tratamiento en la zona codificada con el valor 1 "
              "\n y comprendida entre las curvas 100 y 110 \n\n"
              "\t linea 20      \r \t linea 40      \r "
              "\n\n tratamiento en la zona codificada con el valor 2 "
              "\n y comprendida entre las curvas 110 y 120 \n\n"
              "\t linea 20      \r \t linea 40      \r ");
    EXPECT_EQ(grilles::lit(itab), Grille(45, std::vector<int>(3, E)));
}

// 79996 pixels of the lower contour; the only one next to the zone pixel is the
// last of them in row order.
TEST(Interpolation, NearestOfEightyThousandContourPixels)
{
    Grille image(200, std::vector<int>(400, 100));
    image[0][0] = 1100;
    image[198][398] = image[198][399] = image[199][399] = E;
    grilles::charge(image);
    tab[199][399] = 1;
    grilles::niveaux(100, 1100, 1000);
    grilles::console(interpolation);
    // 100 + 1000 x 1 / (1 + sqrt(199^2 + 399^2)) = 102.24
    EXPECT_EQ(itab[199][399], 102);
    EXPECT_EQ(itab[198][399], E);
    EXPECT_EQ(itab[199][398], 100);
}

} // namespace

// The progress lines go out in blocks, their numbers counted up digit by digit:
// the same text as one printf each, for no line, one, more than a block of 64
// KiB, numbers gaining digits with steps of every size, from 0 and from below 0.
TEST(ProgressLines, SameTextAsOnePrintfEach)
{
    const struct {
        int first, end, step;
    } ranges[] = {{20, 20, 20}, {20, 21, 20},   {20, 100000, 20}, {20, 2000001, 20}, {0, 1001, 1},
                  {1, 12, 3},   {-45, 30, 7},   {95, 1000005, 999}, {9, 100, 91},     {999999, 1000000, 1}};
    for (const auto &r : ranges) {
        testing::internal::CaptureStdout();
        for (long long n = r.first; n < r.end; n += r.step)
            console_printf("\t linea %d      \r ", static_cast<int>(n));
        std::fflush(stdout);
        const std::string one_each = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        console_counted_lines("\t linea ", "      \r ", r.first, r.end, r.step);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), one_each) << r.first << " to " << r.end;
    }
}
