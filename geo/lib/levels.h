// Contour levels: the whole-number table the core needs, found in the data or
// given, with the power of ten that makes decimal levels whole.
#ifndef TOLVANE_GEO_LEVELS_H
#define TOLVANE_GEO_LEVELS_H

#include "options.h"

#include <cstdint>
#include <string>
#include <vector>

#include <tolvane/tolvane.h>

namespace geo {

struct LevelTable {
    double scale = 1;          // altitude x scale = the whole number the core sees
    tolvane::Levels levels;    // in scaled units
    std::size_t distinct = 0;  // distinct altitudes found in the data
};

// The factor that makes every value (and the given levels) whole: `scale` when it
// is not 0, else the smallest power of ten up to 10^6. Throws Failure naming the
// first value that stays fractional, or one that leaves the int range or falls on
// the empty marker.
double find_scale(const std::vector<double> &values, const GivenLevels *given, double scale);

// value x scale as the int the core sees (find_scale checked that it is whole).
std::int32_t scaled(double value, double scale);

// The table: the given levels, or the lowest and highest value with the greatest
// common divisor of the steps between successive distinct values as interval
// (1 for a single level). `values` need not be sorted nor distinct.
LevelTable level_table(std::vector<double> values, const GivenLevels *given, double scale);

// "12.5" rather than "12.500000".
std::string decimal(double value);

} // namespace geo

#endif
