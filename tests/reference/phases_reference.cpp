// The plain phases, kept as the oracle of the fast ones in src/phases/.
//
// They are the straightforward versions: exhaustive nearest-contour search,
// whole-grid passes for the dilation and the averaging, a full window per pixel
// for the smoothing. They work on the same program-wide grids as the program and
// must give the same grids and the same console text, cell for cell and byte for
// byte. Reference code, not tests: do not speed it up.
#include "phases_reference.h"

#include "nrutil.h"
#include "tolvane.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace reference {


// ---------------------------------------------------------------------------
// Zone labelling.
//
// plages: reads itab (the contour image) and the level table; writes the zone code
// into tab and into itab at every pixel it labels. Seeds are empty pixels of lines
// 1.. and columns 1..nb_col-2 whose nearest non-empty pixels to the left and to the
// right are the two contours of one zone. Codes written by earlier fills are
// non-empty, so they bound later fills and act as borders in later seed tests.

void plages(int nbplage)
{
    for (int i = 1; i < nb_lig; i++)
        for (int j = 1; j < nb_col - 1; j++) {
            if (itab[i][j] != VIDE)
                continue;
            int x = j - 1;
            while (x >= 0 && itab[i][x] == VIDE)
                x--;
            int y = j + 1;
            while (y < nb_col && itab[i][y] == VIDE)
                y++;
            if (x < 0 || y >= nb_col)
                continue;
            const int gbord = itab[i][x];
            const int dbord = itab[i][y];
            if (gbord == dbord)
                continue;
            const int valmin = gbord < dbord ? gbord : dbord;
            const int valmax = gbord < dbord ? dbord : gbord;
            for (int l = 1; l <= nbplage; l++)
                if (mit[l] == valmin && mat[l] == valmax) {
                    rempli(i, j, l);
                    break;
                }
        }
}

// rempli: row-run flood fill of the empty region around (ilig, jcol) with the code
// ival2. Pending seeds live on an explicit stack that grows as needed. A fill never
// enters line 0 nor labels column 0: a run with no border on its left is taken to
// column 1. Every empty stretch of a neighbour line that shares a column with the
// run gets one seed, at its right end when that end lies under the run.
void rempli(int ilig, int jcol, int ival2)
{
    struct Germe {
        int i, j;
    };
    std::vector<Germe> germes{{ilig, jcol}};
    const auto code = static_cast<unsigned char>(ival2);
    while (!germes.empty()) {
        const Germe g = germes.back();
        germes.pop_back();
        const int i = g.i;
        const int jk = g.j;

        int jg = 2;
        int x = jk - 1;
        while (x >= 1 && itab[i][x] == VIDE)
            x--;
        if (x >= 1) {
            jg = x + 1;
        } else {
            itab[i][1] = ival2;
            tab[i][1] = code;
        }
        int y = jk + 1;
        while (y < nb_col && itab[i][y] == VIDE)
            y++;
        const int jd = y - 1;

        for (int c = jg; c <= jd; c++) {
            itab[i][c] = ival2;
            tab[i][c] = code;
        }

        for (int r : {i - 1, i + 1}) {
            if (r == 0 || r == nb_lig)
                continue;
            const int *ligne = itab[r];
            for (int c = jg; c <= jd; c++)
                if (ligne[c] == VIDE && (c + 1 >= nb_col || ligne[c + 1] != VIDE))
                    germes.push_back({r, c});
            if (ligne[jd] == VIDE && jd + 1 < nb_col && ligne[jd + 1] == VIDE)
                germes.push_back({r, jd});
        }
    }
}

// ---------------------------------------------------------------------------
// Distance interpolation.
//
// Reads itab (the contour image again), tab (zone codes) and the level table. Each
// pixel of zone k takes mit[k] + interval * distinf / (distinf + distsup), where the
// distances go to the nearest pixel of the whole image holding mit[k] and mat[k].
// The result gathers in itab2 (zone values, and itab where the code is 0) and ends
// in itab. Distances start at 99999.0, so a missing contour counts as that far.

