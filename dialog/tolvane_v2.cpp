// tolvane: from a raster image of contour lines to a digital elevation model.
#include "levels_report.h"
#include "tolvane.h"

#include <new>
#include <stdexcept>
#include <tolvane/tolvane.h>

int main()
try {
    ouverture();                // banner, file dialog, output files (as temporaries), grids

    questions_altitudes();      // lower altitude, upper altitude, interval
    int maille = question_maille();
    table_niveaux();            // zone k between mit[k] and mat[k]

    std::printf("\n\n Lectura \n");
    lecture();
    const LevelReport report = level_report();
    refuse_empty_image(report); // no altitude at all: nothing to interpolate
    plages(nbplage);            // zone codes into tab (and into itab)
    warn_about_levels(report, zone_pixels()); // "Aviso: ..." where the answers miss the image

    leaks(nullptr);             // a notice when zones ran through gaps in the lines

    interpolation();            // zone pixels between their two contours
    dilatation();               // Van der Gonff iterations
    moyenne();                  // last gaps from their cross neighbours; itab1 = itab
    if (maille > 1)
        lissage(maille);        // Bezier patch of itab into itab1

    sauvegarde();               // 1-, 2- and 4-byte images and descriptors, renamed into place together
    return 0;
} catch (const tolvane::Error &e) {
    termine_par_erreur(e);      // the failure in Spanish, exit status 1, previous results kept
} catch (const std::bad_alloc &e) {
    termine_par_erreur(e);
} catch (const std::length_error &e) { // a work list beyond what memory can hold
    termine_par_erreur(e);
}
