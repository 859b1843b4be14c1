// Bezier-surface smoothing.
//
// Every pixel of itab1 becomes the value at that pixel of the degree-n Bezier patch
// whose control values are the (n + 1) x (n + 1) window of itab around it. Reads
// itab only, so the order of the pixels is free. Borders: the window is moved
// inside the grid, so the pixels of the border are smoothed along it only and the
// corners keep their values; a grid smaller than the window is not smoothed.
#include "tolvane.h"

#include "console.h"
#include "lissage_pas.h"
#include "noyaux.h"
#include "thread_pool.h"
#include "nrutil.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Lines per band handed to a thread: each band forms the row sums of n lines
// above it again, so bands are long.
constexpr int BANDE_LISSAGE = 128;

// The window of n + 1 cells around position p (a column or a line), moved inside
// 0..taille-1, and the n + 1 weights of its cells.
int fenetre(double p, int n, int taille, float *w)
{
    double entier;
    std::modf(p, &entier);
    int debut = static_cast<int>(entier - (n >> 1));
    int fin = debut + n;
    if (debut < 0) {
        debut = 0;
        fin = n;
    }
    if (fin >= taille) {
        fin = taille - 1;
        debut = fin - n;
    }
    const double frac = static_cast<double>(static_cast<long double>(p - debut) / (fin - debut));
    const double ifrac = static_cast<double>(1.0L - frac);
    for (int i = 0; i <= n; i++)
        w[i] = poids(i, n, frac, ifrac, Comb(i, n));
    return debut;
}

void sommes_base(const int *l, int a, int b, const float *v, int n, float *s, unsigned char *f)
{
    sommes_corps(l, a, b, v, n, s, f);
}

void resultat_base(double *z, const float *s, float u, int w, unsigned char *f)
{
    resultat_corps(z, s, u, w, f);
}

[[noreturn]] void memoire_lissage(int n)
{
    throw tolvane::Error(tolvane::ErrorKind::no_memory, "not enough memory for the smoothing work matrices", {n});
}

} // namespace

double InterpolePointSpline(double x, double y, int n)
{
    float **U = fmatrice(n + 1, 1);
    float **B = fmatrice(n + 1, n + 1);
    float **V = fmatrice(1, n + 1);
    float **M = fmatrice(1, n + 1);
    if (!U || !B || !V || !M)
        memoire_lissage(n);

    std::vector<float> v(static_cast<std::size_t>(n) + 1);
    const int byi = fenetre(y, n, nb_lig, U[0]);
    const int bxi = fenetre(x, n, nb_col, v.data());
    for (int j = 0; j <= n; j++)
        V[j][0] = v[j];
    for (int r = byi; r <= byi + n; r++)
        for (int q = bxi; q <= bxi + n; q++)
            B[r - byi][q - bxi] = static_cast<float>(itab[r][q]);
    for (int i = 0; i <= n; i++)
        for (int j = 0; j <= n; j++)
            M[i][0] = accumule(M[i][0], B[i][j], V[j][0]);
    double z = 0;
    for (int i = 0; i <= n; i++)
        z = accumule_z(z, U[0][i], M[i][0]);

    frfmatrice(U, 1);
    frfmatrice(B, n + 1);
    frfmatrice(V, n + 1);
    frfmatrice(M, n + 1);
    return z;
}

