// Zone labelling.
//
// plages: reads itab (the contour image) and the level table; writes the zone code
// into tab and into itab at every pixel it labels. Seeds are empty pixels of lines
// 1.. and columns 1..nb_col-2 whose nearest non-empty pixels to the left and to the
// right are the two contours of one zone. Codes written by earlier fills are
// non-empty, so they bound later fills and act as borders in later seed tests.
// Borders: line 0 and column 0 are never labelled; a run with no border on its
// left reaches column 1, one with none on its right the last column.
//
// Why it can run on every thread (the plain version, reference/phases/plages.cpp,
// scans and fills pixel by pixel): a fill labels a whole region, made of the
// empty runs of lines 1.. (columns 1..), two runs of neighbour lines being joined
// when they share a column from 2 on. A fill never makes a stretch's borders,
// which are never empty, so every seed test reads the image as it came, and a
// region takes the code of the first of its runs, in scan order, whose test
// gives a zone. One kind of run is apart: a run of column 1 alone shares no
// column from 2 on, so no fill enters it, but its own fill goes on into the runs
// of the lines above and below that hold columns 1 and 2. Its test counts for
// their regions too, at its place in scan order. So bands of lines find their
// runs, test them and join them among themselves on every thread; the bands are
// then joined at their borders, each region takes its first zone, and the bands
// write the codes.
#include "tolvane.h"

#include "thread_pool.h"
#include "voisinages.h"

#include <algorithm>
#include <cstddef>
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

// The empty runs of lines 1.. (within columns 1..), numbered in scan order, and
// the regions they join into. A region's root is its first run: a join always
// hangs the later root under the earlier one.
struct Runs {
    std::vector<std::size_t> first;  // per line, its first run; then the total
    std::vector<int> start, end;     // first and last column of each run
    std::vector<std::size_t> parent; // towards the region's first run
    std::vector<unsigned char> zone; // the run's seed test (0: no zone)
    std::vector<unsigned char> code; // at a root, the code of its region
};

// Runs of line i: maximal stretches of empty pixels in columns 1..nb_col - 1.
template <typename Visit>
void for_each_run(int i, Visit visit)
{
    const int *ligne = itab[i];
    int j = 1;
    while (j < nb_col) {
        if (ligne[j] != VIDE) {
            j++;
            continue;
        }
        int y = j + 1;
        while (y < nb_col && ligne[y] == VIDE)
            y++;
        visit(j, y);
        j = y;
    }
}

std::size_t find_root(Runs &r, std::size_t a)
{
    while (r.parent[a] != a) {
        r.parent[a] = r.parent[r.parent[a]];
        a = r.parent[a];
    }
    return a;
}

void join(Runs &r, std::size_t a, std::size_t b)
{
    a = find_root(r, a);
    b = find_root(r, b);
    if (a < b)
        r.parent[b] = a;
    else if (b < a)
        r.parent[a] = b;
}

// Joins the runs of line i with those of line i - 1 that share a column from 2
// on: the fill does not look for seeds under column 1.
void join_lines(Runs &r, int i)
{
    std::size_t a = r.first[i - 1], b = r.first[i];
    const std::size_t a_end = r.first[i], b_end = r.first[i + 1];
    while (a < a_end && b < b_end) {
        if (std::max({r.start[a], r.start[b], 2}) <= std::min(r.end[a], r.end[b]))
            join(r, a, b);
        if (r.end[a] < r.end[b])
            a++;
        else
            b++;
    }
}

