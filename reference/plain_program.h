// Included ahead of src/tolvane_v2.cpp to build tolvane_reference_run: the dialog
// program itself, with the plain phases in place of the fast ones. The golden
// tests run it beside the dialog; it is not the program and is not installed.
#ifndef PLAIN_PROGRAM_H
#define PLAIN_PROGRAM_H

#include "phases_reference.h"
#include "tolvane.h"

#define plages reference::plages
#define interpolation reference::interpolation
#define dilatation reference::dilatation
#define moyenne reference::moyenne
#define lissage reference::lissage

#endif
