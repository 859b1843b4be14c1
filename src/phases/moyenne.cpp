// Cross-neighbour averaging of the remaining gaps.
//
// Passes over itab until one fills nothing; an empty pixel takes the rounded mean
// of its cross neighbours that hold an altitude. Stores take effect at once, so a
// fill spreads right and down within one pass but left and up by one pixel per
// pass. Ends with itab1 = itab.
//
// A pass visits, in line order, only the pixels that can be filled: every empty
// pixel in the first pass; later, the left and upper neighbours of the previous
// pass's fills; and, within a pass, the right and lower neighbours of its own
// fills, which come later in the visiting order. The first pass skips the lines
// without an empty pixel, found beforehand on every thread.
//
// Reads and fills itab; at its end itab1 = itab. Neighbours outside the grid are
// skipped; a mean equal to the empty marker does not fill.
#include "tolvane.h"

#include "voisinages.h"

#include <algorithm>
#include <vector>

namespace {

// Fills (i, j) if it has a neighbour with an altitude; a mean equal to the marker
// itself cannot fill the pixel (counting it would repeat the passes forever).
bool remplit_moyenne(int i, int j)
{
    long long tot = 0;
    int ico = 0;
    for (const auto &d : CROIX) {
        const int k = i + d[0];
        const int l = j + d[1];
        if (dans_grille(k, l) && itab[k][l] != VIDE) {
            ico++;
            tot += itab[k][l];
        }
    }
    if (ico == 0 || moyenne_croix(tot, ico) == VIDE)
        return false;
    itab[i][j] = moyenne_croix(tot, ico);
    return true;
}

// One pass over the candidates (sorted in line order), or over every empty pixel
// when `tous` is set (the first pass: no list as large as the grid); the left and
// upper neighbours of its fills go to `suivants` for the next pass.
// The lines that hold an empty pixel, found on every thread. A fill never
// empties a pixel, so the first pass has nothing to do on the others, unless
// the line above fills a pixel below it, which is then empty.
std::vector<char> lignes_avec_vides()
{
    std::vector<char> vides(static_cast<std::size_t>(nb_lig), 0);
    for_each_band(nb_lig, BANDE_GRILLE, [&vides](int debut, int fin, int) {
        for (int i = debut; i < fin; i++)
            vides[static_cast<std::size_t>(i)] = std::find(itab[i], itab[i] + nb_col, VIDE) != itab[i] + nb_col;
    });
    return vides;
}

void passe_moyenne(bool tous, const std::vector<Pixel> &candidats, std::vector<Pixel> &suivants)
{
    std::vector<int> colonnes, dessous, prochains;
    std::vector<char> vides;
    if (tous)
        vides = lignes_avec_vides();
    const auto prochaine_avec_vides = [&vides](int i) {
        while (i < nb_lig && !vides[static_cast<std::size_t>(i)])
            i++;
        return i;
    };
    std::size_t n = 0;
    int i = tous ? prochaine_avec_vides(0) : candidats.empty() ? nb_lig : candidats.front().i;
    while (i < nb_lig) {
        colonnes.clear();
        if (tous && vides[static_cast<std::size_t>(i)]) {
            for (int j = 0; j < nb_col; j++)
                if (itab[i][j] == VIDE)
                    colonnes.push_back(j);
        }
        for (; n < candidats.size() && candidats[n].i == i; n++)
            colonnes.push_back(candidats[n].j);
        if (!dessous.empty()) { // the lower neighbours of the line above's fills
            const std::size_t milieu = colonnes.size();
            colonnes.insert(colonnes.end(), dessous.begin(), dessous.end());
            std::inplace_merge(colonnes.begin(), colonnes.begin() + static_cast<std::ptrdiff_t>(milieu), colonnes.end());
        }
        prochains.clear();
        std::size_t c = 0;
        int chaine = -1; // right neighbour of the last fill, visited next
        for (;;) {
            int j;
            if (chaine >= 0) {
                j = chaine;
                chaine = -1;
                while (c < colonnes.size() && colonnes[c] <= j)
                    c++;
            } else if (c < colonnes.size()) {
                j = colonnes[c++];
                while (c < colonnes.size() && colonnes[c] == j)
                    c++;
            } else {
                break;
            }
            if (itab[i][j] != VIDE || !remplit_moyenne(i, j))
                continue;
            nb_pix_mod++;
            if (j + 1 < nb_col && itab[i][j + 1] == VIDE)
                chaine = j + 1;
            if (i + 1 < nb_lig && itab[i + 1][j] == VIDE)
                prochains.push_back(j);
            if (j > 0 && itab[i][j - 1] == VIDE)
                suivants.push_back({i, j - 1});
            if (i > 0 && itab[i - 1][j] == VIDE)
                suivants.push_back({i - 1, j});
        }
        dessous.swap(prochains);
        // Next line with work: one below with lower neighbours, or the next candidate's.
        const int suivante = tous ? prochaine_avec_vides(i + 1) : n < candidats.size() ? candidats[n].i : nb_lig;
        i = dessous.empty() ? suivante : i + 1;
    }
}

// An image of one line or of one column: the cells in a row, each with the one
// before and the one after as its cross (left and right, or above and below). A
// pass visits the cells in that order: the first every empty cell; the next ones
// the cells before the previous pass's fills, and within a pass the cell after
// each fill, visited next.
bool remplit_lineaire(int *a, int n, int x)
{
    long long tot = 0;
    int ico = 0;
    if (x > 0 && a[x - 1] != VIDE) {
        ico++;
        tot += a[x - 1];
    }
    if (x + 1 < n && a[x + 1] != VIDE) {
        ico++;
        tot += a[x + 1];
    }
    if (ico == 0 || moyenne_croix(tot, ico) == VIDE)
        return false;
    a[x] = moyenne_croix(tot, ico);
    return true;
}

void moyenne_lineaire()
{
    const int n = nb_lig * nb_col;
    int *a = itab.cases();
    std::vector<int> candidats, suivants;
    nb_pix_mod = 1;
    for (bool premiere = true; nb_pix_mod > 0; premiere = false) {
        nb_pix_mod = 0;
        suivants.clear();
        const auto visite = [&](int x) { // returns the cell visited last
            while (x < n && a[x] == VIDE && remplit_lineaire(a, n, x)) {
                nb_pix_mod++;
                if (x > 0 && a[x - 1] == VIDE)
                    suivants.push_back(x - 1);
                x++;
            }
            return x;
        };
        if (premiere) {
            for (int x = 0; x < n; x++)
                if (a[x] == VIDE)
                    x = visite(x);
        } else {
            int vu = -1; // the last cell visited
            for (int x : candidats)
                if (x > vu)
                    vu = visite(x);
        }
        candidats.swap(suivants);
    }
}

} // namespace

void moyenne()
{
    if (nb_lig == 1 || nb_col == 1) {
        moyenne_lineaire();
        copie(itab, itab1);
        return;
    }

    std::vector<Pixel> candidats, suivants;
    nb_pix_mod = 1;
    for (bool premiere = true; nb_pix_mod > 0; premiere = false) {
        nb_pix_mod = 0;
        suivants.clear();
        passe_moyenne(premiere, candidats, suivants);
        std::sort(suivants.begin(), suivants.end(), avant);
        suivants.erase(std::unique(suivants.begin(), suivants.end(), meme), suivants.end());
        candidats.swap(suivants);
    }
    copie(itab, itab1);
}

