// The fast phases against the plain ones (reference/) on many generated
// contour images: after every phase every cell of every grid, the counters and
// the console text must be the same.
//
// TOLVANE_DIFF_CASES raises the number of cases of each family (default 400);
// a failure names the family, the seed and the size, and TOLVANE_DIFF_SEED runs
// that one case again.
#include "lissage_pas.h"
#include "phases_reference.h"
#include "program_state.h"
#include "thread_pool.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

int nombre_de_cas()
{
    const char *v = std::getenv("TOLVANE_DIFF_CASES");
    return v ? std::atoi(v) : 400;
}

// The state the phases leave, with what they printed.
struct Etat {
    harness::ProgramState grids;
    std::string console;
};

Etat sauve(std::string console) { return {harness::snapshot(), std::move(console)}; }

std::string difference(const Etat &plain, const Etat &rapide)
{
    const std::string d = harness::first_difference(plain.grids, rapide.grids, "plain", "fast");
    if (!d.empty())
        return d;
    if (plain.console != rapide.console)
        return "console differs:\n--- plain\n" + plain.console + "\n--- fast\n" + rapide.console;
    return "";
}

// Runs body(n) with the fast phases on n threads: one (the sequential path), two,
// seven (more than the bands of lines of many small grids), and the count of
// TOLVANE_THREADS or of the cores when it is none of these.
void avec_chaque_nombre_de_fils(const std::function<void(int)> &body)
{
    set_thread_count(0);
    std::vector<int> comptes{1, 2, 7};
    if (std::find(comptes.begin(), comptes.end(), thread_count()) == comptes.end())
        comptes.push_back(thread_count());
    for (int fils : comptes) {
        set_thread_count(fils);
        body(fils);
    }
    set_thread_count(0);
}

// Runs the plain and the fast version of a phase from the same state (the fast
// one with every number of threads above); returns the state after it (the
// same for all when the test passes).
Etat compare(const Etat &depart, const std::function<void()> &plain, const std::function<void()> &rapide,
             const std::string &quoi)
{
    harness::restore(depart.grids);
    testing::internal::CaptureStdout();
    plain();
    const Etat p = sauve(testing::internal::GetCapturedStdout());
    Etat r;
    avec_chaque_nombre_de_fils([&](int fils) {
        harness::restore(depart.grids);
        testing::internal::CaptureStdout();
        rapide();
        r = sauve(testing::internal::GetCapturedStdout());
        const std::string d = difference(p, r);
        EXPECT_TRUE(d.empty()) << quoi << ", " << fils << " thread(s): " << d;
    });
    return r;
}

struct Cas {
    int lig = 1, col = 1;
    std::vector<int> image;
    int inferieur = 0, superieur = 0, intervalle = 1, maille = 1;
};

std::string nom(const std::string &famille, unsigned semilla, const Cas &c)
{
    std::ostringstream s;
    s << famille << " seed " << semilla << " (" << c.lig << " x " << c.col << ", levels " << c.inferieur << ".."
      << c.superieur << " step " << c.intervalle << ", smoothing " << c.maille << ")";
    return s.str();
}

// The whole pipeline, phase by phase, plain against fast.
void pipeline(const Cas &c, const std::string &quoi)
{
    harness::allocate_grids(c.lig, c.col);
    mit[1] = c.inferieur;
    upper_value = c.superieur;
    interval = c.intervalle;
    table_niveaux();
    Etat e = sauve("");
    e.grids.itab = c.image;

    e = compare(e, [] { reference::plages(nbplage); }, [] { plages(nbplage); }, quoi + ", labelling");
    // The plain interpolation reads the image again; the fast one takes no account
    // of the zone codes labelling left in itab.
    const auto seconde_lecture = [&c] {
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                itab[i][j] = c.image[static_cast<std::size_t>(i) * nb_col + j];
    };
    e = compare(e, [&] { seconde_lecture(); reference::interpolation(); }, [] { interpolation(); },
                quoi + ", interpolation");
    compare(e, [] { reference::gonflette(); }, [] { gonflette(); }, quoi + ", one dilation call");
    e = compare(e, [] { reference::dilatation(); }, [] { dilatation(); }, quoi + ", dilation");
    e = compare(e, [] { reference::moyenne(); }, [] { moyenne(); }, quoi + ", averaging");
    if (c.maille > 1) {
        const int m = c.maille;
        compare(e, [m] { reference::lissage(m); }, [m] { lissage(m); }, quoi + ", smoothing");
    }
    harness::release_grids();
}