// Runs and seed tests of every line, the joins within each band; the lines that
// start a band are marked for the joins across band borders.
void find_runs(Runs &r, const ZonesParBords &zones, std::vector<char> &band_start)
{
    r.first.assign(static_cast<std::size_t>(nb_lig) + 1, 0);
    for_each_band(nb_lig, BANDE_GRILLE, [&r](int debut, int fin, int) {
        for (int i = std::max(debut, 1); i < fin; i++) {
            std::size_t n = 0;
            for_each_run(i, [&n](int, int) { n++; });
            r.first[static_cast<std::size_t>(i) + 1] = n;
        }
    });
    for (std::size_t i = 1; i < r.first.size(); i++)
        r.first[i] += r.first[i - 1];
    const std::size_t total = r.first.back();
    r.start.resize(total);
    r.end.resize(total);
    r.parent.resize(total);
    r.zone.resize(total);
    for_each_band(nb_lig, BANDE_GRILLE, [&](int debut, int fin, int) {
        band_start[static_cast<std::size_t>(debut)] = 1;
        for (int i = std::max(debut, 1); i < fin; i++) {
            const int *ligne = itab[i];
            std::size_t n = r.first[i];
            for_each_run(i, [&](int j, int y) {
                // The seed test of plages' scan: both borders, and a zone between them.
                const bool bords = y < nb_col && (j > 1 || ligne[0] != VIDE);
                r.start[n] = j;
                r.end[n] = y - 1;
                r.parent[n] = n;
                r.zone[n] = static_cast<unsigned char>(bords ? zones.cherche(ligne[j - 1], ligne[y]) : 0);
                n++;
            });
            if (i > debut)
                join_lines(r, i);
        }
    });
}

// The run of line r that a fill of column 1 alone in a neighbour line goes on
// into: the one holding columns 1 and 2, if any.
bool run_under_column_1(const Runs &r, int line, std::size_t &n)
{
    if (line < 1 || line >= nb_lig || r.first[line] == r.first[static_cast<std::size_t>(line) + 1])
        return false;
    n = r.first[line];
    return r.start[n] == 1 && r.end[n] >= 2;
}

// Every run points at its root, which holds the code of its region: the test of
// the first run, in scan order, that found a zone, be it of the region or a run
// of column 1 alone next to it. A run's parent comes before it in scan order, so
// one pass in that order does it.
void settle_regions(Runs &r)
{
    r.code.assign(r.zone.size(), 0);
    for (int i = 1; i < nb_lig; i++)
        for (std::size_t n = r.first[i]; n < r.first[static_cast<std::size_t>(i) + 1]; n++) {
            const std::size_t root = r.parent[r.parent[n]];
            r.parent[n] = root;
            if (r.zone[n] == 0)
                continue;
            if (r.code[root] == 0)
                r.code[root] = r.zone[n];
            if (r.start[n] != 1 || r.end[n] != 1)
                continue;
            std::size_t next = 0;
            for (int line : {i - 1, i + 1})
                if (run_under_column_1(r, line, next)) {
                    const std::size_t next_root = find_root(r, next);
                    if (r.code[next_root] == 0)
                        r.code[next_root] = r.zone[n];
                }
        }
}

void write_codes(const Runs &r)
{
    for_each_band(nb_lig, BANDE_GRILLE, [&r](int debut, int fin, int) {
        for (int i = std::max(debut, 1); i < fin; i++)
            for (std::size_t n = r.first[i]; n < r.first[static_cast<std::size_t>(i) + 1]; n++) {
                const unsigned char code = r.code[r.parent[n]];
                if (code == 0)
                    continue;
                std::fill(itab[i] + r.start[n], itab[i] + r.end[n] + 1, static_cast<int>(code));
                std::fill(tab[i] + r.start[n], tab[i] + r.end[n] + 1, code);
            }
    });
}

} // namespace

void plages(int nbplage)
{
    if (nbplage < 1 || nb_lig < 2 || nb_col < 3) // no zone, or no seed: no line after line 0, or no column between two others
        return;
    const ZonesParBords zones(nbplage);
    Runs r;
    std::vector<char> band_start(static_cast<std::size_t>(nb_lig), 0);
    find_runs(r, zones, band_start);
    for (int i = 2; i < nb_lig; i++)
        if (band_start[static_cast<std::size_t>(i)])
            join_lines(r, i);
    settle_regions(r);
    write_codes(r);
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
