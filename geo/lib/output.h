// Writing the products: the elevation model in the type asked, the burned contour
// grid and the shaded relief. Every file is written under a temporary name beside
// its final one (pending.h) and renamed only when all of them are complete.
#ifndef TOLVANE_GEO_OUTPUT_H
#define TOLVANE_GEO_OUTPUT_H

#include "pending.h"

#include <tolvane/geo.h>

#endif