namespace {

struct Position {
    int i, j;
};

std::vector<Position> pixels_de(int altitude)
{
    std::vector<Position> liste;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            if (itab[i][j] == altitude)
                liste.push_back({i, j});
    return liste;
}

// The squared distance is an exact integer; its root is taken in extended
// precision and stored as a double.
double plus_proche(const std::vector<Position> &liste, int i, int j)
{
    double distance = 99999.0;
    for (const Position &p : liste) {
        const std::int64_t idif = std::abs(i - p.i);
        const std::int64_t jdif = std::abs(j - p.j);
        const double dist = static_cast<double>(sqrtl(static_cast<long double>(idif * idif + jdif * jdif)));
        if (distance > dist)
            distance = dist;
    }
    return distance;
}

} // namespace

// The order of the operations and the extended precision decide the last unit:
// interval / distot first, then times distinf, then plus the lower contour.
int valeur_interpolee(int bas, double distinf, double distsup)
{
    const double distot = static_cast<double>(static_cast<long double>(distinf) + distsup);
    const long double v = static_cast<long double>(interval) / distot * distinf + bas;
    return static_cast<int>(v);
}

void interpolation()
{
    for (int k = 1; k <= nbplage; k++) {
        std::printf("\n\n tratamiento en la zona codificada con el valor %d ", k);
        std::printf("\n y comprendida entre las curvas %d y %d ", mit[k], mat[k]);
        std::printf("\n\n");
        const std::vector<Position> inf = pixels_de(mit[k]);
        const std::vector<Position> sup = pixels_de(mat[k]);
        for (int i = 0; i < nb_lig; i++) {
            if (i > 0 && i % 20 == 0)
                std::printf("\t linea %d      \r ", i);
            for (int j = 0; j < nb_col; j++)
                if (tab[i][j] == k)
                    itab1[i][j] = valeur_interpolee(mit[k], plus_proche(inf, i, j), plus_proche(sup, i, j));
        }
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                if (tab[i][j] == k)
                    itab2[i][j] = itab1[i][j];
    }
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            if (tab[i][j] == 0)
                itab2[i][j] = itab[i][j];
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            itab[i][j] = itab2[i][j];
}

// ---------------------------------------------------------------------------
// Gap filling by dilation.
//
// dilatation repeats gonflette until a call fills nothing. One call dilates a copy
// of itab (itab2) until it has no gap, alternating the cross and the 3 x 3 block
// and starting with the cross; values found in a pass take effect from the next
// pass only. Then a pixel takes the rounded mean of its dilated value and its last
// strictly greater cross neighbour (above, left, right, below), and only the
// pixels still empty in itab receive these values.

namespace {

// Neighbour offsets: the cross, then the 3 x 3 block. The order of the cross is
// the order of the final averaging pass (the last greater neighbour wins).
constexpr int CROIX[4][2] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}};
constexpr int BLOC[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

bool dans_grille(int i, int j) { return i >= 0 && i < nb_lig && j >= 0 && j < nb_col; }

void copie(int **de, int **vers)
{
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            vers[i][j] = de[i][j];
}

template <std::size_t N>
void passe_dilatation(const int (&voisins)[N][2])
{
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            if (itab2[i][j] != VIDE)
                continue;
            int ico = 0;
            int alti = 9999999;
            for (const auto &d : voisins) {
                const int k = i + d[0];
                const int l = j + d[1];
                if (!dans_grille(k, l) || itab2[k][l] == VIDE)
                    continue;
                ico++;
                if (itab2[k][l] < alti)
                    alti = itab2[k][l];
            }
            if (ico > 0)
                itab1[i][j] = alti;
        }
}

} // namespace

// (alt_prov + ival2) x 0.5 + 0.5, truncated; the sum is taken in 64 bits so that
// altitudes near the int limits cannot overflow it.
int moyenne_dilatation(int alt_prov, int ival2)
{
    const std::int64_t somme = static_cast<std::int64_t>(alt_prov) + ival2;
    return static_cast<int>(static_cast<long double>(somme) * 0.5f + 0.5f);
}