// ---- Generators ----

int tirage(std::mt19937 &g, int bas, int haut) { return bas + static_cast<int>(g() % static_cast<unsigned>(haut - bas + 1)); }

int maille_au_hasard(std::mt19937 &g)
{
    static const int tailles[] = {1, 3, 5, 7, 9, -1, -3};
    return tailles[g() % 7];
}

// Contours of a surface h(i, j): a pixel at or above a level that touches a lower
// pixel across a side holds the highest such level.
Cas contours_de(int lig, int col, const std::function<double(int, int)> &h, int base, int pas, int niveaux)
{
    Cas c;
    c.lig = lig;
    c.col = col;
    c.image.assign(static_cast<std::size_t>(lig) * col, VIDE);
    auto niveau = [&](int i, int j) {
        return std::max(0, std::min(niveaux, static_cast<int>(std::floor(h(i, j)))));
    };
    for (int i = 0; i < lig; i++)
        for (int j = 0; j < col; j++) {
            const int n = niveau(i, j);
            int bas = n;
            if (i > 0) bas = std::min(bas, niveau(i - 1, j));
            if (i + 1 < lig) bas = std::min(bas, niveau(i + 1, j));
            if (j > 0) bas = std::min(bas, niveau(i, j - 1));
            if (j + 1 < col) bas = std::min(bas, niveau(i, j + 1));
            if (bas < n)
                c.image[static_cast<std::size_t>(i) * col + j] = base + n * pas;
        }
    c.inferieur = base + pas;
    c.superieur = base + niveaux * pas;
    c.intervalle = pas;
    return c;
}

Cas terrain(std::mt19937 &g)
{
    const int lig = tirage(g, 2, 48), col = tirage(g, 2, 48);
    struct Colline {
        double i, j, r, a;
    };
    std::vector<Colline> collines(static_cast<std::size_t>(tirage(g, 1, 5)));
    for (Colline &k : collines)
        k = {tirage(g, -5, lig + 5) * 1.0, tirage(g, -5, col + 5) * 1.0, tirage(g, 3, 30) * 1.0,
             tirage(g, -4, 9) * 1.0};
    const int niveaux = tirage(g, 2, 12);
    const int pas = tirage(g, 1, 100);
    const int base = tirage(g, -2000, 2000);
    Cas c = contours_de(
        lig, col,
        [&](int i, int j) {
            double z = niveaux / 2.0;
            for (const Colline &k : collines)
                z += k.a * std::exp(-((i - k.i) * (i - k.i) + (j - k.j) * (j - k.j)) / (k.r * k.r));
            return z;
        },
        base, pas, niveaux);
    c.maille = maille_au_hasard(g);
    return c;
}

// Concentric rings (a cone) or parallel stripes (a tilted plane), often touching.
Cas anneaux(std::mt19937 &g)
{
    const int lig = tirage(g, 1, 40), col = tirage(g, 1, 40);
    const double ci = tirage(g, -10, lig + 10), cj = tirage(g, -10, col + 10);
    const double largeur = tirage(g, 1, 8);
    const bool plan = g() % 2;
    const double a = tirage(g, -3, 3), b = tirage(g, -3, 3);
    const int niveaux = tirage(g, 2, 20), pas = tirage(g, 1, 50), base = tirage(g, -500, 500);
    Cas c = contours_de(
        lig, col,
        [&](int i, int j) {
            if (plan)
                return (a * i + b * j) / largeur + niveaux / 2.0;
            return niveaux - std::sqrt((i - ci) * (i - ci) + (j - cj) * (j - cj)) / largeur;
        },
        base, pas, niveaux);
    c.maille = maille_au_hasard(g);
    return c;
}

