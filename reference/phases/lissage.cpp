// Bezier-surface smoothing, plain version.
//
// Every pixel of itab1 becomes the value at that pixel of the degree-n Bezier patch
// whose control values are the (n + 1) x (n + 1) window of itab around it, clipped
// to stay inside the grid. Reads itab only, so the order of the pixels is free.
// Every pixel forms its whole window and its weights anew (InterpolePointSpline).
#include "phases_reference.h"

#include "lissage_pas.h"
#include "nrutil.h"
#include "tolvane.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace reference {

namespace {

[[noreturn]] void memoire_lissage()
{
    std::printf("\n No hay memoria para la suavizacion\n");
    std::fflush(stdout);
    std::exit(1);
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
            itab1[i][j] = tronque(reference::InterpolePointSpline(j, i, maille));
    }
}

} // namespace reference
