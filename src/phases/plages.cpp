// Zone labelling.
//
// plages: reads itab (the contour image) and the level table; writes the zone code
// into tab and into itab at every pixel it labels. Seeds are empty pixels of lines
// 1.. and columns 1..nb_col-2 whose nearest non-empty pixels to the left and to the
// right are the two contours of one zone. Codes written by earlier fills are
// non-empty, so they bound later fills and act as borders in later seed tests.
// Borders: line 0 and column 0 are never labelled; a run with no border on its
// left reaches column 1, one with none on its right the last column.
#include "tolvane.h"

#include "voisinages.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace {

// The first zone l with mit[l] = valmin and mat[l] = valmax, or 0.
class ZonesParBords {
public:
    explicit ZonesParBords(int nbplage)
    {
        for (int l = nbplage; l >= 1; l--) // the first zone wins: insert it last
            zones_[cle(mit[l], mat[l])] = l;
    }
    int cherche(int gbord, int dbord) const
    {
        if (gbord == dbord)
            return 0;
        const auto trouve = zones_.find(cle(std::min(gbord, dbord), std::max(gbord, dbord)));
        return trouve == zones_.end() ? 0 : trouve->second;
    }

private:
    static std::uint64_t cle(int bas, int haut)
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(bas)) << 32) | static_cast<std::uint32_t>(haut);
    }
    std::unordered_map<std::uint64_t, int> zones_;
};

} // namespace

// Within a line, every pixel of one empty stretch has the same two borders, so one
// test decides for the whole stretch until a fill changes the line. A fill never
// empties a pixel, so when the scan reaches an empty pixel its left neighbour is
// its left border (except in column 1, where column 0 may be empty).
void plages(int nbplage)
{
    const ZonesParBords zones(nbplage);
    for (int i = 1; i < nb_lig; i++) {
        const int *ligne = itab[i];
        int j = 1;
        while (j < nb_col - 1) {
            if (ligne[j] != VIDE) {
                j++;
                continue;
            }
            int y = j + 1;
            while (y < nb_col && ligne[y] == VIDE)
                y++;
            const bool bords = y < nb_col && (j > 1 || ligne[0] != VIDE);
            const int l = bords ? zones.cherche(ligne[j - 1], ligne[y]) : 0;
            if (l == 0) {
                j = y; // no pixel of this stretch is a seed
                continue;
            }
            rempli(i, j, l);
            j++;
        }
    }
}

// rempli: row-run flood fill of the empty region around (ilig, jcol) with the code
// ival2. Pending seeds live on an explicit stack that grows as needed. A fill never
// enters line 0 nor labels column 0: a run with no border on its left is taken to
// column 1. Every empty stretch of a neighbour line that shares a column with the
// run gets one seed, at its right end when that end lies under the run.
void rempli(int ilig, int jcol, int ival2)
{
    std::vector<Pixel> germes{{ilig, jcol}};
    const auto code = static_cast<unsigned char>(ival2);
    while (!germes.empty()) {
        const Pixel g = germes.back();
        germes.pop_back();
        const int i = g.i;
        const int jk = g.j;

        int jg = 2;
        int x = jk - 1;
        while (x >= 1 && itab[i][x] == VIDE)
            x--;
        if (x >= 1) {
            jg = x + 1;
        } else {
            itab[i][1] = ival2;
            tab[i][1] = code;
        }
        int y = jk + 1;
        while (y < nb_col && itab[i][y] == VIDE)
            y++;
        const int jd = y - 1;

        for (int c = jg; c <= jd; c++) {
            itab[i][c] = ival2;
            tab[i][c] = code;
        }

        for (int r : {i - 1, i + 1}) {
            if (r == 0 || r == nb_lig)
                continue;
            const int *ligne = itab[r];
            for (int c = jg; c <= jd; c++)
                if (ligne[c] == VIDE && (c + 1 >= nb_col || ligne[c + 1] != VIDE))
                    germes.push_back({r, c});
            if (ligne[jd] == VIDE && jd + 1 < nb_col && ligne[jd + 1] == VIDE)
                germes.push_back({r, jd});
        }
    }
}