// Random pixels: contour levels, stray altitudes and the marker, at any density,
// including all empty and all full; shapes include 1 x N and N x 1.
Cas pixels_au_hasard(std::mt19937 &g)
{
    Cas c;
    const int forme = tirage(g, 0, 3);
    c.lig = forme == 0 ? 1 : tirage(g, 1, 30);
    c.col = forme == 1 ? 1 : tirage(g, 1, 30);
    c.intervalle = tirage(g, 1, 3) == 1 ? -tirage(g, 1, 50) : tirage(g, 1, 50);
    c.inferieur = tirage(g, -300, 300);
    const int niveaux = tirage(g, 0, 8);
    c.superieur = c.inferieur + niveaux * c.intervalle + (g() % 2 ? 0 : tirage(g, 0, std::abs(c.intervalle) - 1));
    const int densite = tirage(g, 0, 100);
    c.image.resize(static_cast<std::size_t>(c.lig) * c.col);
    for (int &v : c.image) {
        if (tirage(g, 1, 100) > densite)
            v = VIDE;
        else if (g() % 8 == 0)
            v = tirage(g, -100000, 100000);
        else
            v = c.inferieur + tirage(g, -1, niveaux + 1) * c.intervalle;
    }
    c.maille = maille_au_hasard(g);
    return c;
}

// Tall narrow images for the labelling on bands of lines: contours often in
// columns 0 and 2 (runs of column 1 alone, whose fill goes on into the lines
// above and below), levels from 1 so that zone codes equal levels, and regions
// that wind through many bands.
Cas colonnes_etroites(std::mt19937 &g)
{
    Cas c;
    c.lig = tirage(g, 2, 300);
    c.col = tirage(g, 3, 12);
    c.inferieur = 1;
    c.superieur = tirage(g, 2, 7);
    c.intervalle = 1;
    const int bord = tirage(g, 0, 100), mur = tirage(g, 0, 100), ailleurs = tirage(g, 0, 30);
    c.image.assign(static_cast<std::size_t>(c.lig) * c.col, VIDE);
    for (int i = 0; i < c.lig; i++) {
        const bool ligne_pleine = tirage(g, 1, 40) == 1;
        for (int j = 0; j < c.col; j++) {
            const int p = j == 0 ? bord : j == 2 ? mur : ailleurs;
            if (ligne_pleine || tirage(g, 1, 100) <= p)
                c.image[static_cast<std::size_t>(i) * c.col + j] = tirage(g, 1, c.superieur + 1);
        }
    }
    return c;
}

// One line or one column of up to a few thousand cells, as a profile cut through
// terrain: contours where a level is crossed, runs of every length between them
// and at both ends, sometimes stray altitudes near the cap of the dilation
// (9999999) and beyond, negative ones, a contour touching the border, or none.
Cas une_ligne_ou_une_colonne(std::mt19937 &g)
{
    Cas c;
    const int n = tirage(g, 1, 3000);
    const bool ligne = g() % 2;
    c.lig = ligne ? 1 : n;
    c.col = ligne ? n : 1;
    const int niveaux = tirage(g, 1, 40), pas = tirage(g, 1, 100), base = tirage(g, -3000, 3000);
    const double vagues = tirage(g, 1, 12) / 2.0, decalage = tirage(g, 0, 628) / 100.0;
    c.image.assign(static_cast<std::size_t>(n), VIDE);
    const auto niveau = [&](int x) {
        return static_cast<int>(std::floor(niveaux / 2.0 * (1 + std::sin(x * 6.2832 * vagues / n + decalage))));
    };
    for (int x = 1; x < n; x++)
        if (niveau(x) != niveau(x - 1))
            c.image[static_cast<std::size_t>(g() % 2 ? x : x - 1)] = base + std::max(niveau(x), niveau(x - 1)) * pas;
    const int extremes = tirage(g, 0, 6);
    for (int k = 0; k < extremes; k++) {
        static const int valeurs[] = {9999999, 9999998, 10000001, 20000000, INT_MAX, INT_MIN, -7, -8};
        c.image[static_cast<std::size_t>(g() % static_cast<unsigned>(n))] = valeurs[g() % 8];
    }
    if (g() % 4 == 0)
        c.image[g() % 2 ? 0 : static_cast<std::size_t>(n) - 1] = base + pas;
    if (g() % 16 == 0)
        std::fill(c.image.begin(), c.image.end(), VIDE);
    c.inferieur = base + pas;
    c.superieur = base + niveaux * pas;
    c.intervalle = pas;
    c.maille = maille_au_hasard(g);
    return c;
}

