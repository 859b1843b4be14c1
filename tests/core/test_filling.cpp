// Filling of the pixels no zone reached: the Van der Gonff dilation, then the
// averaging of cross neighbours.
#include "grilles.h"

#include <gtest/gtest.h>

namespace {

using grilles::E;
using grilles::Grille;

struct CasRemplissage {
    const char *nom;
    Grille image, attendu;
    std::vector<int> remplis; // pixels filled by each dilation call that filled some
};

void PrintTo(const CasRemplissage &c, std::ostream *os) { *os << c.nom; }

class DilatationGrille : public testing::TestWithParam<CasRemplissage> {};

TEST_P(DilatationGrille, FillsOnlyEmptyPixelsWithAGreaterNeighbour)
{
    const CasRemplissage &c = GetParam();
    grilles::charge(c.image);
    EXPECT_EQ(grilles::console(dilatation), grilles::texte_dilatation(c.remplis));
    EXPECT_EQ(grilles::lit(itab), c.attendu);
    EXPECT_EQ(modif, 0);
}

const CasRemplissage cas_dilatation[] = {
    // The passes give the pixel 90; of the greater neighbours above (100), left
    // (120) and right (110) the last one counts: (110 + 90) x 0.5 + 0.5.
    {"LastGreaterCrossNeighbourCounts",
     {{5, 100, 5}, {120, E, 110}, {5, 90, 5}},
     {{5, 100, 5}, {120, 100, 110}, {5, 90, 5}},
     {1}},
    {"FourEqualNeighboursLeaveThePixel",
     {{7, 100, 7}, {100, E, 100}, {7, 100, 7}},
     {{7, 100, 7}, {100, E, 100}, {7, 100, 7}},
     {}},
    {"OneRowWithoutGreaterNeighbour",
     {{E, E, 100, 110, E}},
     {{E, E, 100, 110, E}},
     {}},
    {"NoEmptyPixel", {{1, 2}, {3, 4}}, {{1, 2}, {3, 4}}, {}},
    {"NoAltitude", {{E, E}, {E, E}}, {{E, E}, {E, E}}, {}},
    // A first pass over the 3 x 3 block would give the pixel 10 and then 55.
    {"FirstPassUsesTheCross", {{10, 100}, {100, E}}, {{10, 100}, {100, E}}, {}},
    // The centre has only diagonal neighbours: the cross pass fills around it,
    // the 3 x 3 pass gives it 50, and 80 to its right raises it to 65.
    {"DiagonalOnlyPixelReachedInSecondPass",
     {{50, E, 80}, {E, E, E}, {80, E, 80}},
     {{50, 65, 80}, {65, 65, 73}, {80, 73, 80}},
     {3, 2}},
    // The running minimum starts at 9999999.
    {"NeighboursAboveTheStartOfTheMinimum",
     {{E, 12000000}},
     {{11000000, 12000000}},
     {1}},
};

INSTANTIATE_TEST_SUITE_P(Grillas, DilatationGrille, testing::ValuesIn(cas_dilatation),
                         [](const testing::TestParamInfo<CasRemplissage> &i) { return std::string(i.param.nom); });

TEST(MoyenneDilatation, RoundsHalvesUp)
{
    const struct {
        int alt_prov, ival2, valeur;
    } cas[] = {{4, 3, 4}, {5, 3, 4}, {5, 4, 5}, {0, -1, 0}, {-1, -2, -1}, {-1, -3, -1}, {110, 90, 100}};
    for (const auto &c : cas)
        EXPECT_EQ(moyenne_dilatation(c.alt_prov, c.ival2), c.valeur) << c.alt_prov << " + " << c.ival2;
}

TEST(MoyenneCroix, MeanOfUsableNeighbours)
{
    const struct {
        long long tot;
        int ico, valeur;
    } cas[] = {{201, 2, 101}, {301, 3, 100}, {406, 4, 102}, {-5, 2, -2}, {-8, 3, -2}, {7, 1, 7}};
    for (const auto &c : cas)
        EXPECT_EQ(moyenne_croix(c.tot, c.ico), c.valeur) << c.tot << " / " << c.ico;
}

// One line, and the same cells as one column: there both neighbourhoods of the
// dilation reach the cell before and the cell after, and of two greater ones the
// one after counts (right, or below).
class DilatationLineaire : public testing::TestWithParam<CasRemplissage> {};

Grille colonne(const Grille &ligne)
{
    Grille c;
    for (int v : ligne[0])
        c.push_back({v});
    return c;
}

TEST_P(DilatationLineaire, LineAndColumnFillTheSameCells)
{
    const CasRemplissage &c = GetParam();
    for (const bool en_colonne : {false, true}) {
        grilles::charge(en_colonne ? colonne(c.image) : c.image);
        EXPECT_EQ(grilles::console(dilatation), grilles::texte_dilatation(c.remplis)) << en_colonne;
        EXPECT_EQ(grilles::lit(itab), en_colonne ? colonne(c.attendu) : c.attendu) << en_colonne;
        EXPECT_EQ(modif, 0);
    }
}

const CasRemplissage cas_lineaires[] = {
    // The run's even middle: 10 reaches two cells, 20 two; the second cell, with 20
    // after it, takes 15, which splits the run again.
    {"EvenRunSplitAtItsMiddle", {{10, E, E, E, E, 20}}, {{10, 13, 15, 18, 19, 20}}, {1, 2, 1}},
    // The odd middle is as far from both ends and takes the smaller one.
    {"OddMiddleTakesTheSmallerEnd", {{0, E, E, E, 100}}, {{0, 25, 50, 75, 100}}, {1, 2}},
    // A run at the border takes its one end, capped at 9999999, and so does a
    // middle next to 12000000; the cell after 12000000 is the mean with it.
    {"BorderRunsAndTheCap",
     {{E, E, 12000000, E, 5}},
     {{10500000, 11000000, 12000000, 6000003, 5}},
     {2, 1}},
    {"EmptyLine", {{E, E, E}}, {{E, E, E}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Grillas, DilatationLineaire, testing::ValuesIn(cas_lineaires),
                         [](const testing::TestParamInfo<CasRemplissage> &i) { return std::string(i.param.nom); });

class MoyenneGrille : public testing::TestWithParam<CasRemplissage> {};

TEST_P(MoyenneGrille, FillsEveryGapAndCopiesIntoItab1)
{
    const CasRemplissage &c = GetParam();
    grilles::charge(c.image);
    grilles::pose(itab1, Grille(nb_lig, std::vector<int>(nb_col, -1)));
    EXPECT_EQ(grilles::console(moyenne), "");
    EXPECT_EQ(grilles::lit(itab), c.attendu);
    EXPECT_EQ(grilles::lit(itab1), c.attendu);
    EXPECT_EQ(nb_pix_mod, 0);
}

const CasRemplissage cas_moyenne[] = {
    {"SpreadsRightWithinAPass", {{5, E, E, E}}, {{5, 5, 5, 5}}, {}},
    {"SpreadsLeftPassByPass", {{E, E, E, 5}}, {{5, 5, 5, 5}}, {}},
    // The second pixel sees only 10: its right neighbour is still empty.
    {"FreshValuesCountAtOnce", {{10, E, E, 20}}, {{10, 10, 15, 20}}, {}},
    {"CornerHalfGoesUp", {{E, 100}, {101, 7}}, {{101, 100}, {101, 7}}, {}},
    {"ThreeNeighbours", {{100, E, 100}, {7, 101, 7}}, {{100, 100, 100}, {7, 101, 7}}, {}},
    {"FourNeighbours", {{0, 100, 0}, {101, E, 102}, {0, 103, 0}}, {{0, 100, 0}, {101, 102, 102}, {0, 103, 0}}, {}},
    {"NegativeHalfTowardZero", {{-3, E, -2}}, {{-3, -2, -2}}, {}},
    {"NegativeThirdTowardZero", {{-3, E, -2}, {9, -3, 9}}, {{-3, -2, -2}, {9, -3, 9}}, {}},
    {"FourEqualNeighbours", {{7, 100, 7}, {100, E, 100}, {7, 100, 7}}, {{7, 100, 7}, {100, 100, 100}, {7, 100, 7}}, {}},
    // (0, 0) has only a diagonal altitude in the first pass and waits for (0, 1).
    {"DiagonalNeighbourNotUsed", {{E, E, 4}, {E, 100, E}}, {{76, 52, 4}, {100, 100, 52}}, {}},
    {"NoEmptyPixel", {{1, 2}, {3, 4}}, {{1, 2}, {3, 4}}, {}},
    {"NoAltitude", {{E, E}, {E, E}}, {{E, E}, {E, E}}, {}},
};

INSTANTIATE_TEST_SUITE_P(Grillas, MoyenneGrille, testing::ValuesIn(cas_moyenne),
                         [](const testing::TestParamInfo<CasRemplissage> &i) { return std::string(i.param.nom); });

// The cases of one line again as one column: above and below play left and right.
TEST(MoyenneColonne, OneLineCasesStandOnTheirSide)
{
    for (const CasRemplissage &c : cas_moyenne) {
        if (c.image.size() != 1)
            continue;
        grilles::charge(colonne(c.image));
        EXPECT_EQ(grilles::console(moyenne), "");
        EXPECT_EQ(grilles::lit(itab1), colonne(c.attendu)) << c.nom;
    }
}

} // namespace
