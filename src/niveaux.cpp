// The level table and the limits of the operator's three altitude answers.
#include "tolvane.h"

#include <algorithm>
#include <climits>

void table_niveaux()
{
    nbplage = (upper_value - mit[1]) / interval;
    mat[1] = mit[1] + interval;
    for (int k = 2; k <= nbplage; k++) {
        mit[k] = mit[k - 1] + interval;
        mat[k] = mit[k] + interval;
    }
}

LevelCheck check_levels(long long lowest, long long highest, long long interval_)
{
    LevelCheck c;
    if (interval_ == 0) {
        c.problem = LevelCheck::zero_interval;
        return c;
    }
    c.zones = (highest - lowest) / interval_;
    if (c.zones > MAX_ZONES) {
        c.problem = LevelCheck::too_many_zones;
        return c;
    }
    // The level table takes the difference of the two altitudes and every level up
    // to the last in int, so all of them must fit.
    const long long last = lowest + (c.zones > 1 ? c.zones : 1) * interval_;
    const long long difference = highest - lowest;
    if (last < INT_MIN || last > INT_MAX || difference < INT_MIN || difference > INT_MAX)
        c.problem = LevelCheck::out_of_range;
    else if (std::max({lowest, highest, last}) > MAX_ALTITUDE || std::min({lowest, highest, last}) < -MAX_ALTITUDE)
        c.problem = LevelCheck::beyond_marker; // a level at the empty marker would be no contour
    return c;
}
