// The processing phases, from the contour image to the final altitude grid.
//
// Every phase scans the grid line by line and each line column by column; where
// a phase fills gaps the visiting order decides the result. The phases visit only
// the pixels that can change, in that same order, so that their results are those
// of plain whole-grid passes (kept in tests/reference as the oracle).
#include "tolvane.h"

#include "lissage_pas.h"
#include "nrutil.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

struct Pixel {
    int i, j;
};

bool avant(const Pixel &a, const Pixel &b) { return a.i != b.i ? a.i < b.i : a.j < b.j; }
bool meme(const Pixel &a, const Pixel &b) { return a.i == b.i && a.j == b.j; }

// Neighbour offsets: the cross, then the 3 x 3 block.
// The order of the cross is the order of the final averaging pass of the
// dilation (the last greater neighbour wins).
constexpr int CROIX[4][2] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}};
constexpr int BLOC[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

bool dans_grille(int i, int j) { return i >= 0 && i < nb_lig && j >= 0 && j < nb_col; }

void copie(int **de, int **vers)
{
    for (int i = 0; i < nb_lig; i++)
        std::memcpy(vers[i], de[i], sizeof(int) * static_cast<std::size_t>(nb_col));
}

std::vector<Pixel> pixels_vides()
{
    std::vector<Pixel> vides;
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++)
            if (itab[i][j] == VIDE)
                vides.push_back({i, j});
    return vides;
}

} // namespace

// v truncated toward zero. A plain conversion of an extended value makes the
// x87 unit switch its rounding mode twice, which costs more than the rest of the
// arithmetic of a pixel. Processors with SSE3 truncate directly (fisttp); on
// others the nearest double, truncated by SSE, is off by at most one and is put
// right by exact comparisons.
namespace {

__attribute__((target("sse3"))) int tronque_sse3(long double v) { return static_cast<int>(v); }

int tronque_sse2(long double v)
{
    long long t = static_cast<long long>(static_cast<double>(v));
    if (v >= 0) {
        if (static_cast<long double>(t) > v)
            t--;
        else if (static_cast<long double>(t + 1) <= v)
            t++;
    } else {
        if (static_cast<long double>(t) < v)
            t++;
        else if (static_cast<long double>(t - 1) >= v)
            t--;
    }
    return static_cast<int>(t);
}

// Detection must be run before use in a static initializer.
const bool SSE3 = (__builtin_cpu_init(), __builtin_cpu_supports("sse3"));

} // namespace

int tronque_ld(long double v) { return SSE3 ? tronque_sse3(v) : tronque_sse2(v); }

void table_niveaux()
{
    nbplage = (upper_value - mit[1]) / interval;
    mat[1] = mit[1] + interval;
    for (int k = 2; k <= nbplage; k++) {
        mit[k] = mit[k - 1] + interval;
        mat[k] = mit[k] + interval;
    }
}

// ---------------------------------------------------------------------------
// Zone labelling.
//
// plages: reads itab (the contour image) and the level table; writes the zone code
// into tab and into itab at every pixel it labels. Seeds are empty pixels of lines
// 1.. and columns 1..nb_col-2 whose nearest non-empty pixels to the left and to the
// right are the two contours of one zone. Codes written by earlier fills are
// non-empty, so they bound later fills and act as borders in later seed tests.

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

// ---------------------------------------------------------------------------
// Distance interpolation.
//
// Reads itab (the contour image again), tab (zone codes) and the level table. Each
// pixel of zone k takes mit[k] + interval * distinf / (distinf + distsup), where the
// distances go to the nearest pixel of the whole image holding mit[k] and mat[k].
// The result gathers in itab2 (zone values, and itab where the code is 0) and ends
// in itab. Distances start at 99999.0, so a missing contour counts as that far.
//
// The nearest pixel of an altitude is found line by line with an exact Euclidean
// distance transform: the lower envelope of the parabolas (x - c)^2 + g_c^2, where
// g_c is the vertical distance from the line to the nearest pixel of column c.
// Zone pixels of one line are taken in groups; a group looks first at the
// columns within a band of half-width m around it, and a distance of at most m
// found there is the minimum, since every pixel left out is farther than m.
// Otherwise the band widens, up to the whole image.

// The order of the operations and the extended precision decide the last unit:
// interval / distot first, then times distinf, then plus the lower contour.
//
// The same formula in double precision lies within e of the extended result,
// where e is far below a unit for any int altitudes; unless it falls within e of
// a whole number, both truncate to the same value, and the slower extended
// arithmetic is kept for those few pixels.
int valeur_interpolee(int bas, double distinf, double distsup)
{
    const double rapide = static_cast<double>(interval) / (distinf + distsup) * distinf + bas;
    const double e = (std::fabs(static_cast<double>(interval)) + std::fabs(static_cast<double>(bas)) + 2) * 0x1p-48;
    const auto t = static_cast<long long>(rapide);
    const double reste = std::fabs(rapide - static_cast<double>(t));
    if (reste > e && reste < 1 - e)
        return static_cast<int>(t);
    const double distot = static_cast<double>(static_cast<long double>(distinf) + distsup);
    const long double v = static_cast<long double>(interval) / distot * distinf + bas;
    return tronque_ld(v);
}