// The weights depend only on the window's place, so the columns whose whole
// window lies inside the grid share theirs (likewise for lines). The float sum of
// a window row times the column weights depends only on that row and the pixel's
// column: each is formed once, in the same order as for a single point, and kept
// while its row is in the window. Lines are independent, so bands of lines run on
// every thread, each with its own row sums (a band forms those of the n lines
// above it again).
void lissage(int maille)
{
    const int n = maille;
    // A window of maille + 1 cells must fit in both directions.
    if (nb_lig < n + 1 || nb_col < n + 1) {
        console_printf("\n\n Suavizacion de tamano %d imposible: la imagen tiene menos de %d lineas o columnas \n",
                    maille, maille + 1);
        return;
    }
    console_printf("\n\n Suavizacion de tamano %d \n", maille);
    console_counted_lines("\n linea ", " ", 20, nb_lig + 1, 20); // lines 20, 40, ... up to nb_lig

    const int h = n >> 1;
    const std::size_t largeur = static_cast<std::size_t>(n) + 1;
    std::vector<int> bxi(static_cast<std::size_t>(nb_col));
    std::vector<float> V(static_cast<std::size_t>(nb_col) * largeur);
    for (int j = 0; j < nb_col; j++)
        bxi[j] = fenetre(j, n, nb_col, &V[j * largeur]);
    // Columns h .. nb_col - 2 - h have the window j - h .. j - h + n and the
    // weights of column h.
    const int premiere = h, derniere = nb_col - 2 - h;
    const auto somme_exacte = [&](const int *ligne, int j) {
        float m = 0;
        for (int jj = 0; jj <= n; jj++)
            m = accumule(m, static_cast<float>(ligne[bxi[j] + jj]), V[j * largeur + jj]);
        return m;
    };

    // One thread's row sums of the lines in its current window, line r in slot
    // r mod (n + 1).
    struct Travail {
        std::vector<float> sommes;
        std::vector<unsigned char> douteux;
        std::vector<double> z;
        std::vector<float> U;
    };
    std::vector<Travail> travail(static_cast<std::size_t>(thread_count()));
    const auto bande = [&](int debut, int fin, int fil) {
        Travail &t = travail[static_cast<std::size_t>(fil)];
        t.sommes.resize(largeur * static_cast<std::size_t>(nb_col));
        t.douteux.resize(static_cast<std::size_t>(nb_col));
        t.z.resize(static_cast<std::size_t>(nb_col));
        t.U.resize(largeur);
        std::vector<float> &sommes = t.sommes;
        std::vector<unsigned char> &douteux = t.douteux;
        std::vector<double> &z = t.z;
        int calculees = fenetre(debut, n, nb_lig, t.U.data()); // lines before it: not needed
        for (int i = debut; i < fin; i++) {
            const int byi = fenetre(i, n, nb_lig, t.U.data());
            for (; calculees <= byi + n; calculees++) {
                float *somme = &sommes[static_cast<std::size_t>(calculees % (n + 1)) * nb_col];
                const int *ligne = itab[calculees];
                if (premiere <= derniere) {
                    (has_avx2() ? sommes_avx2 : sommes_base)(ligne - h, premiere, derniere, &V[premiere * largeur],
                                                             n, somme, douteux.data());
                    for (int j = premiere; j <= derniere; j++)
                        if (douteux[j])
                            somme[j] = somme_exacte(ligne, j);
                }
                for (int j = 0; j < nb_col; j++)
                    if (j < premiere || j > derniere)
                        somme[j] = somme_exacte(ligne, j);
            }
            std::fill(z.begin(), z.end(), 0.0);
            std::fill(douteux.begin(), douteux.end(), 0);
            for (int ii = 0; ii <= n; ii++)
                (has_avx2() ? resultat_avx2 : resultat_base)(
                    z.data(), &sommes[static_cast<std::size_t>((byi + ii) % (n + 1)) * nb_col], t.U[ii], nb_col,
                    douteux.data());
            for (int j = 0; j < nb_col; j++) {
                if (douteux[j]) {
                    z[j] = 0;
                    for (int ii = 0; ii <= n; ii++)
                        z[j] = accumule_z(z[j], t.U[ii],
                                          sommes[static_cast<std::size_t>((byi + ii) % (n + 1)) * nb_col + j]);
                }
                itab1[i][j] = tronque(z[j]);
            }
        }
    };
    for_each_band(nb_lig, BANDE_LISSAGE, bande,
                  [](int lignes) { report_progress(static_cast<double>(lignes) / nb_lig); });
}
