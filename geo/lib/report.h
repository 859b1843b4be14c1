// The run in words: the notes and warnings of a report (public in
// <tolvane/geo.h>), what still leaks, and the core's refusals in the data's units.
#ifndef TOLVANE_GEO_REPORT_H
#define TOLVANE_GEO_REPORT_H

#include <tolvane/geo.h>

#include <string>

namespace tolvane::geo {

// What still leaks after the repairs, named.
std::string leaks_left(const Report &r);

// A refusal of the core, in the data's units.
std::string explain(const tolvane::Error &e, const Grid &g, const LevelTable &t);

} // namespace tolvane::geo

#endif
