// Distance interpolation.
//
// Reads itab (the contour image, except at the zone pixels, where labelling may
// have left zone codes: they count as empty), tab (zone codes) and the level table. Each
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
//
// Lines are independent: a line reads only tab, the curves gathered from itab
// beforehand, and its own cells, so bands of lines run on every thread, each
// thread with its own cursors in the curves.

#include "tolvane.h"

#include "console.h"
#include "thread_pool.h"
#include "voisinages.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace {

// Lines per band handed to a thread.
constexpr int BANDE_INTERPOLATION = 16;

// The pixels of one altitude, column by column, lines ascending in each column.
// Only the columns that hold a pixel are kept, so a curve costs memory in
// proportion to its pixels, whatever the width of the image.
class Courbe {
public:
    Courbe() = default;
    explicit Courbe(std::vector<Pixel> pixels)
    {
        // The pixels come line by line: a stable sort by column keeps the lines
        // ascending within each column.
        std::stable_sort(pixels.begin(), pixels.end(), [](const Pixel &a, const Pixel &b) { return a.j < b.j; });
        lignes_.reserve(pixels.size());
        for (const Pixel &p : pixels) {
            if (colonnes_.empty() || colonnes_.back() != p.j) {
                colonnes_.push_back(p.j);
                debut_.push_back(static_cast<int>(lignes_.size()));
            }
            lignes_.push_back(p.i);
        }
        debut_.push_back(static_cast<int>(lignes_.size()));
    }
    bool vide() const { return lignes_.empty(); }
    // The columns that hold a pixel, numbered n = 0, 1, ... in increasing order.
    std::size_t nb_colonnes() const { return colonnes_.size(); }
    int colonne(std::size_t n) const { return colonnes_[n]; }
    // The number of the first column at or after c.
    std::size_t premiere_colonne(int c) const
    {
        return static_cast<std::size_t>(std::lower_bound(colonnes_.begin(), colonnes_.end(), c) - colonnes_.begin());
    }
    // Per column number, the first pixel of the column: where a thread's cursors
    // start.
    void curseurs_initiaux(std::vector<int> &curseurs) const { curseurs.assign(debut_.begin(), debut_.end() - 1); }
    // Vertical distance from line r to the nearest pixel of column number n. The
    // lines a thread asks for never decrease, so each column keeps a cursor of
    // that thread: the first pixel at or below the last line asked.
    long long vertical(std::size_t n, int r, int *curseurs) const
    {
        int &k = curseurs[n];
        const int fin = debut_[n + 1];
        while (k < fin && lignes_[k] < r)
            k++;
        if (k == fin)
            return r - lignes_[k - 1];
        const long long dessous = lignes_[k] - r;
        return k > debut_[n] ? std::min<long long>(dessous, r - lignes_[k - 1]) : dessous;
    }

private:
    std::vector<int> colonnes_; // the columns that hold a pixel, ascending
    std::vector<int> debut_;    // per such column, its first pixel in lignes_; then the total
    std::vector<int> lignes_;   // line of each pixel
};

// A curve with one thread's cursors.
struct VueCourbe {
    const Courbe &courbe;
    int *curseurs;
    bool vide() const { return courbe.vide(); }
    std::size_t nb_colonnes() const { return courbe.nb_colonnes(); }
    int colonne(std::size_t n) const { return courbe.colonne(n); }
    std::size_t premiere_colonne(int c) const { return courbe.premiere_colonne(c); }
    long long vertical(std::size_t n, int r) const { return courbe.vertical(n, r, curseurs); }
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
    // distance; the answer for column x goes to d2[2(x - origine) + role].
    struct Troncon {
        int j0, j1;
        int role;
        long long m;
    };

