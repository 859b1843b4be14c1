// Counting of contour pixels against the level table. Each band of lines counts
// on its own thread; the sums and the levels met do not depend on the order.
#include "levels_report.h"

#include "console.h"
#include "thread_pool.h"
#include "tolvane.h"

#include <atomic>
#include <mutex>

LevelReport level_report()
{
    LevelReport report;
    report.zones = nbplage > 0 ? nbplage : 0;
    // Level k (0..zones) is mit[1] + k * interval: mit[k + 1] for k < zones, mat[zones]
    // for the last one.
    std::vector<char> held(static_cast<std::size_t>(report.zones) + 1, 0);
    const long long base = mit[1];
    const long long step = interval;
    std::mutex m;
    for_each_band(nb_lig, band_lines(64, nb_col), [&](int first, int last, int) {
        long long contour = 0, off_level = 0, beyond = 0, first_at = -1;
        std::vector<char> seen(held.size(), 0);
        const int *cells = itab[first];
        const std::size_t n = static_cast<std::size_t>(last - first) * nb_col;
        for (std::size_t c = 0; c < n; c++) {
            const int v = cells[c];
            if (v == VIDE)
                continue;
            contour++;
            if (v > MAX_ALTITUDE || v < -MAX_ALTITUDE) {
                if (beyond++ == 0)
                    first_at = static_cast<long long>(first) * nb_col + static_cast<long long>(c);
                continue;
            }
            const long long offset = v - base;
            long long k = -1;
            if (report.zones > 0 && offset % step == 0)
                k = offset / step;
            if (k >= 0 && k <= report.zones)
                seen[static_cast<std::size_t>(k)] = 1;
            else
                off_level++;
        }
        const std::lock_guard<std::mutex> lock(m);
        report.contour_pixels += contour;
        report.off_level_pixels += off_level;
        report.beyond_pixels += beyond;
        if (first_at >= 0 && (report.first_beyond < 0 || first_at < report.first_beyond)) {
            report.first_beyond = first_at;
            report.first_beyond_value = itab[first_at / nb_col][first_at % nb_col];
        }
        for (std::size_t k = 0; k < held.size(); k++)
            held[k] |= seen[k];
    }, [](int) { report_progress(0.0); }); // no share of the run, but a point where it can stop
    if (report.zones > 0)
        for (int k = 0; k <= report.zones; k++)
            if (!held[static_cast<std::size_t>(k)])
                report.missing_levels.push_back(k < report.zones ? mit[k + 1] : mat[report.zones]);
    return report;
}

long long zone_pixels()
{
    std::atomic<long long> n{0};
    for_each_band(nb_lig, band_lines(64, nb_col), [&](int first, int last, int) {
        long long here = 0;
        const unsigned char *codes = tab[first];
        const std::size_t cells = static_cast<std::size_t>(last - first) * nb_col;
        for (std::size_t c = 0; c < cells; c++)
            here += codes[c] != 0;
        n += here;
    });
    return n;
}