void gonflette()
{
    nb_pix_mod = 1;
    copie(itab, itab1);
    copie(itab, itab2);

    int flag = 0;
    while (nb_pix_mod > 0) {
        nb_pix_mod = 0;
        flag++;
        if (flag % 2 == 1)
            passe_dilatation(CROIX);
        else
            passe_dilatation(BLOC);
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++)
                if (itab1[i][j] != VIDE && itab2[i][j] == VIDE) {
                    itab2[i][j] = itab1[i][j];
                    nb_pix_mod++;
                }
    }

    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            const int ival2 = itab2[i][j];
            int ico = 0;
            int alt_prov = 0;
            for (const auto &d : CROIX) {
                const int k = i + d[0];
                const int l = j + d[1];
                if (dans_grille(k, l) && itab2[k][l] > ival2) {
                    ico++;
                    alt_prov = itab2[k][l];
                }
            }
            itab1[i][j] = ico > 0 ? moyenne_dilatation(alt_prov, ival2) : VIDE;
        }

    modif = 0;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            if (itab1[i][j] != VIDE && itab[i][j] == VIDE) {
                itab[i][j] = itab1[i][j];
                modif++;
            }
}

void dilatation()
{
    modif = 1;
    int lco = 0;
    std::printf("\n\n Tratamiento por dilatacion\n");
    while (modif > 0) {
        if (lco > 0)
            std::printf("\n numero de puntos interpolados = %d ", modif);
        modif = 0;
        lco++;
        std::printf("\n\n Iteracion de Van der Gonff numero  %d \n", lco);
        gonflette();
    }
}

// ---------------------------------------------------------------------------
// Cross-neighbour averaging of the remaining gaps.
//
// Passes over itab until one fills nothing; an empty pixel takes the rounded mean
// of its cross neighbours that hold an altitude. Stores take effect at once, so a
// fill spreads right and down within one pass but left and up by one pixel per
// pass. Ends with itab1 = itab.

// tot / ico + 0.5 in extended precision, truncated; tot is a 64-bit sum.
int moyenne_croix(long long tot, int ico)
{
    return static_cast<int>(static_cast<long double>(tot) / ico + 0.5L);
}

void moyenne()
{
    nb_pix_mod = 1;
    while (nb_pix_mod > 0) {
        nb_pix_mod = 0;
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++) {
                if (itab[i][j] != VIDE)
                    continue;
                long long tot = 0;
                int ico = 0;
                for (const auto &d : CROIX) {
                    const int k = i + d[0];
                    const int l = j + d[1];
                    if (dans_grille(k, l) && itab[k][l] != VIDE) {
                        ico++;
                        tot += itab[k][l];
                    }
                }
                // A mean equal to the marker itself cannot fill the pixel; counting
                // it as a fill would repeat the passes forever.
                if (ico > 0 && moyenne_croix(tot, ico) != VIDE) {
                    itab[i][j] = moyenne_croix(tot, ico);
                    nb_pix_mod++;
                }
            }
    }
    copie(itab, itab1);
}

// ---------------------------------------------------------------------------
// Bezier-surface smoothing.
//
// Every pixel of itab1 becomes the value at that pixel of the degree-n Bezier patch
// whose control values are the (n + 1) x (n + 1) window of itab around it, clipped
// to stay inside the grid. Reads itab only, so the order of the pixels is free.

long double Fact(int n)
{
    if (n < 0)
        return 0;
    long double l = 1;
    for (int i = 2; i <= n; i++)
        l *= i;
    return l;
}

long Comb(int p, int n)
{
    return static_cast<long>(Fact(n) / (Fact(n - p) * Fact(p)) + 0.5L);
}

