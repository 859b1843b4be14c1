// Counting of contour pixels against the level table.
#include "levels_report.h"

#include "tolvane.h"

LevelReport level_report()
{
    LevelReport report;
    report.zones = nbplage > 0 ? nbplage : 0;
    // Level k (0..zones) is mit[1] + k * interval: mit[k + 1] for k < zones, mat[zones]
    // for the last one.
    std::vector<char> held(static_cast<std::size_t>(report.zones) + 1, 0);
    const long long base = mit[1];
    const long long step = interval;
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++) {
            const int v = itab[r][c];
            if (v == VIDE)
                continue;
            report.contour_pixels++;
            const long long offset = v - base;
            long long k = -1;
            if (report.zones > 0 && offset % step == 0)
                k = offset / step;
            if (k >= 0 && k <= report.zones)
                held[static_cast<std::size_t>(k)] = 1;
            else
                report.off_level_pixels++;
        }
    if (report.zones > 0)
        for (int k = 0; k <= report.zones; k++)
            if (!held[static_cast<std::size_t>(k)])
                report.missing_levels.push_back(k < report.zones ? mit[k + 1] : mat[report.zones]);
    return report;
}

long long zone_pixels()
{
    long long n = 0;
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++)
            n += tab[r][c] != 0;
    return n;
}