namespace {

// The pixels of one altitude, column by column, lines ascending in each column.
class Courbe {
public:
    explicit Courbe(const std::vector<Pixel> &pixels) : debut_(static_cast<std::size_t>(nb_col) + 1, 0)
    {
        for (const Pixel &p : pixels)
            debut_[static_cast<std::size_t>(p.j) + 1]++;
        for (int c = 0; c < nb_col; c++)
            debut_[c + 1] += debut_[c];
        lignes_.resize(pixels.size());
        curseur_.assign(debut_.begin(), debut_.end() - 1);
        for (const Pixel &p : pixels) // pixels come line by line, so lines ascend
            lignes_[curseur_[p.j]++] = p.i;
        curseur_.assign(debut_.begin(), debut_.end() - 1);
    }
    bool vide() const { return lignes_.empty(); }
    bool dans_colonne(int c) const { return debut_[c] != debut_[c + 1]; }
    // Vertical distance from line r to the nearest pixel of column c (which has
    // one). The lines asked for never decrease, so each column keeps a cursor.
    long long vertical(int c, int r)
    {
        int &k = curseur_[c];
        const int fin = debut_[c + 1];
        while (k < fin && lignes_[k] < r)
            k++;
        if (k == fin)
            return r - lignes_[k - 1];
        const long long dessous = lignes_[k] - r;
        return k > debut_[c] ? std::min<long long>(dessous, r - lignes_[k - 1]) : dessous;
    }

private:
    std::vector<int> debut_;   // nb_col + 1 offsets into lignes_
    std::vector<int> lignes_;  // line of each pixel
    std::vector<int> curseur_; // per column: first pixel at or below the last line asked
};

// a / b rounded down, b > 0. The quotient of doubles, truncated, is off by at
// most one when both fit in 2^53, and is put right with exact integer products.
long long div_plancher(long long a, long long b)
{
    constexpr long long DEUX_53 = 1LL << 53;
    if (a > -DEUX_53 && a < DEUX_53 && b < (1LL << 20)) {
        long long q = static_cast<long long>(static_cast<double>(a) / static_cast<double>(b));
        if (q * b > a)
            q--;
        else if ((q + 1) * b <= a)
            q++;
        return q;
    }
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Lower envelope of the parabolas (x - c)^2 + h_c, columns added in increasing order.
class Enveloppe {
public:
    void efface(int premier)
    {
        sites_.clear();
        premier_ = premier;
        k_ = 0;
    }
    bool vide() const { return sites_.empty(); }
    void ajoute(int c, long long h)
    {
        // A site no better than c where it starts to lead is no better anywhere after.
        while (!sites_.empty() && valeur(sites_.back(), sites_.back().debut) >= valeur({c, h, 0}, sites_.back().debut))
            sites_.pop_back();
        long long debut = premier_;
        if (!sites_.empty()) {
            const Site &s = sites_.back();
            // The last x where s is no worse than c; c leads from the next one.
            debut = 1 + div_plancher(static_cast<long long>(c) * c - static_cast<long long>(s.c) * s.c + h - s.h,
                                     2LL * (c - s.c));
        }
        sites_.push_back({c, h, debut});
    }
    // The minimum at x; x must increase from one call to the next.
    long long minimum(int x)
    {
        while (k_ + 1 < sites_.size() && sites_[k_ + 1].debut <= x)
            k_++;
        return valeur(sites_[k_], x);
    }

private:
    struct Site {
        int c;
        long long h;
        long long debut; // first x where this site leads
    };
    static long long valeur(const Site &s, long long x) { return (x - s.c) * (x - s.c) + s.h; }
    std::vector<Site> sites_;
    long long premier_ = 0;
    std::size_t k_ = 0;
};

// Squared distances from the pixels of line r that need the curve to its
// nearest pixel. Each run of such pixels comes with a first guess m of their
// distance (the width of the run plus two: a run is usually bounded by its
// contours). Runs whose bands of columns [j0 - m, j1 + m] touch are searched
// together over the union of their bands, looking only at curve pixels at most
// as many lines away as the largest m. A distance found of at most the pixel's
// own m is the minimum, since every curve pixel left out is farther than m; the
// others are searched again with m doubled, up to the whole image.
class Recherche {
public:
    // Pixels j0..j1 of the line, all with the same first guess m of their
    // distance; the answer for column x goes to d2[2x + role].
    struct Troncon {
        int j0, j1;
        int role;
        long long m;
    };

    // The answers are squared distances, or -1 when the curve has no pixel.
    void cherche(Courbe &courbe, int r, std::vector<Troncon> &troncons, long long *d2)
    {
        if (courbe.vide()) {
            for (const Troncon &t : troncons)
                for (int x = t.j0; x <= t.j1; x++)
                    d2[2 * x + t.role] = -1;
            return;
        }
        const long long limite = static_cast<long long>(nb_lig) + nb_col;
        while (!troncons.empty()) {
            encore_.clear();
            std::size_t debut = 0;
            while (debut < troncons.size()) {
                // A group: runs whose bands overlap the band so far. A later run
                // with a wider band can reach further left.
                long long c0 = troncons[debut].j0 - troncons[debut].m;
                long long c1 = troncons[debut].j1 + troncons[debut].m;
                long long m = troncons[debut].m;
                std::size_t fin = debut + 1;
                while (fin < troncons.size() && troncons[fin].j0 - troncons[fin].m <= c1 + 1) {
                    c0 = std::min(c0, troncons[fin].j0 - troncons[fin].m);
                    c1 = std::max(c1, troncons[fin].j1 + troncons[fin].m);
                    m = std::max(m, troncons[fin].m);
                    fin++;
                }
                groupe(courbe, r, troncons, debut, fin, c0, c1, m >= limite ? -1 : m, d2);
                debut = fin;
            }
            for (Troncon &t : encore_)
                t.m = std::min(2 * t.m, limite);
            troncons.swap(encore_);
        }
    }

private:
    // hauteur < 0: no limit on lines (the whole image is searched).
    void groupe(Courbe &courbe, int r, const std::vector<Troncon> &troncons, std::size_t debut, std::size_t fin,
                long long c0, long long c1, long long hauteur, long long *d2)
    {
        const int premiere = static_cast<int>(std::max<long long>(0, c0));
        const int derniere = static_cast<int>(std::min<long long>(nb_col - 1, c1));
        env_.efface(troncons[debut].j0);
        for (int c = premiere; c <= derniere; c++) {
            if (!courbe.dans_colonne(c))
                continue;
            const long long g = courbe.vertical(c, r);
            if (hauteur < 0 || g <= hauteur)
                env_.ajoute(c, g * g);
        }
        for (std::size_t n = debut; n < fin; n++) {
            const Troncon &t = troncons[n];
            for (int x = t.j0; x <= t.j1; x++) {
                const long long d = env_.vide() ? -1 : env_.minimum(x);
                if (hauteur < 0 || (d >= 0 && d <= t.m * t.m)) {
                    d2[2 * x + t.role] = d; // proven, or everything was searched
                } else if (!encore_.empty() && encore_.back().j1 == x - 1 && encore_.back().role == t.role
                           && encore_.back().m == t.m) {
                    encore_.back().j1 = x;
                } else {
                    encore_.push_back({x, x, t.role, t.m});
                }
            }
        }
    }

    Enveloppe env_;
    std::vector<Troncon> encore_;
};

// sqrt in extended precision stored as a double, capped at the starting 99999.0;
// the roots of the small squared distances, by far the most common, are kept.
double distance_de(long long d2)
{
    static const std::vector<double> racines = [] {
        std::vector<double> r(1 << 16);
        for (std::size_t n = 0; n < r.size(); n++)
            r[n] = static_cast<double>(sqrtl(static_cast<long double>(n)));
        return r;
    }();
    if (d2 < 0)
        return 99999.0;
    if (d2 < static_cast<long long>(racines.size()))
        return racines[static_cast<std::size_t>(d2)];
    const double dist = static_cast<double>(sqrtl(static_cast<long double>(d2)));
    return dist < 99999.0 ? dist : 99999.0;
}

// The pixels of every altitude of the level table, line by line, as curves.
std::vector<Courbe> courbes_des_niveaux(std::vector<int> &courbe_inf, std::vector<int> &courbe_sup)
{
    std::unordered_map<int, int> numero;
    for (int k = 1; k <= nbplage; k++)
        for (int altitude : {mit[k], mat[k]})
            numero.emplace(altitude, static_cast<int>(numero.size()));
    courbe_inf.assign(static_cast<std::size_t>(nbplage) + 1, 0);
    courbe_sup.assign(static_cast<std::size_t>(nbplage) + 1, 0);
    for (int k = 1; k <= nbplage; k++) {
        courbe_inf[k] = numero[mit[k]];
        courbe_sup[k] = numero[mat[k]];
    }
    std::vector<std::vector<Pixel>> pixels(numero.size());
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            const int v = itab[i][j];
            if (v == VIDE)
                continue;
            const auto n = numero.find(v);
            if (n != numero.end())
                pixels[n->second].push_back({i, j});
        }
    std::vector<Courbe> courbes;
    for (const std::vector<Pixel> &p : pixels)
        courbes.emplace_back(p);
    return courbes;
}

struct Segment {
    int k, j0, j1; // zone code and first and last column of a run of it
};

// The zone pixels of line i get their altitudes. Each curve is searched once for
// all the pixels of the line that need it, the lower curve of one zone being the
// upper curve of the zone below.
void interpole_ligne(int i, std::vector<Courbe> &courbes, const std::vector<int> &courbe_inf,
                     const std::vector<int> &courbe_sup, std::vector<std::vector<Recherche::Troncon>> &requetes,
                     std::vector<long long> &d2, Recherche &recherche)
{
    std::vector<Segment> segments;
    const unsigned char *codes = tab[i];
    for (int j = 0; j < nb_col;) {
        const int k = codes[j];
        int fin = j;
        while (fin + 1 < nb_col && codes[fin + 1] == k)
            fin++;
        if (k >= 1 && k <= nbplage) {
            segments.push_back({k, j, fin});
            // The answers for column x: the lower curve's at 2x, the upper one's at 2x + 1.
            const long long m = fin - j + 3;
            requetes[courbe_inf[k]].push_back({j, fin, 0, m});
            requetes[courbe_sup[k]].push_back({j, fin, 1, m});
        }
        j = fin + 1;
    }
    for (std::size_t c = 0; c < courbes.size(); c++)
        if (!requetes[c].empty()) {
            recherche.cherche(courbes[c], i, requetes[c], d2.data());
            requetes[c].clear();
        }
    for (const Segment &s : segments)
        for (int x = s.j0; x <= s.j1; x++) {
            const int v = valeur_interpolee(mit[s.k], distance_de(d2[2 * x]), distance_de(d2[2 * x + 1]));
            itab1[i][x] = v;
            itab2[i][x] = v;
        }
}

} // namespace

