// Reading of the contour image into itab: with several threads each reads its
// bands at their own places in the file.
#include "tolvane.h"

#include "atomic_outputs.h"
#include "thread_pool.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// Lines 0 .. nb_lig - 1 of the image from offset debut of the file, read at their
// own places by every thread, a band at a time (the lines of a grid lie one after
// the other in one block); the first line that could not be read whole, or nb_lig.
int lecture_par_bandes(long debut)
{
    const int fd = fileno(f1);
    const std::size_t octets = sizeof(int) * static_cast<std::size_t>(nb_col);
    std::atomic<int> premiere_manquee{nb_lig};
    for_each_band(nb_lig, band_lines(64, nb_col), [&](int premiere, int fin, int) {
        char *bande = reinterpret_cast<char *>(itab[premiere]);
        const std::size_t total = octets * static_cast<std::size_t>(fin - premiere);
        const off_t place = static_cast<off_t>(debut) + static_cast<off_t>(premiere) * static_cast<off_t>(octets);
        std::size_t lu = 0;
        while (lu < total) {
            const ssize_t n = pread(fd, bande + lu, total - lu, place + static_cast<off_t>(lu));
            if (n > 0)
                lu += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
        if (lu < total) {
            const int r = premiere + static_cast<int>(lu / octets);
            int vue = premiere_manquee;
            while (r < vue && !premiere_manquee.compare_exchange_weak(vue, r)) {
            }
        }
    });
    return premiere_manquee;
}

} // namespace

// With several threads each reads its bands at their places in the file; from
// the first line that failed (or everywhere, when the file has no places, as a
// pipe) the lines are read in order, so a failure names the same line.
void lecture()
{
    int r = 0;
    const long debut = thread_count() > 1 ? std::ftell(f1) : -1;
    if (debut >= 0) {
        r = lecture_par_bandes(debut);
        const long fin = debut + static_cast<long>(r) * static_cast<long>(sizeof(int)) * nb_col;
        if (std::fseek(f1, fin, SEEK_SET) != 0)
            r = 0; // no places after all: read everything in order
    }
    for (; r < nb_lig; r++) {
        if (std::fread(itab[r], sizeof(int), static_cast<std::size_t>(nb_col), f1) != static_cast<std::size_t>(nb_col)) {
            const std::string cause = std::ferror(f1) ? cause_of(errno) : "el archivo termina antes";
            std::printf("\n Error de lectura en la imagen %s (linea %d): %s\n", nomim1.c_str(), r, cause.c_str());
            termine();
        }
    }
}
