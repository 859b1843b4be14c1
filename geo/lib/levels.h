// Contour levels: the whole-number table the core needs, found in the data or
// given.
#ifndef TOLVANE_GEO_LEVELS_H
#define TOLVANE_GEO_LEVELS_H

#include <tolvane/geo.h>

#include <cstdint>

namespace tolvane::geo {

// An altitude in the data's units as the whole number the core sees:
// value x scale - base (find_levels checked that it is whole and fits).
std::int32_t scaled(double value, const LevelTable &table);

// A whole number of the core back in the data's units.
double unscaled(double whole, const LevelTable &table);

} // namespace tolvane::geo

#endif
