// Zone labelling: seeds between the two contours of a zone, and the row-run fill
// that spreads the zone code over the empty region around each seed.
#include "grilles.h"

#include <gtest/gtest.h>

namespace {

using grilles::E;
using grilles::Grille;

struct CasZones {
    const char *nom;
    int inferieur, superieur, intervalle;
    Grille image;
    Grille codes; // expected tab
};

void PrintTo(const CasZones &c, std::ostream *os) { *os << c.nom; }

// itab must hold the zone code wherever tab has one, and the image elsewhere.
Grille image_marquee(const Grille &image, const Grille &codes)
{
    Grille g = image;
    for (std::size_t i = 0; i < g.size(); i++)
        for (std::size_t j = 0; j < g[i].size(); j++)
            if (codes[i][j] != 0)
                g[i][j] = codes[i][j];
    return g;
}

class EtiquetageGrille : public testing::TestWithParam<CasZones> {};

TEST_P(EtiquetageGrille, CodesInTabAndItab)
{
    const CasZones &c = GetParam();
    grilles::charge(c.image);
    grilles::niveaux(c.inferieur, c.superieur, c.intervalle);
    const std::string texte = grilles::console([] { plages(nbplage); });
    EXPECT_EQ(texte, "");
    EXPECT_EQ(grilles::lit(tab), c.codes);
    EXPECT_EQ(grilles::lit(itab), image_marquee(c.image, c.codes));
}

const CasZones cas_zones[] = {
    {"RunBetweenTwoContoursSpreadsDown", 100, 110, 10,
     {{E, E, E, E},
      {100, E, E, 110},
      {100, E, E, 110}},
     {{0, 0, 0, 0},
      {0, 1, 1, 0},
      {0, 1, 1, 0}}},
    {"ContoursInEitherOrder", 100, 110, 10,
     {{E, E, E, E},
      {110, E, E, 100},
      {110, E, E, 100}},
     {{0, 0, 0, 0},
      {0, 1, 1, 0},
      {0, 1, 1, 0}}},
    {"SecondZoneGetsCodeTwo", 100, 120, 10,
     {{E, E, E, E, E},
      {100, E, 110, E, 120},
      {100, E, 110, E, 120}},
     {{0, 0, 0, 0, 0},
      {0, 1, 0, 2, 0},
      {0, 1, 0, 2, 0}}},
    {"BordersTwoIntervalsApartMakeNoSeed", 100, 120, 10,
     {{E, E, E, E},
      {100, E, E, 120},
      {120, E, E, 100}},
     {{0, 0, 0, 0},
      {0, 0, 0, 0},
      {0, 0, 0, 0}}},
    {"EqualBordersMakeNoSeed", 100, 110, 10,
     {{E, E, E, E},
      {100, E, E, 100},
      {110, E, E, 110}},
     {{0, 0, 0, 0},
      {0, 0, 0, 0},
      {0, 0, 0, 0}}},
    {"NoBorderOnOneSideMakesNoSeed", 100, 110, 10,
     {{100, 100, 100, 100, 100, 100, 100},
      {E, E, 100, E, 110, E, E},
      {100, 100, 100, 100, 100, 100, 100}},
     {{0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 1, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0}}},
    // One seed at (2, 2). The fill never enters row 0 nor column 0, runs without a
    // border on their left start in column 1, runs without one on their right end
    // in the last column, and the contour in column 1 keeps its altitude.
    {"FillStopsAtRowZeroAndColumnZero", 100, 110, 10,
     {{E, E, E, E, E},
      {E, E, E, E, E},
      {E, 100, E, 110, E},
      {E, E, E, E, E}},
     {{0, 0, 0, 0, 0},
      {0, 1, 1, 1, 1},
      {0, 0, 1, 0, 1},
      {0, 1, 1, 1, 1}}},
    // The ring between a square 100 contour and a one-pixel 110 summit; its
    // pixels with equal borders in their row are reached by the fill, the
    // outside is not.
    {"RingAroundSummit", 100, 110, 10,
     {{E, E, E, E, E, E, E},
      {E, 100, 100, 100, 100, 100, E},
      {E, 100, E, E, E, 100, E},
      {E, 100, E, 110, E, 100, E},
      {E, 100, E, E, E, 100, E},
      {E, 100, 100, 100, 100, 100, E},
      {E, E, E, E, E, E, E}},
     {{0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0},
      {0, 0, 1, 1, 1, 0, 0},
      {0, 0, 1, 0, 1, 0, 0},
      {0, 0, 1, 1, 1, 0, 0},
      {0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0}}},
    // (2, 2) touches the labelled (1, 1) only across a corner: the fill does not
    // reach it, and its own borders (110, 110) make no seed.
    {"NoSpreadAcrossCorners", 100, 110, 10,
     {{E, E, E, E},
      {100, E, 110, 110},
      {100, 110, E, 110},
      {100, 110, 110, 110}},
     {{0, 0, 0, 0},
      {0, 1, 0, 0},
      {0, 0, 0, 0},
      {0, 0, 0, 0}}},
    // A descending table matches no pair: the smaller border must be a lower
    // contour of the table.
    // Row 1's run has no border on its left; the region takes row 2's zone.
    {"FirstZoneInScanOrderLabelsTheWholeRegion", 100, 130, 10,
     {{E, E, E, E, E},
      {E, E, E, E, 110},
      {100, E, E, E, 110},
      {120, 120, 120, 120, 120}},
     {{0, 0, 0, 0, 0},
      {0, 1, 1, 1, 0},
      {0, 1, 1, 1, 0},
      {0, 0, 0, 0, 0}}},
    // A run of column 1 alone: no fill enters it, but its own fill goes on into
    // the run below that holds columns 1 and 2, which has no right border.
    {"ColumnOneAloneFillsOnBelow", 100, 130, 10,
     {{E, E, E, E, E},
      {100, E, 110, 120, 120},
      {120, E, E, E, E},
      {120, 120, 120, 120, 120}},
     {{0, 0, 0, 0, 0},
      {0, 1, 0, 0, 0},
      {0, 1, 1, 1, 1},
      {0, 0, 0, 0, 0}}},
    // The same, but the runs above and below were labelled before it.
    {"ColumnOneAloneComesAfterTheRegionsAround", 100, 130, 10,
     {{E, E, E, E, E},
      {110, E, E, E, 120},
      {100, E, 110, E, 120},
      {100, E, E, E, 120}},
     {{0, 0, 0, 0, 0},
      {0, 2, 2, 2, 0},
      {0, 1, 0, 2, 0},
      {0, 2, 2, 2, 0}}},
    {"DescendingTableLabelsNothing", 110, 100, -10,
     {{E, E, E, E},
      {100, E, E, 110},
      {110, E, E, 100}},
     {{0, 0, 0, 0},
      {0, 0, 0, 0},
      {0, 0, 0, 0}}},
};

INSTANTIATE_TEST_SUITE_P(Zonas, EtiquetageGrille, testing::ValuesIn(cas_zones),
                         [](const testing::TestParamInfo<CasZones> &i) { return std::string(i.param.nom); });

// A comb: a long empty row between two rows of 14999 empty teeth each, so the
// run of the long row leaves 29998 seeds pending at once.
TEST(Etiquetage, CombWithThirtyThousandPendingSeeds)
{
    const int colonnes = 30001;
    Grille image(5, std::vector<int>(colonnes, 100));
    for (int i = 1; i <= 3; i++)
        image[i][colonnes - 1] = 110;
    for (int j = 1; j < colonnes - 1; j++) {
        image[2][j] = E;
        if (j % 2 == 0)
            image[1][j] = image[3][j] = E;
    }
    grilles::charge(image);
    grilles::niveaux(100, 110, 10);
    plages(nbplage);

    int etiquetes = 0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            const int attendu = image[i][j] == E ? 1 : 0;
            etiquetes += tab[i][j];
            ASSERT_EQ(tab[i][j], attendu) << i << "," << j;
            ASSERT_EQ(itab[i][j], attendu ? 1 : image[i][j]) << i << "," << j;
        }
    EXPECT_EQ(etiquetes, 29999 + 2 * 14999);
}

} // namespace