// TOLVANE_DIFF_SEED runs the one case of that seed (as a failure names it).
void famille(const std::string &nom_famille, unsigned premiere, const std::function<Cas(std::mt19937 &)> &genere)
{
    const char *seule = std::getenv("TOLVANE_DIFF_SEED");
    const int n = nombre_de_cas();
    for (int k = 0; k < n && !testing::Test::HasFailure(); k++) {
        const unsigned semilla = seule ? static_cast<unsigned>(std::atoi(seule)) : premiere + static_cast<unsigned>(k);
        if (seule && (semilla < premiere || semilla >= premiere + 1000000 || k > 0))
            return;
        std::mt19937 g(semilla);
        const Cas c = genere(g);
        pipeline(c, nom(nom_famille, semilla, c));
    }
}

} // namespace

TEST(Differential, SyntheticTerrains) { famille("terrain", 1000000, terrain); }
TEST(Differential, RingsAndStripes) { famille("rings", 2000000, anneaux); }
TEST(Differential, RandomPixels) { famille("random", 3000000, pixels_au_hasard); }
TEST(Differential, NarrowColumnsForTheLabelling) { famille("narrow", 4000000, colonnes_etroites); }
TEST(Differential, OneLineOrOneColumn) { famille("profile", 5000000, une_ligne_ou_une_colonne); }

// Cases that long runs once found, kept for good.
TEST(Differential, CasesFoundByLongRuns)
{
    // A later zone pixel of a line needed a wider band of columns, further left,
    // than the first pixel of its group.
    for (unsigned semilla : {6531u}) {
        std::mt19937 g(semilla);
        const Cas c = pixels_au_hasard(g);
        pipeline(c, nom("random", semilla, c));
    }
}

TEST(Differential, EmptyAndFullGrids)
{
    for (int lig : {1, 2, 7})
        for (int col : {1, 3, 12})
            for (int rempli_de : {VIDE, 250}) {
                Cas c;
                c.lig = lig;
                c.col = col;
                c.image.assign(static_cast<std::size_t>(lig) * col, rempli_de);
                c.inferieur = 100;
                c.superieur = 400;
                c.intervalle = 100;
                c.maille = 3;
                pipeline(c, "uniform " + std::to_string(lig) + " x " + std::to_string(col));
            }
}

// Wide grids, so that zone pixels lie far beyond the first band of columns that
// the nearest-contour search looks at.
TEST(Differential, FarContours)
{
    for (unsigned semilla = 0; semilla < 6; semilla++) {
        std::mt19937 g(semilla);
        Cas c;
        c.lig = tirage(g, 3, 12);
        c.col = tirage(g, 150, 400);
        c.image.assign(static_cast<std::size_t>(c.lig) * c.col, VIDE);
        c.inferieur = 10;
        c.superieur = 30;
        c.intervalle = 10;
        for (int k = 0; k < 4; k++)
            c.image[static_cast<std::size_t>(tirage(g, 0, c.lig - 1)) * c.col + tirage(g, 0, c.col - 1)] =
                10 * tirage(g, 1, 3);
        for (int i = 0; i < c.lig; i++) { // a far wall at the right edge
            c.image[static_cast<std::size_t>(i) * c.col] = 10;
            c.image[static_cast<std::size_t>(i) * c.col + c.col - 1] = 20;
        }
        c.maille = 9;
        pipeline(c, "far contours seed " + std::to_string(semilla));
    }
}

