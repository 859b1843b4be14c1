// Output images and descriptors: the final grid itab1 as 1-, 2- and 4-byte
// images, the tails of the three descriptors, and the six files put in place of
// the previous results together. A failed write names its file and ends the run.
#include "tolvane.h"

#include "atomic_outputs.h"

#include <string>
#include <vector>

namespace {

void extremes()
{
    min_al = 1000000;
    max_al = -1000000;
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++) {
            const int v = itab1[r][c];
            if (v < min_al)
                min_al = v;
            if (v > max_al)
                max_al = v;
        }
}

// The 1-byte value of altitude v: v - min_al over the range, times 255, plus a
// half, truncated. Differences are taken in 64 bits so that extremes far apart
// cannot overflow.
unsigned char octet_de(int v, float plage)
{
    const float ecart = static_cast<float>(static_cast<long long>(v) - min_al);
    return static_cast<unsigned char>(tronque_ld(static_cast<long double>(ecart) / plage * 255 + 0.5L));
}

// The 1-byte image stretches min_al..max_al over 0..255; a flat grid has no range
// and gives 0 everywhere. An elevation model holds few distinct altitudes, so when
// the range is no wider than the grid each value of it is converted once.
void image_1_octet()
{
    const long long etendue = static_cast<long long>(max_al) - min_al;
    const float plage = static_cast<float>(etendue);
    std::vector<unsigned char> table;
    if (etendue > 0 && etendue < static_cast<long long>(nb_lig) * nb_col) {
        table.resize(static_cast<std::size_t>(etendue) + 1);
        for (long long e = 0; e <= etendue; e++)
            table[static_cast<std::size_t>(e)] = octet_de(static_cast<int>(min_al + e), plage);
    }
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++) {
            const int v = itab1[r][c];
            if (etendue == 0)
                tab[r][c] = 0;
            else if (!table.empty())
                tab[r][c] = table[static_cast<std::size_t>(static_cast<long long>(v) - min_al)];
            else
                tab[r][c] = octet_de(v, plage);
        }
}

void image_2_octets()
{
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++)
            itab3[r][c] = static_cast<unsigned short>(itab1[r][c] / 10);
}

template <typename T>
void ecrit_image(T **grille, std::FILE *f, const std::string &chemin)
{
    for (int r = 0; r < nb_lig; r++)
        verifie_ecriture(std::fwrite(grille[r], sizeof(T), static_cast<std::size_t>(nb_col), f)
                             == static_cast<std::size_t>(nb_col),
                         chemin);
}

void ecrit_queue(std::FILE *f, const std::string &chemin, int minimum, int maximum)
{
    verifie_ecriture(std::fprintf(f, "%d\n%d\n%d\n", minimum, maximum, taille_pix) >= 0, chemin);
}

void ferme(std::FILE *&f, const std::string &chemin)
{
    const bool ok = close_synced(f);
    f = nullptr;
    verifie_ecriture(ok, chemin);
}

} // namespace

void sauvegarde()
{
    std::printf("\n\n Guardando el archivo\n");
    extremes();
    image_1_octet();
    image_2_octets();

    ecrit_image(tab, f2, nomim2);
    ecrit_image(itab1, f4, nomim4);
    ecrit_image(itab3, f3, nomim3);

    ecrit_queue(f2d, nomdescr2, 0, 255);
    ecrit_queue(f3d, nomdescr3, min_al / 10, max_al / 10);
    ecrit_queue(f4d, nomdescr4, min_al, max_al);

    ferme(f2, nomim2);
    ferme(f3, nomim3);
    ferme(f4, nomim4);
    ferme(f2d, nomdescr2);
    ferme(f3d, nomdescr3);
    ferme(f4d, nomdescr4);

    // All six are complete: they replace the previous results together.
    int failed = 0;
    if (!commit_outputs(&failed)) {
        const std::string *names[] = {&nomim2, &nomim3, &nomim4, &nomdescr2, &nomdescr3, &nomdescr4};
        verifie_ecriture(false, *names[failed]);
    }

    std::printf("\n");
}
