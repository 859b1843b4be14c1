// Pixels and neighbourhoods shared by the phases, fast and plain.
#ifndef VOISINAGES_H
#define VOISINAGES_H

#include "thread_pool.h"
#include "tolvane.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <utility>
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

// Lines per band of the whole-grid scans handed to a thread.
constexpr int BANDE_GRILLE = 64;

// Lines per band of the scans whose bands gather lists of their own: about 256
// bands at most, so that the bands' lists cost little even on an image of
// millions of lines.
inline int bande_de_listes() { return nb_lig / 256 > BANDE_GRILLE ? nb_lig / 256 : BANDE_GRILLE; }

// body(first, last), returning a T, on such bands on every thread; the bands'
// results in line order.
template <typename T, typename Body>
std::vector<T> resultats_par_bande(Body body)
{
    std::mutex m;
    std::vector<std::pair<int, T>> bandes;
    for_each_band(nb_lig, bande_de_listes(), [&](int debut, int fin, int) {
        T r = body(debut, fin);
        const std::lock_guard<std::mutex> verrou(m);
        bandes.emplace_back(debut, std::move(r));
    });
    std::sort(bandes.begin(), bandes.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<T> resultats;
    resultats.reserve(bandes.size());
    for (auto &b : bandes)
        resultats.push_back(std::move(b.second));
    return resultats;
}

inline void copie(Grille<int> de, Grille<int> vers)
{
    for_each_band(nb_lig, band_lines(BANDE_GRILLE, nb_col), [de, vers](int debut, int fin, int) {
        std::memcpy(vers[debut], de[debut], sizeof(int) * static_cast<std::size_t>(fin - debut) * nb_col);
    });
}

#endif
