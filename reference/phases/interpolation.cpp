// Distance interpolation, plain version.
//
// Reads itab (the contour image again), tab (zone codes) and the level table. Each
// pixel of zone k takes mit[k] + interval * distinf / (distinf + distsup), where the
// distances go to the nearest pixel of the whole image holding mit[k] and mat[k].
// The result gathers in itab2 (zone values, and itab where the code is 0) and ends
// in itab. Distances start at 99999.0, so a missing contour counts as that far.
// The nearest pixel is found by trying every pixel of the altitude.
#include "phases_reference.h"

#include "tolvane.h"
#include "voisinages.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace reference {

namespace {

std::vector<Pixel> pixels_de(int altitude)
{
    std::vector<Pixel> liste;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            if (itab[i][j] == altitude)
                liste.push_back({i, j});
    return liste;
}

// The squared distance is an exact integer; its root is taken in extended
// precision and stored as a double.
double plus_proche(const std::vector<Pixel> &liste, int i, int j)
{
    double distance = 99999.0;
    for (const Pixel &p : liste) {
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
        const std::vector<Pixel> inf = pixels_de(mit[k]);
        const std::vector<Pixel> sup = pixels_de(mat[k]);
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

} // namespace reference