void interpolation()
{
    for (int k = 1; k <= nbplage; k++) {
        std::printf("\n\n tratamiento en la zona codificada con el valor %d ", k);
        std::printf("\n y comprendida entre las curvas %d y %d ", mit[k], mat[k]);
        std::printf("\n\n");
        for (int i = 20; i < nb_lig; i += 20)
            std::printf("\t linea %d      \r ", i);
    }

    if (nbplage >= 1) {
        std::vector<int> courbe_inf, courbe_sup;
        std::vector<Courbe> courbes = courbes_des_niveaux(courbe_inf, courbe_sup);
        std::vector<std::vector<Recherche::Troncon>> requetes(courbes.size());
        std::vector<long long> d2(2 * static_cast<std::size_t>(nb_col));
        Recherche recherche;
        for (int i = 0; i < nb_lig; i++)
            interpole_ligne(i, courbes, courbe_inf, courbe_sup, requetes, d2, recherche);
    }
    for (int i = 0; i < nb_lig; i++)
        for (int j = 0; j < nb_col; j++) {
            if (tab[i][j] == 0)
                itab2[i][j] = itab[i][j];
            itab[i][j] = itab2[i][j];
        }
}

// ---------------------------------------------------------------------------
// Gap filling by dilation.
//
// dilatation repeats gonflette until a call fills nothing. One call dilates a copy
// of itab (itab2) until it has no gap, alternating the cross and the 3 x 3 block
// and starting with the cross; values found in a pass take effect from the next
// pass only. Then a pixel takes the rounded mean of its dilated value and its last
// strictly greater cross neighbour (above, left, right, below) into itab1, and only
// the pixels still empty in itab receive these values.
//
// Between two calls itab gains only the few pixels the last call filled, so the
// next dilation differs from the last one only around them. The calls after the
// first start from the last dilation and follow, pass by pass, only the pixels
// whose state (filled or not, and value) differs from the last call's at the same
// pass. Meanwhile itab1, which is scratch until the final averaging of the last
// call is written into it, holds the pass at which each pixel was filled (0 for
// pixels with an altitude in itab).

