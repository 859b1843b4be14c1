// The dialog helpers: level table, refused answers, reading of integers and of
// the input descriptor, host paths.
#include "grilles.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

struct CasNiveaux {
    int inferieur, superieur, intervalle;
    int zones;
};

TEST(TableNiveaux, ZoneCountAndLevels)
{
    const CasNiveaux cas[] = {
        {100, 1000, 100, 9},   // (100, 200) .. (900, 1000)
        {100, 1050, 100, 9},   // the partial band above 1000 gets no zone
        {500, 500, 100, 0},    // lower equal to upper
        {100, 50, 100, 0},     // -50 / 100
        {100, -50, 100, -1},   // -150 / 100
        {1000, 100, -100, 9},  // descending table
    };
    for (const CasNiveaux &c : cas) {
        SCOPED_TRACE(testing::Message() << c.inferieur << " / " << c.superieur << " / " << c.intervalle);
        grilles::niveaux(c.inferieur, c.superieur, c.intervalle);
        EXPECT_EQ(nbplage, c.zones);
        EXPECT_EQ(mat[1], c.inferieur + c.intervalle);
        for (int k = 1; k <= nbplage; k++) {
            EXPECT_EQ(mit[k], c.inferieur + (k - 1) * c.intervalle) << "zone " << k;
            EXPECT_EQ(mat[k], mit[k] + c.intervalle) << "zone " << k;
        }
    }
    grilles::niveaux(100, 1000, 100);
    EXPECT_EQ(mit[9], 900);
    EXPECT_EQ(mat[9], 1000);
    grilles::niveaux(1000, 100, -100);
    EXPECT_EQ(mat[1], 900);
    EXPECT_EQ(mit[2], 900);
    EXPECT_EQ(mat[9], 100);
}

TEST(RefusNiveaux, AtMost254ZonesAndLevelsWithinInt)
{
    EXPECT_EQ(refus_niveaux(100, 1000, 100), "");
    EXPECT_EQ(refus_niveaux(0, 25400, 100), "");               // 254 zones
    EXPECT_EQ(refus_niveaux(25400, 0, -100), "");
    EXPECT_EQ(refus_niveaux(9000000, 9999999, 100000), "");     // up to the largest altitude
    EXPECT_EQ(refus_niveaux(2000000000, 2100000000, 100000000), "\n Curvas de nivel fuera de -9999999 a 9999999\n");
    EXPECT_NE(refus_niveaux(0, 25500, 100), "");               // 255 zones
    EXPECT_NE(refus_niveaux(0, 1000000, 1), "");
    EXPECT_NE(refus_niveaux(INT_MAX - 50, INT_MAX, 100), "");  // the upper contour of zone 1
    EXPECT_NE(refus_niveaux(INT_MIN + 50, INT_MIN, -100), "");
}

TEST(RefusMaille, OddUpToNineAccepted)
{
    const char *const impar = "\n el valor no es impar\n ";
    const char *const larga = "\n Ventana demasiado larga \n";
    const struct {
        int maille;
        const char *refus;
    } cas[] = {
        {4, impar}, {11, larga}, {10, larga}, {0, impar}, {-1, nullptr},
        {1, nullptr}, {3, nullptr}, {5, nullptr}, {7, nullptr}, {9, nullptr},
        {2, impar}, {8, impar}, {-2, impar}, {-3, nullptr}, {13, larga},
    };
    for (const auto &c : cas) {
        const char *refus = refus_maille(c.maille);
        if (c.refus == nullptr)
            EXPECT_EQ(refus, nullptr) << c.maille;
        else
            EXPECT_STREQ(refus, c.refus) << c.maille;
    }
}

TEST(EntierDe, WholeWordsWithinInt)
{
    const struct {
        const char *mot;
        int valeur;
    } bons[] = {{"0", 0}, {"42", 42}, {"-7", -7}, {"+5", 5}, {"007", 7},
                {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}};
    for (const auto &c : bons) {
        int v = 123;
        EXPECT_TRUE(entier_de(c.mot, v)) << c.mot;
        EXPECT_EQ(v, c.valeur) << c.mot;
    }
    for (const char *mot : {"", "-", "+", "12a", "a12", "1.5", "2147483648", "-2147483649",
                            "99999999999999999999", "--1"}) {
        int v = 123;
        EXPECT_FALSE(entier_de(mot, v)) << mot;
        EXPECT_EQ(v, 123) << mot;
    }
}

TEST(LireDescripteur, FirstSixIntegersCount)
{
    int v[6] = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(lire_descripteur("300 400 4 1200 2500 30", v), 6);
    EXPECT_EQ(v[0], 300);
    EXPECT_EQ(v[1], 400);
    EXPECT_EQ(v[2], 4);
    EXPECT_EQ(v[3], 1200);
    EXPECT_EQ(v[4], 2500);
    EXPECT_EQ(v[5], 30);

    int w[6] = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(lire_descripteur("12\n5\n4\n-30\n800\n7\n99\n77 x", w), 6);
    EXPECT_EQ(w[3], -30);
    EXPECT_EQ(w[5], 7);

    EXPECT_EQ(lire_descripteur("300 400 4", v), 3);
    EXPECT_EQ(lire_descripteur("300\t400 x 4 1 2 3", v), 2);
    EXPECT_EQ(lire_descripteur("lineas 300", v), 0);
    EXPECT_EQ(lire_descripteur("", v), 0);
    EXPECT_EQ(lire_descripteur("1 2 3 4 5 99999999999", v), 5);
}

TEST(CheminHote, DriveDroppedAndBackslashesTurned)
{
    EXPECT_EQ(chemin_hote("c:\\images\\zona\\dem_c4.raw"), "images/zona/dem_c4.raw");
    EXPECT_EQ(chemin_hote("C:\\images\\a\\b_m1.txt"), "images/a/b_m1.txt");
}

} // namespace
