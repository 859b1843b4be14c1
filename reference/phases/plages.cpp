// Zone labelling, plain version.
//
// plages: reads itab (the contour image) and the level table; writes the zone code
// into tab and into itab at every pixel it labels. Seeds are empty pixels of lines
// 1.. and columns 1..nb_col-2 whose nearest non-empty pixels to the left and to the
// right are the two contours of one zone. Codes written by earlier fills are
// non-empty, so they bound later fills and act as borders in later seed tests.
// Every pixel is tested on its own, with a linear search of the level table; the
// fill itself is the program's rempli.
#include "phases_reference.h"

#include "tolvane.h"

namespace reference {

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
                    ::rempli(i, j, l);
                    break;
                }
        }
}

} // namespace reference