// (alt_prov + ival2) x 0.5 + 0.5, truncated. For an integer sum s that is exactly
// (s + 1) / 2, so integer division, which truncates toward zero, gives the same
// value without floating point. The sum is taken in 64 bits so that altitudes near
// the int limits cannot overflow it.
int moyenne_dilatation(int alt_prov, int ival2)
{
    const std::int64_t somme = static_cast<std::int64_t>(alt_prov) + ival2;
    return static_cast<int>((somme + 1) / 2);
}

namespace {

constexpr int JAMAIS = INT_MAX; // pass of a pixel that no pass fills

// The value of the final averaging pass at (i, j), or VIDE.
int moyenne_finale(int i, int j)
{
    const int ival2 = itab2[i][j];
    int ico = 0;
    int alt_prov = 0;
    for (const auto &d : CROIX) {
        const int k = i + d[0];
        const int l = j + d[1];
        if (dans_grille(k, l) && itab2[k][l] > ival2) {
            ico++;
            alt_prov = itab2[k][l];
        }
    }
    return ico > 0 ? moyenne_dilatation(alt_prov, ival2) : VIDE;
}

// The value pass t gives to (i, j): the smallest value among its neighbours of the
// pass filled before it (and at most 9999999), or VIDE when it has none.
template <std::size_t N>
int valeur_dilatee(int i, int j, int t, const int (&voisins)[N][2])
{
    int ico = 0;
    int alti = 9999999;
    for (const auto &d : voisins) {
        const int k = i + d[0];
        const int l = j + d[1];
        if (!dans_grille(k, l) || itab1[k][l] >= t)
            continue;
        ico++;
        alti = std::min(alti, itab2[k][l]);
    }
    return ico > 0 ? alti : VIDE;
}

int valeur_de_passe(int i, int j, int t)
{
    return t % 2 == 1 ? valeur_dilatee(i, j, t, CROIX) : valeur_dilatee(i, j, t, BLOC);
}

// Pixels not yet filled before pass t among the neighbours, for that pass, of
// the given pixels.
template <typename T>
void voisins_ouverts(const std::vector<T> &de, int t, std::vector<Pixel> &vers)
{
    const auto ajoute = [&](const auto &voisins) {
        for (const T &e : de)
            for (const auto &d : voisins) {
                const int k = e.p.i + d[0];
                const int l = e.p.j + d[1];
                if (dans_grille(k, l) && itab1[k][l] >= t)
                    vers.push_back({k, l});
            }
    };
    if (t % 2 == 1)
        ajoute(CROIX);
    else
        ajoute(BLOC);
}

struct Rempli {
    Pixel p;
};

// A pixel whose state differs from the last call's, with its state in that call.
struct Ecart {
    Pixel p;
    int passe, valeur;
};

class Dilatation {
public:
    // itab2 must equal itab.
    void iteration()
    {
        changes_.clear();
        if (premiere_)
            premiere_dilatation();
        else
            dilatation_suivante();
        premiere_ = false;

        // Only a pixel whose value or cross neighbour changed can get a new mean.
        std::vector<Pixel> remplis;
        modif = 0;
        for (const Pixel &c : changes_)
            for (int n = -1; n < 4; n++) {
                const int i = n < 0 ? c.i : c.i + CROIX[n][0];
                const int j = n < 0 ? c.j : c.j + CROIX[n][1];
                if (!dans_grille(i, j) || itab[i][j] != VIDE)
                    continue;
                const int v = moyenne_finale(i, j);
                if (v != VIDE) {
                    itab[i][j] = v;
                    remplis.push_back({i, j});
                    modif++;
                }
            }
        remplis_.swap(remplis);
    }

