// Cross-neighbour averaging of the remaining gaps, plain version.
//
// Passes over the whole of itab until one fills nothing; an empty pixel takes the
// rounded mean of its cross neighbours that hold an altitude. Stores take effect
// at once, so a fill spreads right and down within one pass but left and up by
// one pixel per pass. Ends with itab1 = itab.
#include "phases_reference.h"

#include "tolvane.h"
#include "voisinages.h"

namespace reference {

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
                // The program's remplit_moyenne has the same loop but its own mean
                // (::moyenne_croix), so it is not shared.
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
                if (ico > 0 && reference::moyenne_croix(tot, ico) != VIDE) {
                    itab[i][j] = reference::moyenne_croix(tot, ico);
                    nb_pix_mod++;
                }
            }
    }
    copie(itab, itab1);
}

} // namespace reference
