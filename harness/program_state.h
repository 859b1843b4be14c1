// The program-wide state of the phases, for the tests, the fuzz targets and the
// benchmark: the five grids allocated for a size, and a copy of everything the
// phases read or write that can be taken, put back and compared.
#ifndef HARNESS_PROGRAM_STATE_H
#define HARNESS_PROGRAM_STATE_H

#include "nrutil.h"

#include <string>
#include <vector>

namespace harness {

// Sets nb_lig and nb_col and points the five grids (tab, itab, itab1, itab2,
// itab3) at new zero-filled ones. The grids of the previous call are given back
// first, even if the program-wide pointers have been moved since (the library
// entry point runs on grids of its own). Throws std::bad_alloc without memory.
void allocate_grids(int rows, int columns);
// Gives back the grids of allocate_grids; pointers still at them become null.
void release_grids();
// Gives back the grids the program-wide pointers hold, whoever allocated them (for
// example the dialog), and sets the pointers to null.
void release_program_grids();

// Cells of one grid (rows x columns, row after row) into it, or out of it.
void put_cells(Grille<int> grid, const std::vector<int> &cells);
std::vector<int> cells_of(Grille<int> grid);

// Everything the phases read or write: the grids (itab3 empty when it is not
// allocated), the level table and the counters. Not the console text.
struct ProgramState {
    int rows = 0, columns = 0;
    std::vector<int> itab, itab1, itab2;
    std::vector<unsigned char> tab;
    std::vector<unsigned short> itab3;
    std::vector<int> mit, mat;
    int nbplage = 0, upper_value = 0, interval = 0;
    int nb_pix_mod = 0, modif = 0, min_al = 0, max_al = 0;
};

ProgramState snapshot();
// The grids must have the state's size.
void restore(const ProgramState &state);

// "" when the states are the same; else the first difference, for example
// "itab1 differs at row 3, column 7: plain 1200, fast 1201".
std::string first_difference(const ProgramState &a, const ProgramState &b, const char *name_a = "expected",
                             const char *name_b = "actual");

} // namespace harness

#endif