    // itab1 as the final averaging pass of the last call leaves it. Inside the
    // grid the last greater neighbour is picked without branches: the first
    // greater one in the reverse order below, right, left, above.
    static void moyenne_complete()
    {
        for (int i = 0; i < nb_lig; i++) {
            if (i == 0 || i == nb_lig - 1 || nb_col < 3) {
                for (int j = 0; j < nb_col; j++)
                    itab1[i][j] = moyenne_finale(i, j);
                continue;
            }
            const int *dessus = itab2[i - 1], *ligne = itab2[i], *dessous = itab2[i + 1];
            int *sortie = itab1[i];
            sortie[0] = moyenne_finale(i, 0);
            for (int j = 1; j < nb_col - 1; j++) {
                const int v = ligne[j];
                const bool b = dessous[j] > v, d = ligne[j + 1] > v, g = ligne[j - 1] > v, h = dessus[j] > v;
                const int alt = b ? dessous[j] : d ? ligne[j + 1] : g ? ligne[j - 1] : dessus[j];
                sortie[j] = (b | d | g | h) ? moyenne_dilatation(alt, v) : VIDE;
            }
            sortie[nb_col - 1] = moyenne_finale(i, nb_col - 1);
        }
    }

private:
    // A pixel empty at the start of pass t >= 2 with a neighbour of that pass
    // filled before touches a pixel filled in pass t - 1: otherwise an earlier pass
    // would have reached it. (A neighbour met only diagonally, filled earlier,
    // shares two cross neighbours with the pixel, and the pass after it filled
    // those.) The first pass looks at every empty pixel.
    void premiere_dilatation()
    {
        std::vector<Rempli> dernier;
        std::vector<Pixel> candidats;
        for (int i = 0; i < nb_lig; i++)
            for (int j = 0; j < nb_col; j++) {
                itab1[i][j] = itab[i][j] == VIDE ? JAMAIS : 0;
                if (itab[i][j] == VIDE)
                    candidats.push_back({i, j});
            }
        nb_pix_mod = 1;
        for (int t = 1; nb_pix_mod > 0; t++) {
            nb_pix_mod = 0;
            if (t > 1) {
                candidats.clear();
                voisins_ouverts(dernier, t, candidats);
            }
            // A pixel filled in this pass has pass t, which its neighbours of the
            // same pass do not count: the pass sees only what earlier ones filled.
            dernier.clear();
            for (const Pixel &p : candidats) {
                if (itab1[p.i][p.j] <= t) // filled already, or listed twice
                    continue;
                const int v = valeur_de_passe(p.i, p.j, t);
                if (v == VIDE)
                    continue;
                itab1[p.i][p.j] = t;
                itab2[p.i][p.j] = v;
                dernier.push_back({p});
                changes_.push_back(p);
                nb_pix_mod++;
            }
        }
    }

