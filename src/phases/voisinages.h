// Pixels and neighbourhoods shared by the phases, fast and plain.
#ifndef VOISINAGES_H
#define VOISINAGES_H

#include "tolvane.h"

#include <cstddef>
#include <cstring>
#include <vector>

struct Pixel {
    int i, j;
};

inline bool avant(const Pixel &a, const Pixel &b) { return a.i != b.i ? a.i < b.i : a.j < b.j; }
inline bool meme(const Pixel &a, const Pixel &b) { return a.i == b.i && a.j == b.j; }

// The cross (above, left, right, below) and the 3 x 3 block, each in the order the
// phases visit them: line by line, and within a line column by column. The order
// of the cross decides the final averaging of the dilation (the last greater
// neighbour wins). Neighbours outside the grid are skipped.
constexpr int CROIX[4][2] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}};
constexpr int BLOC[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

inline bool dans_grille(int i, int j) { return i >= 0 && i < nb_lig && j >= 0 && j < nb_col; }

inline void copie(int **de, int **vers)
{
    for (int i = 0; i < nb_lig; i++)
        std::memcpy(vers[i], de[i], sizeof(int) * static_cast<std::size_t>(nb_col));
}

#endif
