// Output images and descriptors: the final grid itab1 as 1-, 2- and 4-byte
// images, the tails of the three descriptors, and the six files put in place of
// the previous results together. A failed write names its file and ends the run.
#include "tolvane.h"

#include "atomic_outputs.h"
#include "thread_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Lines per band of the conversions handed to a thread.
constexpr int BANDE_SORTIE = 64;

// The 2-byte image holds the altitude divided by 10 as an unsigned 16-bit cell;
// a tenth outside 0..65535 keeps only its low 16 bits. Those cells are counted,
// with the smallest and largest such tenth, for the notice.
constexpr int TENTHS_MAX = 65535;

struct OutOfRange {
    long long cells = 0;
    int smallest = std::numeric_limits<int>::max();
    int largest = std::numeric_limits<int>::min();
    void add(int tenth)
    {
        cells++;
        smallest = std::min(smallest, tenth);
        largest = std::max(largest, tenth);
    }
    void add(const OutOfRange &other)
    {
        cells += other.cells;
        smallest = std::min(smallest, other.smallest);
        largest = std::max(largest, other.largest);
    }
};

// The extremes of itab1, taken from its cells alone, and, in the same pass, the
// 2-byte image: the altitude divided by 10. Each band finds its own extremes; the
// smallest of the smallest is the same in any order.
OutOfRange extremes_et_image_2_octets()
{
    std::mutex m;
    OutOfRange outside;
    min_al = std::numeric_limits<int>::max();
    max_al = std::numeric_limits<int>::min();
    for_each_band(nb_lig, band_lines(BANDE_SORTIE, nb_col), [&](int debut, int fin, int) {
        int petit = std::numeric_limits<int>::max(), grand = std::numeric_limits<int>::min();
        OutOfRange band;
        const int *cellules = itab1[debut];
        unsigned short *sortie = itab3[debut];
        const std::size_t n = static_cast<std::size_t>(fin - debut) * nb_col;
        for (std::size_t c = 0; c < n; c++) {
            const int v = cellules[c];
            petit = std::min(petit, v);
            grand = std::max(grand, v);
            const int tenth = v / 10;
            if (tenth < 0 || tenth > TENTHS_MAX)
                band.add(tenth);
            sortie[c] = static_cast<unsigned short>(tenth);
        }
        const std::lock_guard<std::mutex> garde(m);
        min_al = std::min(min_al, petit);
        max_al = std::max(max_al, grand);
        outside.add(band);
    });
    return outside;
}

// One line when the 2-byte image cannot hold every tenth; the cells keep their
// low 16 bits all the same, as the format says.
void warn_about_tenths(const OutOfRange &outside)
{
    if (outside.cells > 0)
        std::printf("\n Aviso: %lld pixeles de %s tienen una altitud / 10 fuera de 0 a %d (de %d a %d): "
                    "se guardan sus 16 bits bajos\n",
                    outside.cells, nomim3.c_str(), TENTHS_MAX, outside.smallest, outside.largest);
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
    for_each_band(nb_lig, band_lines(BANDE_SORTIE, nb_col), [&](int debut, int fin, int) {
        const int *cellules = itab1[debut];
        unsigned char *sortie = tab[debut];
        const std::size_t n = static_cast<std::size_t>(fin - debut) * nb_col;
        if (etendue == 0)
            std::memset(sortie, 0, n);
        else if (!table.empty())
            for (std::size_t c = 0; c < n; c++)
                sortie[c] = table[static_cast<std::size_t>(static_cast<long long>(cellules[c]) - min_al)];
        else
            for (std::size_t c = 0; c < n; c++)
                sortie[c] = octet_de(cellules[c], plage);
    });
}

void ecrit_queue(std::FILE *f, const std::string &chemin, int minimum, int maximum)
{
    verifie_ecriture(std::fprintf(f, "%d\n%d\n%d\n", minimum, maximum, taille_pix) >= 0, chemin);
}

// What became of one image written by a thread: its rows, then its closing
// (flushed and synced to disk), each with errno when it failed. A thread cannot
// end the run, so the caller reports the failures once every image is done.
struct Ecrit {
    bool rows = true, closed = true;
    int rows_error = 0, close_error = 0;
};

// The lines lie one after the other in the grid: one write for them all.
template <typename T>
void ecrit_image(Grille<T> grille, std::FILE *f, Ecrit &e)
{
    const std::size_t n = static_cast<std::size_t>(nb_lig) * static_cast<std::size_t>(nb_col);
    if (std::fwrite(grille.cases(), sizeof(T), n, f) != n) {
        e.rows = false;
        e.rows_error = errno;
        std::fclose(f);
        return;
    }
    e.closed = close_synced(f);
    e.close_error = errno;
}

// The three images are written and synced side by side, one per thread (in turn
// with one thread). Failures are reported in the order of a run on one thread:
// the rows of the 1-, 4- and 2-byte images, the descriptors' tails, then the
// closing of the 1-, 2- and 4-byte images.
void ecrit_images()
{
    Ecrit e[3];
    for_each_band(3, 1, [&](int image, int, int) {
        if (image == 0)
            ecrit_image(tab, f2, e[0]);
        else if (image == 1)
            ecrit_image(itab1, f4, e[1]);
        else
            ecrit_image(itab3, f3, e[2]);
    });
    f2 = f3 = f4 = nullptr;
    const std::string *noms[3] = {&nomim2, &nomim4, &nomim3};
    for (int k = 0; k < 3; k++) {
        errno = e[k].rows_error;
        verifie_ecriture(e[k].rows, *noms[k]);
    }
    ecrit_queue(f2d, nomdescr2, 0, 255);
    ecrit_queue(f3d, nomdescr3, min_al / 10, max_al / 10);
    ecrit_queue(f4d, nomdescr4, min_al, max_al);
    for (const int k : {0, 2, 1}) {
        errno = e[k].close_error;
        verifie_ecriture(e[k].closed, *noms[k]);
    }
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
    warn_about_tenths(extremes_et_image_2_octets());
    image_1_octet();

    ecrit_images();
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