    // The pixels the last call filled now have an altitude from the start. A pixel
    // can end a pass differently from the last call only if a neighbour of that
    // pass ended the previous pass differently; pixels are only ever filled
    // earlier than before, never later.
    void dilatation_suivante()
    {
        std::vector<Ecart> ecarts, suivants;
        for (const Pixel &p : remplis_) {
            ecarts.push_back({p, itab1[p.i][p.j], itab2[p.i][p.j]});
            itab1[p.i][p.j] = 0;
            if (itab2[p.i][p.j] != itab[p.i][p.j])
                changes_.push_back(p);
            itab2[p.i][p.j] = itab[p.i][p.j];
        }
        std::vector<Pixel> candidats;
        for (int t = 1; !ecarts.empty(); t++) {
            candidats.clear();
            voisins_ouverts(ecarts, t, candidats);
            suivants.clear();
            for (const Pixel &p : candidats) {
                if (itab1[p.i][p.j] < t)
                    continue;
                const int v = valeur_de_passe(p.i, p.j, t);
                if (v == VIDE)
                    continue; // not filled in this pass, nor was it in the last call
                const int avant = itab1[p.i][p.j];
                const int valeur_avant = itab2[p.i][p.j];
                if (avant == t && valeur_avant == v)
                    continue; // filled as in the last call
                suivants.push_back({p, avant, valeur_avant});
                itab1[p.i][p.j] = t;
                if (valeur_avant != v)
                    changes_.push_back(p);
                itab2[p.i][p.j] = v;
            }
            // A pixel keeps differing while the last call had not filled it yet or
            // filled it with another value; it matters while it has neighbours
            // still to fill.
            for (const Ecart &e : ecarts)
                if ((e.passe > t || e.valeur != itab2[e.p.i][e.p.j]) && a_des_voisins_ouverts(e.p, t))
                    suivants.push_back(e);
            ecarts.swap(suivants);
        }
        nb_pix_mod = 0;
    }

    static bool a_des_voisins_ouverts(const Pixel &p, int t)
    {
        for (const auto &d : BLOC) {
            const int k = p.i + d[0];
            const int l = p.j + d[1];
            if (dans_grille(k, l) && itab1[k][l] > t)
                return true;
        }
        return false;
    }

    bool premiere_ = true;
    std::vector<Pixel> remplis_; // pixels the last write-back filled
    std::vector<Pixel> changes_; // pixels whose value in itab2 changed in this call
};

} // namespace

void gonflette()
{
    copie(itab, itab2);
    Dilatation d;
    d.iteration();
    Dilatation::moyenne_complete();
}

void dilatation()
{
    modif = 1;
    int lco = 0;
    std::printf("\n\n Tratamiento por dilatacion\n");
    copie(itab, itab2);
    Dilatation d;
    while (modif > 0) {
        if (lco > 0)
            std::printf("\n numero de puntos interpolados = %d ", modif);
        modif = 0;
        lco++;
        std::printf("\n\n Iteracion de Van der Gonff numero  %d \n", lco);
        d.iteration();
    }
    Dilatation::moyenne_complete();
}

// ---------------------------------------------------------------------------
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
// fills, which come later in the visiting order.

// tot / ico + 0.5 in extended precision, truncated; tot is a 64-bit sum.
int moyenne_croix(long long tot, int ico)
{
    return tronque_ld(static_cast<long double>(tot) / ico + 0.5L);
}

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

// One pass over the candidates (sorted in line order); the left and upper
// neighbours of its fills go to `suivants` for the next pass.
void passe_moyenne(const std::vector<Pixel> &candidats, std::vector<Pixel> &suivants)
{
    std::vector<int> colonnes, dessous, prochains;
    std::size_t n = 0;
    int i = candidats.empty() ? nb_lig : candidats.front().i;
    while (i < nb_lig) {
        colonnes.clear();
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
        const int suivante = n < candidats.size() ? candidats[n].i : nb_lig;
        i = dessous.empty() ? suivante : i + 1;
    }
}

} // namespace

