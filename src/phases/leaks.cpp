// Leaks of the zone labelling.
//
// The labelling fills the empty region around a seed up to whatever contour stops
// it. When a line has a gap or ends inside the grid, the fill runs through the gap
// or around the end into the neighbouring bands, and those pixels are then
// interpolated between the wrong pair of contours. In a sound labelling every run
// of zone k (a maximal stretch of one line with code k in tab) is stopped, left and
// right, by a pixel of the contour mit[k] or mat[k], or by the grid's edge: the
// last column, or column 0, which the fill never looks at. A run stopped by a
// contour of another level of the table has leaked; its pixels are leak pixels.
// Pixels of altitudes that are no level (spot heights) stop runs without meaning
// anything and are not counted.
//
// Reads tab (zone codes) and itab, the contour image wherever the code is 0 (at
// zone pixels labelling may have left its codes in itab: they count as empty);
// writes nothing but the optional mask and the notice. Lines are independent:
// bands of them are counted on every thread.
#include "tolvane.h"

#include "console.h"
#include "thread_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

long long leaks(std::uint8_t *mask)
{
    if (mask != nullptr)
        std::fill(mask, mask + static_cast<std::size_t>(nb_lig) * nb_col, std::uint8_t{0});
    if (nbplage <= 0)
        return 0;
    std::vector<int> levels;
    for (int k = 1; k <= nbplage; k++) {
        levels.push_back(mit[k]);
        levels.push_back(mat[k]);
    }
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
    // A pixel that stops a run of zone k wrongly: a level of the table other than
    // the zone's two.
    const auto wrong = [&](int value, int k) {
        return value != mit[k] && value != mat[k] && std::binary_search(levels.begin(), levels.end(), value);
    };

    std::atomic<long long> leaked_pixels{0}, all_zone_pixels{0};
    for_each_band(nb_lig, band_lines(64, nb_col), [&](int first, int last, int) {
        const unsigned char *band = tab[first], *band_end = tab[last];
        if (std::find_if(band, band_end, [](unsigned char k) { return k != 0; }) == band_end)
            return; // no zone pixel in the band
        long long leaked = 0, zone_pixels = 0;
        for (int i = first; i < last; i++) {
            const unsigned char *codes = tab[i];
            const int *contours = itab[i];
            const auto contour = [&](int c) { return codes[c] != 0 ? VIDE : contours[c]; };
            int j = 0;
            while (j < nb_col) {
                const int k = codes[j];
                if (k == 0) {
                    j++;
                    continue;
                }
                int end = j + 1;
                while (end < nb_col && codes[end] == k)
                    end++;
                zone_pixels += end - j;
                const bool left = j - 1 >= 1 && wrong(contour(j - 1), k);
                const bool right = end < nb_col && wrong(contour(end), k);
                if (k <= nbplage && (left || right)) {
                    leaked += end - j;
                    if (mask != nullptr)
                        std::fill(mask + static_cast<std::size_t>(i) * nb_col + j,
                                  mask + static_cast<std::size_t>(i) * nb_col + end, std::uint8_t{1});
                }
                j = end;
            }
        }
        leaked_pixels += leaked;
        all_zone_pixels += zone_pixels;
    });
    const long long leaked = leaked_pixels, zone_pixels = all_zone_pixels;
    if (leaked > 0)
        console_printf("\n Aviso: %lld pixeles de zona (%.1f%% de los pixeles de zona) estan entre curvas que no son "
                       "las de su zona: las curvas tienen huecos o extremos abiertos\n",
                       leaked, 100.0 * static_cast<double>(leaked) / static_cast<double>(zone_pixels));
    return leaked;
}
