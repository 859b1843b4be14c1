// Gap filling by dilation, plain version.
//
// dilatation repeats gonflette until a call fills nothing. One call dilates a copy
// of itab (itab2) until it has no gap, alternating the cross and the 3 x 3 block
// and starting with the cross; values found in a pass take effect from the next
// pass only. Then a pixel takes the rounded mean of its dilated value and its last
// strictly greater cross neighbour (above, left, right, below), and only the
// pixels still empty in itab receive these values. Every pass visits the whole
// grid.
#include "phases_reference.h"

#include "tolvane.h"
#include "voisinages.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace reference {

namespace {

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

    // The same loop as the program's final averaging, but with the plain mean
    // above (reference::moyenne_dilatation), so it is not shared.
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
            itab1[i][j] = ico > 0 ? reference::moyenne_dilatation(alt_prov, ival2) : VIDE;
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

} // namespace reference