void moyenne()
{
    std::vector<Pixel> candidats = pixels_vides();
    std::vector<Pixel> suivants;
    nb_pix_mod = 1;
    while (nb_pix_mod > 0) {
        nb_pix_mod = 0;
        suivants.clear();
        passe_moyenne(candidats, suivants);
        std::sort(suivants.begin(), suivants.end(), avant);
        suivants.erase(std::unique(suivants.begin(), suivants.end(), meme), suivants.end());
        candidats.swap(suivants);
    }
    copie(itab, itab1);
}

// ---------------------------------------------------------------------------
// Bezier-surface smoothing.
//
// Every pixel of itab1 becomes the value at that pixel of the degree-n Bezier patch
// whose control values are the (n + 1) x (n + 1) window of itab around it, clipped
// to stay inside the grid. Reads itab only, so the order of the pixels is free.

long double Fact(int n)
{
    if (n < 0)
        return 0;
    long double l = 1;
    for (int i = 2; i <= n; i++)
        l *= i;
    return l;
}

long Comb(int p, int n)
{
    return static_cast<long>(Fact(n) / (Fact(n - p) * Fact(p)) + 0.5L);
}

namespace {

// Weight i of the Bernstein polynomial of degree n at t (s = 1 - t), stored as a
// float. The end weights take a single power; the others first store
// s^(n-i) x Comb as a double, then multiply by t^i.
float poids(int i, int n, double t, double s, long combi)
{
    if (i == n)
        return static_cast<float>(static_cast<long double>(std::pow(t, n)) * combi);
    if (i == 0)
        return static_cast<float>(static_cast<long double>(std::pow(s, n)) * combi);
    const double partiel = static_cast<double>(static_cast<long double>(std::pow(s, n - i)) * combi);
    return static_cast<float>(static_cast<long double>(std::pow(t, i)) * partiel);
}

// The window of n + 1 cells around position p (a column or a line), moved inside
// 0..taille-1, and the n + 1 weights of its cells.
int fenetre(double p, int n, int taille, float *w)
{
    double entier;
    std::modf(p, &entier);
    int debut = static_cast<int>(entier - (n >> 1));
    int fin = debut + n;
    if (debut < 0) {
        debut = 0;
        fin = n;
    }
    if (fin >= taille) {
        fin = taille - 1;
        debut = fin - n;
    }
    const double frac = static_cast<double>(static_cast<long double>(p - debut) / (fin - debut));
    const double ifrac = static_cast<double>(1.0L - frac);
    for (int i = 0; i <= n; i++)
        w[i] = poids(i, n, frac, ifrac, Comb(i, n));
    return debut;
}

inline __attribute__((always_inline)) void sommes_corps(const int *ligne, int debut, int fin, const float *v, int n,
                                                        float *somme, unsigned char *douteux)
{
    for (int j = debut; j <= fin; j++) {
        somme[j] = 0;
        douteux[j] = 0;
    }
    for (int jj = 0; jj <= n; jj++) {
        const float vj = v[jj];
        const int *source = ligne + jj;
        for (int j = debut; j <= fin; j++) {
            bool doute;
            somme[j] = pas_somme(somme[j], static_cast<float>(source[j]), vj, doute);
            douteux[j] |= static_cast<unsigned char>(doute);
        }
    }
}

inline __attribute__((always_inline)) void resultat_corps(double *z, const float *somme, float u, int largeur,
                                                          unsigned char *douteux)
{
    for (int j = 0; j < largeur; j++) {
        bool doute;
        z[j] = pas_resultat(z[j], u, somme[j], doute);
        douteux[j] |= static_cast<unsigned char>(doute);
    }
}

__attribute__((target("avx2"))) void sommes_avx2(const int *l, int a, int b, const float *v, int n, float *s,
                                                 unsigned char *f)
{
    sommes_corps(l, a, b, v, n, s, f);
}
void sommes_base(const int *l, int a, int b, const float *v, int n, float *s, unsigned char *f)
{
    sommes_corps(l, a, b, v, n, s, f);
}
__attribute__((target("avx2"))) void resultat_avx2(double *z, const float *s, float u, int w, unsigned char *f)
{
    resultat_corps(z, s, u, w, f);
}
void resultat_base(double *z, const float *s, float u, int w, unsigned char *f)
{
    resultat_corps(z, s, u, w, f);
}

const bool AVX2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));

[[noreturn]] void memoire_lissage()
{
    std::printf("\n No hay memoria para la suavizacion\n");
    std::fflush(stdout);
    std::exit(1);
}

} // namespace