    // The answers are squared distances, or -1 when the curve has no pixel.
    void cherche(const VueCourbe &courbe, int r, std::vector<Troncon> &troncons, int origine, long long *d2)
    {
        d2 -= 2 * static_cast<std::ptrdiff_t>(origine);
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
    void groupe(const VueCourbe &courbe, int r, const std::vector<Troncon> &troncons, std::size_t debut, std::size_t fin,
                long long c0, long long c1, long long hauteur, long long *d2)
    {
        const int premiere = static_cast<int>(std::max<long long>(0, c0));
        const int derniere = static_cast<int>(std::min<long long>(nb_col - 1, c1));
        env_.efface(troncons[debut].j0);
        for (std::size_t n = courbe.premiere_colonne(premiere); n < courbe.nb_colonnes(); n++) {
            const int c = courbe.colonne(n);
            if (c > derniere)
                break;
            const long long g = courbe.vertical(n, r);
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

// The pixels of every altitude of the level table, line by line, as curves. Zone
// pixels are no contour pixels, whatever labelling left in itab there.
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
    // Bands of lines gather their pixels on every thread; put together in line
    // order, each curve's pixels come line by line as from one scan.
    using Pixels = std::vector<std::vector<Pixel>>;
    std::vector<Pixels> bandes = resultats_par_bande<Pixels>([&numero](int debut, int fin) {
        Pixels pixels(numero.size());
        for (int i = debut; i < fin; i++)
            for (int j = 0; j < nb_col; j++) {
                const int v = itab[i][j];
                if (v == VIDE || tab[i][j] != 0)
                    continue;
                const auto n = numero.find(v);
                if (n != numero.end())
                    pixels[n->second].push_back({i, j});
            }
        return pixels;
    });
    Pixels pixels(numero.size());
    for (std::size_t c = 0; c < pixels.size(); c++)
        for (Pixels &b : bandes) {
            pixels[c].insert(pixels[c].end(), b[c].begin(), b[c].end());
            std::vector<Pixel>().swap(b[c]);
        }
    std::vector<Courbe> courbes(pixels.size());
    for_each_band(static_cast<int>(pixels.size()), 1, [&](int premiere, int fin, int) {
        for (int c = premiere; c < fin; c++)
            courbes[static_cast<std::size_t>(c)] = Courbe(std::move(pixels[static_cast<std::size_t>(c)]));
    });
    return courbes;
}

struct Segment {
    int k, j0, j1; // zone code and first and last column of a run of it
};

// The answers of at most this many columns are held at once, so that the memory
// of the search does not grow with the width of the image.
constexpr int FENETRE = 1 << 15;

// What a thread's lines reuse from one to the next.
struct Tampons {
    std::vector<std::vector<int>> curseurs;                // per curve, made at its first use
    std::vector<std::vector<Recherche::Troncon>> requetes; // per curve
    std::vector<std::size_t> demandees;                    // the curves with requests
    std::vector<Segment> segments;
    std::vector<long long> d2; // two answers per column of the window
    Recherche recherche;
};

// The zone pixels of columns c0..c1 of line i get their altitudes. Each curve is
// searched once for all the pixels that need it, the lower curve of one zone
// being the upper curve of the zone below. A run cut at the edge of the window is
// searched in two pieces: the distances, and so the values, are the same.
void interpole_fenetre(int i, int c0, int c1, const std::vector<Courbe> &courbes, const std::vector<int> &courbe_inf,
                       const std::vector<int> &courbe_sup, Tampons &t)
{
    t.segments.clear();
    const unsigned char *codes = tab[i];
    const auto demande = [&](int courbe, const Recherche::Troncon &troncon) {
        std::vector<Recherche::Troncon> &r = t.requetes[static_cast<std::size_t>(courbe)];
        if (r.empty())
            t.demandees.push_back(static_cast<std::size_t>(courbe));
        r.push_back(troncon);
    };
    for (int j = c0; j <= c1;) {
        const int k = codes[j];
        int fin = j;
        while (fin < c1 && codes[fin + 1] == k)
            fin++;
        if (k >= 1 && k <= nbplage) {
            t.segments.push_back({k, j, fin});
            // The answers for column x: the lower curve's first, then the upper one's.
            const long long m = fin - j + 3;
            demande(courbe_inf[k], {j, fin, 0, m});
            demande(courbe_sup[k], {j, fin, 1, m});
        }
        j = fin + 1;
    }
    for (std::size_t c : t.demandees) {
        std::vector<int> &curseurs = t.curseurs[c];
        if (curseurs.empty())
            courbes[c].curseurs_initiaux(curseurs);
        t.recherche.cherche({courbes[c], curseurs.data()}, i, t.requetes[c], c0, t.d2.data());
        t.requetes[c].clear();
    }
    t.demandees.clear();
    for (const Segment &s : t.segments)
        for (int x = s.j0; x <= s.j1; x++) {
            const std::size_t n = 2 * static_cast<std::size_t>(x - c0);
            const int v = valeur_interpolee(mit[s.k], distance_de(t.d2[n]), distance_de(t.d2[n + 1]));
            itab1[i][x] = v;
            itab2[i][x] = v;
        }
}

// The merged lines premiere..fin - 1: the input where the code is 0, the
// interpolated value elsewhere. The lines lie one after the other, so they are
// merged as one row of cells.
void fusionne_lignes(int premiere, int fin)
{
    const unsigned char *codes = tab[premiere];
    int *cellules = itab[premiere], *fusion = itab2[premiere];
    const std::size_t n = static_cast<std::size_t>(fin - premiere) * nb_col;
    for (std::size_t c = 0; c < n; c++) {
        if (codes[c] == 0)
            fusion[c] = cellules[c];
        cellules[c] = fusion[c];
    }
}

// The first line at or after i, before fin, that holds a zone code.
int ligne_avec_zone(int i, int fin)
{
    const unsigned char *debut = tab[i], *bout = tab[fin];
    const unsigned char *code = std::find_if(debut, bout, [](unsigned char k) { return k != 0; });
    return code == bout ? fin : i + static_cast<int>((code - debut) / nb_col);
}

} // namespace

void interpolation()
{
    for (int k = 1; k <= nbplage; k++) {
        console_printf("\n\n tratamiento en la zona codificada con el valor %d ", k);
        console_printf("\n y comprendida entre las curvas %d y %d ", mit[k], mat[k]);
        console_printf("\n\n");
        console_counted_lines("\t linea ", "      \r ", 20, nb_lig, 20);
    }

    const auto progres = [](int lignes) { report_progress(static_cast<double>(lignes) / nb_lig); };
    if (nbplage < 1) {
        for_each_band(nb_lig, band_lines(BANDE_INTERPOLATION, nb_col),
                      [](int premiere, int fin, int) { fusionne_lignes(premiere, fin); });
        return;
    }
    std::vector<int> courbe_inf, courbe_sup;
    const std::vector<Courbe> courbes = courbes_des_niveaux(courbe_inf, courbe_sup);
    distance_de(0); // the table of roots, before the threads share it
    std::vector<Tampons> tampons(static_cast<std::size_t>(thread_count()));
    for (Tampons &t : tampons) {
        t.curseurs.resize(courbes.size());
        t.requetes.resize(courbes.size());
        t.d2.resize(2 * static_cast<std::size_t>(std::min(nb_col, FENETRE)));
    }
    for_each_band(
        nb_lig, band_lines(BANDE_INTERPOLATION, nb_col),
        [&](int premiere, int fin, int fil) {
            Tampons &t = tampons[static_cast<std::size_t>(fil)];
            for (int i = premiere; i < fin;) {
                // Lines without a zone pixel have nothing to interpolate.
                const int zone = ligne_avec_zone(i, fin);
                if (zone > i) {
                    fusionne_lignes(i, zone);
                    i = zone;
                    continue;
                }
                for (int c0 = 0; c0 < nb_col; c0 += FENETRE)
                    interpole_fenetre(i, c0, std::min(nb_col, c0 + FENETRE) - 1, courbes, courbe_inf, courbe_sup, t);
                fusionne_lignes(i, i + 1);
                i++;
            }
        },
        progres);
}