// Smoothing alone on grids of arbitrary altitudes, small and near the int limits,
// where the float and double sums of the fast smoothing must still round as the
// extended ones do.
TEST(Differential, SmoothingOfArbitraryAltitudes)
{
    const int n = nombre_de_cas();
    for (int k = 0; k < n && !testing::Test::HasFailure(); k++) {
        std::mt19937 g(5000000 + static_cast<unsigned>(k));
        const int lig = tirage(g, 10, 40), col = tirage(g, 10, 40);
        harness::allocate_grids(lig, col);
        const int ampleur = std::vector<int>{3, 300, 70000, 20000000, 2147483647}[g() % 5];
        Etat e = sauve("");
        for (int &v : e.grids.itab)
            v = static_cast<int>(static_cast<long long>(g() % (2ULL * ampleur + 1)) - ampleur);
        const int m = std::vector<int>{3, 5, 7, 9}[g() % 4];
        compare(e, [m] { reference::lissage(m); }, [m] { lissage(m); },
                "smoothing seed " + std::to_string(5000000 + k) + " size " + std::to_string(m));
        harness::release_grids();
    }
}

// The program's own single-point routine against its smoothing loop: after
// lissage(n) every pixel of itab1 is InterpolePointSpline at that pixel,
// truncated, for every size, on grids from the smallest the window fits in.
TEST(Differential, SinglePointSplineMatchesTheSmoothing)
{
    const int cases = std::max(1, nombre_de_cas() / 8);
    for (int k = 0; k < cases && !testing::Test::HasFailure(); k++) {
        std::mt19937 g(6000000 + static_cast<unsigned>(k));
        const int amplitude = std::vector<int>{300, 70000, 2147483647}[g() % 3];
        for (int size : {3, 5, 7, 9}) {
            const int rows = size + 1 + tirage(g, 0, 25), columns = size + 1 + tirage(g, 0, 25);
            harness::allocate_grids(rows, columns);
            std::vector<int> cells(static_cast<std::size_t>(rows) * columns);
            for (int &v : cells)
                v = static_cast<int>(static_cast<long long>(g() % (2ULL * amplitude + 1)) - amplitude);
            harness::put_cells(itab, cells);
            testing::internal::CaptureStdout();
            lissage(size);
            testing::internal::GetCapturedStdout();
            for (int i = 0; i < rows; i++)
                for (int j = 0; j < columns; j++)
                    ASSERT_EQ(itab1[i][j], tronque(InterpolePointSpline(j, i, size)))
                        << "seed " << 6000000 + k << ", size " << size << ", " << rows << " x " << columns
                        << ", row " << i << ", column " << j;
            harness::release_grids();
        }
    }
}

