#include "nrutil.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <utility>

TEST(Nrutil, MatrixHasLinesOfColumnsAllZero)
{
    int **m = imatrice(3, 2);
    ASSERT_NE(m, nullptr);
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            EXPECT_EQ(m[i][j], 0);
    m[1][2] = 7; // last element
    EXPECT_EQ(m[1][2], 7);
    frimatrice(m, 2);
}

TEST(Nrutil, RowAndColumnVectorsOfFloat)
{
    float **ligne = fmatrice(5, 1);
    float **colonne = fmatrice(1, 5);
    ASSERT_NE(ligne, nullptr);
    ASSERT_NE(colonne, nullptr);
    for (int n = 0; n < 5; n++) {
        EXPECT_EQ(ligne[0][n], 0.0f);
        EXPECT_EQ(colonne[n][0], 0.0f);
    }
    frfmatrice(ligne, 1);
    frfmatrice(colonne, 5);
}

TEST(Nrutil, EveryElementTypeIsZeroFilled)
{
    unsigned char **uc = ucmatrice(4, 3);
    unsigned short **us = usmatrice(4, 3);
    short **s = smatrice(4, 3);
    double **d = dmatrice(4, 3);
    long double **ld = ldmatrice(4, 3);
    ASSERT_TRUE(uc && us && s && d && ld);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 4; j++) {
            EXPECT_EQ(uc[i][j], 0);
            EXPECT_EQ(us[i][j], 0);
            EXPECT_EQ(s[i][j], 0);
            EXPECT_EQ(d[i][j], 0.0);
            EXPECT_EQ(ld[i][j], 0.0L);
        }
    frucmatrice(uc, 3);
    frusmatrice(us, 3);
    frsmatrice(s, 3);
    frdmatrice(d, 3);
    frldmatrice(ld, 3);

    float *fv = fvecteur(6);
    int *iv = ivecteur(6);
    double *dv = dvecteur(6);
    unsigned char *ucv = ucvecteur(6);
    unsigned short *usv = usvecteur(6);
    short *sv = svecteur(6);
    ASSERT_TRUE(fv && iv && dv && ucv && usv && sv);
    for (int n = 0; n < 6; n++)
        EXPECT_TRUE(fv[n] == 0 && iv[n] == 0 && dv[n] == 0 && ucv[n] == 0 && usv[n] == 0 && sv[n] == 0);
    frfvecteur(fv);
    frivecteur(iv);
    frdvecteur(dv);
    frucvecteur(ucv);
    frusvecteur(usv);
    frsvecteur(sv);
}

TEST(Nrutil, SizesOfZeroOrLessGiveNull)
{
    EXPECT_EQ(imatrice(0, 5), nullptr);
    EXPECT_EQ(imatrice(5, 0), nullptr);
    EXPECT_EQ(imatrice(-1, 5), nullptr);
    EXPECT_EQ(fvecteur(0), nullptr);
    EXPECT_EQ(dvecteur(-3), nullptr);
}

// Blocks from 2 MiB up are mapped on their own: the same contract, and a block
// given back and taken again comes back zero-filled.
TEST(Nrutil, LargeGridsAndColumnsAreZeroFilledEveryTime)
{
    for (int round = 0; round < 2; round++) {
        int **square = imatrice(1500, 1000);
        unsigned char **column = ucmatrice(1, 600000);
        ASSERT_TRUE(square && column);
        EXPECT_EQ(square[0][0], 0);
        EXPECT_EQ(square[999][1499], 0);
        EXPECT_EQ(&square[999][0], &square[0][0] + 999 * 1500);
        EXPECT_EQ(column[599999][0], 0);
        EXPECT_EQ(column[599999], column[0] + 599999);
        square[999][1499] = 7;
        column[599999][0] = 7;
        frimatrice(square, 1000);
        frucmatrice(column, 600000);
    }
}

// The program's grids: lines one after the other, zero-filled each time, small
// (from calloc) and large (mapped) alike; null for sizes of zero or less or too
// large to address.
TEST(Nrutil, GridsLieLineAfterLineAndComeZeroFilled)
{
    for (int round = 0; round < 2; round++)
        for (const auto &size : {std::pair<int, int>{3, 2}, {1500, 1000}, {1, 3000000}, {3000000, 1}}) {
            const int columns = size.first, rows = size.second;
            Grille<int> g = grille<int>(columns, rows);
            Grille<unsigned short> s = grille<unsigned short>(columns, rows);
            ASSERT_TRUE(g != nullptr && s != nullptr);
            EXPECT_EQ(g[rows - 1], g.cases() + static_cast<std::size_t>(rows - 1) * columns);
            EXPECT_EQ(&s[rows - 1][columns - 1] + 1, s.cases() + static_cast<std::size_t>(rows) * columns);
            EXPECT_EQ(g[0][0], 0);
            EXPECT_EQ(g[rows - 1][columns - 1], 0);
            EXPECT_EQ(s[rows / 2][columns / 2], 0);
            g[rows - 1][columns - 1] = 7;
            s[rows / 2][columns / 2] = 7;
            frgrille(g);
            frgrille(s);
            EXPECT_TRUE(g == nullptr && s == nullptr);
        }
    EXPECT_EQ(grille<int>(0, 5), nullptr);
    EXPECT_EQ(grille<int>(5, -1), nullptr);
    EXPECT_EQ(grille<long double>(1 << 30, 1 << 30), nullptr);
}
