// Small grids for the phase tests: sizes the program-wide grids (harness/), fills
// them from rows written out in the test, reads them back and captures the console.
#ifndef GRILLES_H
#define GRILLES_H

#include "program_state.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace grilles {

constexpr int E = VIDE;
using Grille = std::vector<std::vector<int>>;

template <typename T>
void pose(::Grille<T> grille, const Grille &valeurs)
{
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            grille[i][j] = static_cast<T>(valeurs[i][j]);
}

template <typename T>
Grille lit(::Grille<T> grille)
{
    Grille g(nb_lig, std::vector<int>(nb_col));
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            g[i][j] = grille[i][j];
    return g;
}

// Sizes the grids to the rows given and puts them into itab.
inline void charge(const Grille &lignes)
{
    harness::allocate_grids(static_cast<int>(lignes.size()), static_cast<int>(lignes[0].size()));
    pose(itab, lignes);
}

// The level table as the operator's three answers build it.
inline void niveaux(int inferieur, int superieur, int intervalle)
{
    mit[1] = inferieur;
    upper_value = superieur;
    interval = intervalle;
    table_niveaux();
}

// Everything the call prints on standard output.
template <typename F>
std::string console(F &&appel)
{
    testing::internal::CaptureStdout();
    appel();
    return testing::internal::GetCapturedStdout();
}

// Console text of the dilation phase whose calls filled the given numbers of
// pixels; the last call, which fills nothing, is not in the list.
inline std::string texte_dilatation(const std::vector<int> &remplis)
{
    std::string t = "\n\n Tratamiento por dilatacion\n";
    int n = 1;
    for (int r : remplis) {
        t += "\n\n Iteracion de Van der Gonff numero  " + std::to_string(n++) + " \n";
        t += "\n numero de puntos interpolados = " + std::to_string(r) + " ";
    }
    return t + "\n\n Iteracion de Van der Gonff numero  " + std::to_string(n) + " \n";
}

} // namespace grilles

#endif