// The double-precision steps of the smoothing: wherever they do not flag a doubt,
// they must round exactly as extended precision does; and the sums that land
// within a hair of a tie, where the two really differ, must be flagged.
TEST(Differential, SmoothingStepsAgreeOrDoubt)
{
    bool doute;
    // 1 + 2^-23 + 2^-24 - 2^-60: a double tie between two floats, but below it.
    const float m = 1.0f + std::ldexp(1.0f, -23), b = 1.0f + std::ldexp(1.0f, -18);
    const float v = std::ldexp(1.0f - std::ldexp(1.0f, -18), -24);
    EXPECT_NE(pas_somme(m, b, v, doute), accumule(m, b, v));
    EXPECT_TRUE(doute);
    // 1 + 2^-52 + 2^-53 - 2^-77: rounds to a tie between two doubles in extended
    // precision, but below it in double precision.
    const double z = 1.0 + std::ldexp(1.0, -52);
    const float u = 1.0f + std::ldexp(1.0f, -12), mm = std::ldexp(1.0f - std::ldexp(1.0f, -12), -53);
    EXPECT_NE(pas_resultat(z, u, mm, doute), accumule_z(z, u, mm));
    EXPECT_TRUE(doute);

    std::mt19937_64 g(7);
    const auto flottant = [&g](int bas, int haut) {
        const double mant = 1.0 + static_cast<double>(g() >> 40) / 16777216.0;
        const int e = bas + static_cast<int>(g() % static_cast<unsigned>(haut - bas + 1));
        return static_cast<float>((g() % 2 ? -1 : 1) * std::ldexp(mant, e));
    };
    long long doutes = 0;
    const int n = 200000 * std::max(1, nombre_de_cas() / 400);
    for (int k = 0; k < n; k++) {
        const float a = flottant(-30, 31), bb = flottant(-5, 31), vv = flottant(-40, 0);
        const float f = pas_somme(a, bb, vv, doute);
        doutes += doute;
        if (!doute) {
            ASSERT_EQ(f, accumule(a, bb, vv)) << a << " + " << bb << " * " << vv;
        }
        const double zz = static_cast<double>(flottant(-20, 31)) + std::ldexp(static_cast<double>(g() >> 11), -60);
        const double r = pas_resultat(zz, vv, a, doute);
        doutes += doute;
        if (!doute) {
            ASSERT_EQ(r, accumule_z(zz, vv, a)) << zz << " + " << vv << " * " << a;
        }
    }
    EXPECT_LT(doutes, n / 100); // a doubt is rare, or the fast path would not pay
}

// The interpolated value is formed in double precision and redone in extended
// precision near whole numbers: it must match the extended formula everywhere,
// including exact quotients (equal distances, one distance a multiple of the
// other) and altitudes near the int limits.
TEST(Differential, InterpolatedValueOfSinglePixels)
{
    std::mt19937_64 g(11);
    const int n = 400000 * std::max(1, nombre_de_cas() / 400);
    for (int k = 0; k < n; k++) {
        const int forme = static_cast<int>(g() % 4);
        interval = static_cast<int>(g() % 2001) - 1000;
        if (interval == 0)
            interval = 1;
        const int bas = forme == 3 ? static_cast<int>(g()) : static_cast<int>(g() % 20001) - 10000;
        const auto d2 = [&g] { return static_cast<long double>(g() % 100000 + 1); };
        const double distinf = static_cast<double>(sqrtl(d2()));
        double distsup = static_cast<double>(sqrtl(d2()));
        if (forme == 1)
            distsup = distinf;
        else if (forme == 2)
            distsup = static_cast<double>(sqrtl(static_cast<long double>(distinf) * distinf * (1 + g() % 16)));
        if (forme == 3 && (static_cast<long long>(bas) + interval > INT_MAX || static_cast<long long>(bas) + interval < INT_MIN))
            continue;
        ASSERT_EQ(valeur_interpolee(bas, distinf, distsup), reference::valeur_interpolee(bas, distinf, distsup))
            << "bas " << bas << ", interval " << interval << ", distances " << distinf << " and " << distsup;
    }
}

// The mean of the last gaps is taken with integers for 1 to 4 neighbours: it
// must match the extended formula for every sum of that many ints, halves and
// thirds of odd and negative sums, and the int limits included.
TEST(Differential, CrossMeanOfSinglePixels)
{
    std::mt19937_64 g(12);
    const int n = 400000 * std::max(1, nombre_de_cas() / 400);
    for (int k = 0; k < n; k++) {
        const int ico = 1 + static_cast<int>(g() % 4);
        long long tot = 0;
        for (int v = 0; v < ico; v++) {
            const int forme = static_cast<int>(g() % 3);
            tot += forme == 0 ? static_cast<int>(g()) : forme == 1 ? static_cast<int>(g() % 2001) - 1000
                                                                   : (g() % 2 ? INT_MAX : INT_MIN);
        }
        ASSERT_EQ(moyenne_croix(tot, ico), reference::moyenne_croix(tot, ico)) << tot << " / " << ico;
    }
}
