// Bezier smoothing: every pixel of itab1 from the window of itab around it.
#include "grilles.h"

#include <gtest/gtest.h>

namespace {

using grilles::Grille;

TEST(Lissage, BinomialsAndFactorials)
{
    for (int n = 0; n <= 9; n++) {
        EXPECT_EQ(Comb(0, n), 1) << n;
        EXPECT_EQ(Comb(n, n), 1) << n;
    }
    EXPECT_EQ(Comb(1, 3), 3);
    EXPECT_EQ(Comb(2, 5), 10);
    EXPECT_EQ(Comb(3, 7), 35);
    EXPECT_EQ(Comb(4, 9), 126);
    EXPECT_EQ(Fact(0), 1.0L);
    EXPECT_EQ(Fact(1), 1.0L);
    EXPECT_EQ(Fact(5), 120.0L);
    EXPECT_EQ(Fact(9), 362880.0L);
    EXPECT_EQ(Fact(-1), 0.0L);
}

// Sizes the grids to the rows, puts them into itab and itab1 (as the averaging
// leaves them) and smooths.
std::string lisse(const Grille &lignes, int maille)
{
    grilles::charge(lignes);
    grilles::pose(itab1, lignes);
    return grilles::console([maille] { lissage(maille); });
}

TEST(Lissage, FlatAreaInterior)
{
    const struct {
        int maille, valeur;
    } cas[] = {{3, 1000}, {5, 1000}, {7, 999}, {9, 999}};
    for (const auto &c : cas) {
        lisse(Grille(12, std::vector<int>(12, 1000)), c.maille);
        EXPECT_EQ(itab1[5][5], c.valeur) << "size " << c.maille;
    }
}

TEST(Lissage, CornersUnchanged)
{
    Grille g(12, std::vector<int>(12));
    for (int i = 0; i < 12; i++)
        for (int j = 0; j < 12; j++)
            g[i][j] = (i * 37 + j * 11) % 101 * 10 - 300;
    for (int maille : {3, 5, 7, 9}) {
        lisse(g, maille);
        EXPECT_EQ(itab1[0][0], g[0][0]) << maille;
        EXPECT_EQ(itab1[0][11], g[0][11]) << maille;
        EXPECT_EQ(itab1[11][0], g[11][0]) << maille;
        EXPECT_EQ(itab1[11][11], g[11][11]) << maille;
    }
}

// Row 0 and column 0 are smoothed along themselves only: zeros stay zeros
// whatever lies next to them.
TEST(Lissage, FirstRowAndColumnAlongThemselves)
{
    Grille g(10, std::vector<int>(10, 5000));
    for (int n = 0; n < 10; n++)
        g[0][n] = g[n][0] = 0;
    lisse(g, 5);
    for (int n = 0; n < 10; n++) {
        EXPECT_EQ(itab1[0][n], 0) << "row 0, column " << n;
        EXPECT_EQ(itab1[n][0], 0) << "column 0, row " << n;
    }
}

// Size 3 weighs the columns (and rows) -1, 0, +1 and +2 around a pixel with 8, 12,
// 6 and 1 out of 27.
TEST(Lissage, SpikeAmidZeros)
{
    Grille g(11, std::vector<int>(11, 0));
    g[5][5] = 2700;
    lisse(g, 3);
    const std::vector<int> attendu = {0, 0, 0, 44, 266, 533, 355, 0, 0, 0, 0};
    std::vector<int> ligne(11), colonne(11);
    for (int n = 0; n < 11; n++) {
        ligne[n] = itab1[5][n];
        colonne[n] = itab1[n][5];
    }
    EXPECT_EQ(ligne, attendu);
    EXPECT_EQ(colonne, attendu);
    EXPECT_EQ(itab[5][5], 2700); // itab is only read
}

TEST(Lissage, HeadingAndLineMessages)
{
    EXPECT_EQ(lisse(Grille(45, std::vector<int>(5, 1)), 3),
              "\n\n Suavizacion de tamano 3 \n\n linea 20 \n linea 40 ");
    EXPECT_EQ(lisse(Grille(19, std::vector<int>(10, 1)), 9), "\n\n Suavizacion de tamano 9 \n");
}

TEST(Lissage, GridSmallerThanTheWindow)
{
    const Grille cas[] = {Grille(3, std::vector<int>(10, 7)), Grille(10, std::vector<int>(3, 7))};
    for (const Grille &g : cas) {
        Grille h = g;
        h[1][1] = 8;
        const std::string texte = lisse(h, 3);
        EXPECT_NE(texte, "");
        EXPECT_EQ(texte.find("\n\n Suavizacion de tamano 3 \n"), std::string::npos);
        EXPECT_EQ(grilles::lit(itab1), h);
    }
    EXPECT_NE(lisse(Grille(9, std::vector<int>(12, 7)), 9), "");
    EXPECT_EQ(grilles::lit(itab1), Grille(9, std::vector<int>(12, 7)));
}

} // namespace
