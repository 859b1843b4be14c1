// Where a run spends its time and memory: with TOLVANE_TIMES set in the
// environment, each step of the library prints one line to stderr when it ends
// (wall and CPU seconds since the last line, resident and peak memory). Without
// it nothing is measured or printed.
#ifndef TOLVANE_GEO_TIMING_H
#define TOLVANE_GEO_TIMING_H

namespace tolvane::geo {

// Ends the step `name` (a string literal): prints its line when asked to.
void step_done(const char *name);

} // namespace tolvane::geo

#endif