double InterpolePointSpline(double x, double y, int n)
{
    float **U = fmatrice(n + 1, 1);
    float **B = fmatrice(n + 1, n + 1);
    float **V = fmatrice(1, n + 1);
    float **M = fmatrice(1, n + 1);
    if (!U || !B || !V || !M)
        memoire_lissage();

    std::vector<float> v(static_cast<std::size_t>(n) + 1);
    const int byi = fenetre(y, n, nb_lig, U[0]);
    const int bxi = fenetre(x, n, nb_col, v.data());
    for (int j = 0; j <= n; j++)
        V[j][0] = v[j];
    for (int r = byi; r <= byi + n; r++)
        for (int q = bxi; q <= bxi + n; q++)
            B[r - byi][q - bxi] = static_cast<float>(itab[r][q]);
    for (int i = 0; i <= n; i++)
        for (int j = 0; j <= n; j++)
            M[i][0] = accumule(M[i][0], B[i][j], V[j][0]);
    double z = 0;
    for (int i = 0; i <= n; i++)
        z = accumule_z(z, U[0][i], M[i][0]);

    frfmatrice(U, 1);
    frfmatrice(B, n + 1);
    frfmatrice(V, n + 1);
    frfmatrice(M, n + 1);
    return z;
}

// z truncated toward zero; values beyond the int range (only near the int limits,
// where float control values round up) are held at the limit.
int tronque(double z)
{
    if (z >= 2147483647.0)
        return INT_MAX;
    if (z <= -2147483648.0)
        return INT_MIN;
    return static_cast<int>(z);
}

// The weights of a column depend on the column only, and all the columns whose
// window lies inside the grid share theirs (likewise for lines). The float sum of
// a window row times the column weights depends only on that row and the pixel's
// column: each is formed once, in the same order as for a single point, and kept
// while its row is in the window.
void lissage(int maille)
{
    const int n = maille;
    // A window of maille + 1 cells must fit in both directions.
    if (nb_lig < n + 1 || nb_col < n + 1) {
        std::printf("\n\n Suavizacion de tamano %d imposible: la imagen tiene menos de %d lineas o columnas \n",
                    maille, maille + 1);
        return;
    }
    std::printf("\n\n Suavizacion de tamano %d \n", maille);

    const int h = n >> 1;
    const std::size_t largeur = static_cast<std::size_t>(n) + 1;
    std::vector<int> bxi(static_cast<std::size_t>(nb_col));
    std::vector<float> V(static_cast<std::size_t>(nb_col) * largeur);
    for (int j = 0; j < nb_col; j++)
        bxi[j] = fenetre(j, n, nb_col, &V[j * largeur]);
    // Columns h .. nb_col - 2 - h have the window j - h .. j - h + n and the
    // weights of column h.
    const int premiere = h, derniere = nb_col - 2 - h;

    // Row sums of the lines in the current window, line r in slot r mod (n + 1).
    std::vector<float> sommes(largeur * static_cast<std::size_t>(nb_col));
    std::vector<unsigned char> douteux(static_cast<std::size_t>(nb_col));
    std::vector<double> z(static_cast<std::size_t>(nb_col));
    std::vector<float> U(largeur);
    const auto somme_exacte = [&](const int *ligne, int j) {
        float m = 0;
        for (int jj = 0; jj <= n; jj++)
            m = accumule(m, static_cast<float>(ligne[bxi[j] + jj]), V[j * largeur + jj]);
        return m;
    };
    int calculees = 0; // lines 0 .. calculees - 1 have had their sums formed
    for (int i = 0; i < nb_lig; i++) {
        if ((i + 1) % 20 == 0)
            std::printf("\n linea %d ", i + 1);
        const int byi = fenetre(i, n, nb_lig, U.data());
        for (; calculees <= byi + n; calculees++) {
            float *somme = &sommes[static_cast<std::size_t>(calculees % (n + 1)) * nb_col];
            const int *ligne = itab[calculees];
            if (premiere <= derniere) {
                (AVX2 ? sommes_avx2 : sommes_base)(ligne - h, premiere, derniere, &V[premiere * largeur], n, somme,
                                                   douteux.data());
                for (int j = premiere; j <= derniere; j++)
                    if (douteux[j])
                        somme[j] = somme_exacte(ligne, j);
            }
            for (int j = 0; j < nb_col; j++)
                if (j < premiere || j > derniere)
                    somme[j] = somme_exacte(ligne, j);
        }
        std::fill(z.begin(), z.end(), 0.0);
        std::fill(douteux.begin(), douteux.end(), 0);
        for (int ii = 0; ii <= n; ii++)
            (AVX2 ? resultat_avx2 : resultat_base)(
                z.data(), &sommes[static_cast<std::size_t>((byi + ii) % (n + 1)) * nb_col], U[ii], nb_col,
                douteux.data());
        for (int j = 0; j < nb_col; j++) {
            if (douteux[j]) {
                z[j] = 0;
                for (int ii = 0; ii <= n; ii++)
                    z[j] = accumule_z(z[j], U[ii], sommes[static_cast<std::size_t>((byi + ii) % (n + 1)) * nb_col + j]);
            }
            itab1[i][j] = tronque(z[j]);
        }
    }
}
