// tolvane: from a raster image of contour lines to a digital elevation model.
#include "levels_report.h"
#include "tolvane.h"

#include <new>
#include <stdexcept>

namespace {

void run()
{
    ouverture();                // banner, file dialog, output files, grids

    questions_altitudes();      // lower altitude, upper altitude, interval
    int maille = question_maille();
    table_niveaux();            // zone k between mit[k] and mat[k]

    std::printf("\n\n Lectura \n");
    lecture();
    const LevelReport report = level_report();
    refuse_empty_image(report);
    plages(nbplage);            // zone codes into tab (and into itab)
    warn_about_levels(report, zone_pixels());

    std::rewind(f1);            // labelling wrote into itab: read the contours again
    lecture();

    interpolation();            // zone pixels between their two contours
    dilatation();               // Van der Gonff iterations
    moyenne();                  // last gaps from their cross neighbours; itab1 = itab
    if (maille > 1)
        lissage(maille);        // Bezier patch of itab into itab1

    sauvegarde();               // 1-, 2- and 4-byte images and descriptors, renamed into place
}

} // namespace

int main()
{
    try {
        run();
    } catch (const std::bad_alloc &) { // a work list of a phase outgrew the memory
        std::printf("\n No hay memoria suficiente para una imagen de %d lineas y %d columnas\n", nb_lig, nb_col);
        termine();
    } catch (const std::length_error &) {
        std::printf("\n No hay memoria suficiente para una imagen de %d lineas y %d columnas\n", nb_lig, nb_col);
        termine();
    }
    return 0;
}