namespace {

[[noreturn]] void memoire_lissage()
{
    std::printf("\n No hay memoria para la suavizacion\n");
    std::fflush(stdout);
    std::exit(1);
}

// Weight i of the Bernstein polynomial of degree n at t (s = 1 - t), stored as a
// float. The end weights take a single power; the others first store
// s^(n-i) x Comb as a double, then multiply by t^i.
float poids(int i, int n, double t, double s, long combi)
{
    if (i == n)
        return static_cast<float>(static_cast<long double>(std::pow(t, n)) * combi);
    if (i == 0)
        return static_cast<float>(static_cast<long double>(std::pow(s, n)) * combi);
    const double partiel = static_cast<double>(static_cast<long double>(std::pow(s, n - i)) * combi);
    return static_cast<float>(static_cast<long double>(std::pow(t, i)) * partiel);
}

// First and last index of the window of n + 1 cells around position p, moved
// inside 0..taille-1.
void fenetre(double p, int n, int taille, int &debut, int &fin)
{
    double entier;
    std::modf(p, &entier);
    debut = static_cast<int>(entier - (n >> 1));
    fin = debut + n;
    if (debut < 0) {
        debut = 0;
        fin = n;
    }
    if (fin >= taille) {
        fin = taille - 1;
        debut = fin - n;
    }
}

} // namespace

double InterpolePointSpline(double x, double y, int n)
{
    float **U = fmatrice(n + 1, 1);
    float **B = fmatrice(n + 1, n + 1);
    float **V = fmatrice(1, n + 1);
    float **M = fmatrice(1, n + 1);
    if (!U || !B || !V || !M)
        memoire_lissage();

    int bxi, bxf, byi, byf;
    fenetre(x, n, nb_col, bxi, bxf);
    fenetre(y, n, nb_lig, byi, byf);
    const double xfrac = static_cast<double>(static_cast<long double>(x - bxi) / (bxf - bxi));
    const double yfrac = static_cast<double>(static_cast<long double>(y - byi) / (byf - byi));
    const double ixfrac = static_cast<double>(1.0L - xfrac);
    const double iyfrac = static_cast<double>(1.0L - yfrac);

    for (int i = 0; i <= n; i++) {
        const long Combi = Comb(i, n);
        U[0][i] = poids(i, n, yfrac, iyfrac, Combi);
        V[i][0] = poids(i, n, xfrac, ixfrac, Combi);
    }
    for (int r = byi; r <= byf; r++)
        for (int q = bxi; q <= bxf; q++)
            B[r - byi][q - bxi] = static_cast<float>(itab[r][q]);
    for (int i = 0; i <= n; i++)
        for (int j = 0; j <= n; j++)
            M[i][0] = static_cast<float>(M[i][0] + static_cast<long double>(B[i][j]) * V[j][0]);
    double z = 0;
    for (int i = 0; i <= n; i++)
        z = static_cast<double>(z + static_cast<long double>(U[0][i]) * M[i][0]);

    frfmatrice(U, 1);
    frfmatrice(B, n + 1);
    frfmatrice(V, n + 1);
    frfmatrice(M, n + 1);
    return z;
}

// z truncated toward zero; values beyond the int range (only near the int limits,
// where float control values round up) are held at the limit.
int tronque(double z)
{
    if (z >= 2147483647.0)
        return INT_MAX;
    if (z <= -2147483648.0)
        return INT_MIN;
    return static_cast<int>(z);
}

void lissage(int maille)
{
    // A window of maille + 1 cells must fit in both directions.
    if (nb_lig < maille + 1 || nb_col < maille + 1) {
        std::printf("\n\n Suavizacion de tamano %d imposible: la imagen tiene menos de %d lineas o columnas \n",
                    maille, maille + 1);
        return;
    }
    std::printf("\n\n Suavizacion de tamano %d \n", maille);
    for (int i = 0; i < nb_lig; i++) {
        if ((i + 1) % 20 == 0)
            std::printf("\n linea %d ", i + 1);
        for (int j = 0; j < nb_col; j++)
            itab1[i][j] = tronque(InterpolePointSpline(j, i, maille));
    }
}

} // namespace reference
