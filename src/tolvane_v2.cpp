// tolvane: from a raster image of contour lines to a digital elevation model.
#include "tolvane.h"

#include <new>
#include <tolvane/tolvane.h>

int main()
try {
    ouverture();                // banner, file dialog, output files, grids

    questions_altitudes();      // lower altitude, upper altitude, interval
    int maille = question_maille();
    table_niveaux();            // zone k between mit[k] and mat[k]

    std::printf("\n\n Lectura \n");
    lecture();
    plages(nbplage);            // zone codes into tab (and into itab)

    std::rewind(f1);            // labelling wrote into itab: read the contours again
    lecture();

    interpolation();            // zone pixels between their two contours
    dilatation();               // Van der Gonff iterations
    moyenne();                  // last gaps from their cross neighbours; itab1 = itab
    if (maille > 1)
        lissage(maille);        // Bezier patch of itab into itab1

    sauvegarde();               // 1-, 2- and 4-byte images and descriptors
    return 0;
} catch (const tolvane::Error &e) {
    termine_par_erreur(e);      // the failure in Spanish, exit status 1
} catch (const std::bad_alloc &e) {
    termine_par_erreur(e);
}
