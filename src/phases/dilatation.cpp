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
//
// Reads itab; writes itab1 and itab2 entirely (work grids) and itab at each pixel
// it fills; counts in modif and nb_pix_mod. Neighbours outside the grid are
// skipped: no border rule of its own.
#include "tolvane.h"

#include "console.h"
#include "voisinages.h"

#include <algorithm>
#include <climits>
#include <vector>

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

// The smallest value in itab2 among the neighbours of (i, j) that `compte`
// accepts (and at most 9999999), or VIDE when it accepts none.
template <std::size_t N, typename Compte>
int plus_petit_voisin(int i, int j, const int (&voisins)[N][2], Compte compte)
{
    int ico = 0;
    int alti = 9999999;
    for (const auto &d : voisins) {
        const int k = i + d[0];
        const int l = j + d[1];
        if (!dans_grille(k, l) || !compte(k, l))
            continue;
        ico++;
        alti = std::min(alti, itab2[k][l]);
    }
    return ico > 0 ? alti : VIDE;
}

// The value pass t gives to (i, j): the smallest value among its neighbours of the
// pass filled before it, or VIDE when it has none.
template <std::size_t N>
int valeur_dilatee(int i, int j, int t, const int (&voisins)[N][2])
{
    return plus_petit_voisin(i, j, voisins, [t](int k, int l) { return itab1[k][l] < t; });
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

// The pixel itself (n = -1) or its cross neighbour n.
Pixel voisin_ou_soi(const Pixel &c, int n)
{
    return n < 0 ? c : Pixel{c.i + CROIX[n][0], c.j + CROIX[n][1]};
}

// body(first, last, list) on bands of lines on every thread; the lists of the
// bands, put together in line order.
template <typename Body>
std::vector<Pixel> par_bandes(Body body)
{
    std::vector<std::vector<Pixel>> bandes = resultats_par_bande<std::vector<Pixel>>([&body](int debut, int fin) {
        std::vector<Pixel> liste;
        body(debut, fin, liste);
        return liste;
    });
    std::size_t total = 0;
    for (const auto &b : bandes)
        total += b.size();
    std::vector<Pixel> tout;
    tout.reserve(total);
    for (auto &b : bandes) {
        tout.insert(tout.end(), b.begin(), b.end());
        std::vector<Pixel>().swap(b);
    }
    return tout;
}

class Dilatation {
public:
    // itab2 must equal itab.
    void iteration()
    {
        changes_.clear();
        std::vector<Pixel> remplis;
        if (premiere_) {
            premiere_dilatation();
            remplis = moyennes_premiere_fois();
        } else {
            dilatation_suivante();
            remplis = moyennes_des_changes();
        }
        premiere_ = false;
        modif = static_cast<int>(remplis.size());
        remplis_.swap(remplis);
    }

    // itab1 as the final averaging pass of the last call leaves it. Inside the
    // grid the last greater neighbour is picked without branches: the first
    // greater one in the reverse order below, right, left, above.
    static void moyenne_complete()
    {
        for_each_band(nb_lig, BANDE_GRILLE, [](int debut, int fin, int) {
            for (int i = debut; i < fin; i++)
                moyenne_ligne(i);
        });
    }

private:
    // Line i of the final averaging: reads itab2 only, writes itab1.
    static void moyenne_ligne(int i)
    {
        if (i == 0 || i == nb_lig - 1 || nb_col < 3) {
            for (int j = 0; j < nb_col; j++)
                itab1[i][j] = moyenne_finale(i, j);
            return;
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

    // Only a pixel whose value or cross neighbour changed can get a new mean, and
    // it gets it once: the later visits find it filled.
    std::vector<Pixel> moyennes_des_changes() const
    {
        std::vector<Pixel> remplis;
        for (const Pixel &c : changes_)
            for (int n = -1; n < 4; n++) {
                const Pixel p = voisin_ou_soi(c, n);
                if (!dans_grille(p.i, p.j) || itab[p.i][p.j] != VIDE)
                    continue;
                const int v = moyenne_finale(p.i, p.j);
                if (v != VIDE) {
                    itab[p.i][p.j] = v;
                    remplis.push_back(p);
                }
            }
        return remplis;
    }

    // In the first call the pixels that changed are those the passes filled, the
    // ones of pass 1 .. JAMAIS - 1 in itab1, so they need no list. Which pixels
    // get a mean does not depend on the order of the visits (a mean reads itab2
    // alone, and a pixel is filled once; the order of the list of fills changes
    // only the order in which the next call follows them), so bands of lines fill
    // them on every thread and list them in line order.
    static std::vector<Pixel> moyennes_premiere_fois()
    {
        return par_bandes([](int debut, int fin, std::vector<Pixel> &remplis) {
            for (int i = debut; i < fin; i++)
                for (int j = 0; j < nb_col; j++) {
                    if (itab[i][j] != VIDE || !pres_d_un_remplissage(i, j))
                        continue;
                    const int v = moyenne_finale(i, j);
                    if (v != VIDE) {
                        itab[i][j] = v;
                        remplis.push_back({i, j});
                    }
                }
        });
    }

    // Whether (i, j) or a cross neighbour was filled by a pass of the first call.
    static bool pres_d_un_remplissage(int i, int j)
    {
        for (int n = -1; n < 4; n++) {
            const Pixel p = voisin_ou_soi({i, j}, n);
            if (dans_grille(p.i, p.j) && itab1[p.i][p.j] > 0 && itab1[p.i][p.j] < JAMAIS)
                return true;
        }
        return false;
    }

    // A pixel empty at the start of pass t >= 2 with a neighbour of that pass
    // filled before touches a pixel filled in pass t - 1: otherwise an earlier pass
    // would have reached it. (A neighbour met only diagonally, filled earlier,
    // shares two cross neighbours with the pixel, and the pass after it filled
    // those.) The first pass looks at every empty pixel.
    void premiere_dilatation()
    {
        std::vector<Rempli> dernier;
        std::vector<Pixel> candidats;
        premiere_passe(dernier);
        nb_pix_mod = static_cast<int>(dernier.size());
        for (int t = 2; nb_pix_mod > 0; t++) {
            nb_pix_mod = 0;
            // A pixel filled in this pass has pass t, which its neighbours of the
            // same pass do not count: the pass sees only what earlier ones filled.
            const auto essaie = [&](int i, int j) {
                if (itab1[i][j] <= t) // filled already, or listed twice
                    return;
                const int v = valeur_de_passe(i, j, t);
                if (v == VIDE)
                    return;
                itab1[i][j] = t;
                itab2[i][j] = v;
                dernier.push_back({{i, j}});
                nb_pix_mod++;
            };
            candidats.clear();
            voisins_ouverts(dernier, t, candidats);
            dernier.clear();
            for (const Pixel &p : candidats)
                essaie(p.i, p.j);
        }
    }

    // The first pass, on every thread: itab1 gets pass 0 where itab has an
    // altitude and JAMAIS elsewhere, then pass 1 where a cross neighbour has an
    // altitude. Pass 1 sees only pass 0, that is itab, which no band writes, so
    // the bands are independent; their fills are listed in line order.
    void premiere_passe(std::vector<Rempli> &dernier)
    {
        const std::vector<Pixel> remplis = par_bandes([](int debut, int fin, std::vector<Pixel> &liste) {
            for (int i = debut; i < fin; i++)
                for (int j = 0; j < nb_col; j++)
                    itab1[i][j] = itab[i][j] == VIDE ? JAMAIS : 0;
            for (int i = debut; i < fin; i++)
                for (int j = 0; j < nb_col; j++) {
                    if (itab[i][j] != VIDE)
                        continue;
                    const int v = valeur_premiere_passe(i, j);
                    if (v == VIDE)
                        continue;
                    itab1[i][j] = 1;
                    itab2[i][j] = v;
                    liste.push_back({i, j});
                }
        });
        dernier.reserve(remplis.size());
        for (const Pixel &p : remplis)
            dernier.push_back({p});
    }

    // valeur_dilatee for pass 1, from itab: the pixels of pass 0 are those with an
    // altitude, and their value in itab2 is still theirs.
    static int valeur_premiere_passe(int i, int j)
    {
        return plus_petit_voisin(i, j, CROIX, [](int k, int l) { return itab[k][l] != VIDE; });
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

// ---- Images of one line or of one column ----
//
// There the cross and the 3 x 3 block reach the same two cells, the one before
// and the one after in the block (left and right, or above and below), so every
// pass fills one more cell at each end of every run of empty cells, and a call's
// dilation has a closed form. A cell of a run between the cells p and q that
// hold an altitude takes the value of the nearer one, capped at 9999999 as a
// pass caps it, and the smaller of the two at equal distance; a run with one end
// at the border takes its other end's value; a run with neither (an image without
// altitude) stays empty. A cell gets a mean only if a neighbour is strictly
// greater in the dilation, that is next to the places where the dilated value
// changes: a few cells per run. A run where a call fills nothing keeps its ends,
// so no later call fills it either; each call after the first follows only the
// runs the previous one cut.
namespace lineaire {

constexpr int PLAFOND = 9999999; // the largest value a pass hands on

struct Troncon {
    int debut, fin; // first and last cell of a run of empty cells
};

bool une_dimension() { return nb_lig == 1 || nb_col == 1; }
int cellules() { return nb_lig * nb_col; } // one of them is 1

// Dilated value of cell x of the run t or of one of its two ends (a: itab's cells).
int dilatee(const int *a, int n, const Troncon &t, int x)
{
    if (x < t.debut || x > t.fin)
        return a[x];
    const bool avant = t.debut > 0, apres = t.fin < n - 1;
    const int p = t.debut - 1, q = t.fin + 1;
    if (!avant)
        return apres ? std::min(PLAFOND, a[q]) : VIDE;
    const int gauche = std::min(PLAFOND, a[p]);
    if (!apres)
        return gauche;
    const int droite = std::min(PLAFOND, a[q]);
    const long long ecart = 2LL * x - p - q; // below 0: nearer p
    return ecart < 0 ? gauche : ecart > 0 ? droite : std::min(gauche, droite);
}

// The final averaging at cell x from the dilated values of x and its two
// neighbours: the mean with the last strictly greater one (the one after wins).
int moyenne_de(int avant, bool a_avant, int v, int apres, bool a_apres)
{
    const bool g = a_avant && avant > v, d = a_apres && apres > v;
    return d ? moyenne_dilatation(apres, v) : g ? moyenne_dilatation(avant, v) : VIDE;
}

// Fills the cells of run t that get a mean (a[x] = mean), listing the runs of
// empty cells left between them in `restes`; returns how many it filled. The
// means are all found before any is written: they read the ends alone.
int remplit_troncon(int *a, int n, const Troncon &t, std::vector<Troncon> &restes)
{
    int candidats[8];
    int nc = 0;
    const auto ajoute = [&](int x) {
        if (x >= t.debut && x <= t.fin && (nc == 0 || candidats[nc - 1] < x))
            candidats[nc++] = x;
    };
    ajoute(t.debut);
    if (t.debut > 0 && t.fin < n - 1) { // where the nearer end changes
        const long long somme = static_cast<long long>(t.debut - 1) + t.fin + 1;
        for (long long x = somme / 2 - 1; x <= somme / 2 + 2; x++)
            ajoute(static_cast<int>(x));
    }
    ajoute(t.fin);
    int valeurs[8];
    for (int c = 0; c < nc; c++) {
        const int x = candidats[c];
        valeurs[c] = moyenne_de(x > 0 ? dilatee(a, n, t, x - 1) : 0, x > 0, dilatee(a, n, t, x),
                                x < n - 1 ? dilatee(a, n, t, x + 1) : 0, x < n - 1);
    }
    int remplis = 0, reste = t.debut;
    for (int c = 0; c < nc; c++) {
        if (valeurs[c] == VIDE)
            continue;
        const int x = candidats[c];
        a[x] = valeurs[c];
        remplis++;
        if (x > reste)
            restes.push_back({reste, x - 1});
        reste = x + 1;
    }
    if (remplis > 0 && reste <= t.fin)
        restes.push_back({reste, t.fin});
    return remplis;
}

// body(run) for every run of empty cells of a, in order.
template <typename Body>
void pour_chaque_troncon(const int *a, int n, Body body)
{
    int x = 0;
    while (x < n) {
        if (a[x] != VIDE) {
            x++;
            continue;
        }
        int fin = x;
        while (fin + 1 < n && a[fin + 1] == VIDE)
            fin++;
        body(Troncon{x, fin});
        x = fin + 1;
    }
}

// itab2 = the dilation of itab and itab1 = its final averaging, as a call leaves them.
void grilles_d_un_appel()
{
    const int n = cellules();
    const int *a = itab.cases();
    int *d = itab2.cases(), *m = itab1.cases();
    for (int x = 0; x < n; x++)
        d[x] = a[x];
    pour_chaque_troncon(a, n, [&](const Troncon &t) {
        for (int x = t.debut; x <= t.fin; x++)
            d[x] = dilatee(a, n, t, x);
    });
    for (int x = 0; x < n; x++)
        m[x] = moyenne_de(x > 0 ? d[x - 1] : 0, x > 0, d[x], x < n - 1 ? d[x + 1] : 0, x < n - 1);
}

// One call: the grids it leaves, and its fills written into itab.
void gonflette()
{
    grilles_d_un_appel();
    const int n = cellules();
    int *a = itab.cases();
    const int *m = itab1.cases();
    modif = 0;
    for (int x = 0; x < n; x++)
        if (a[x] == VIDE && m[x] != VIDE) {
            a[x] = m[x];
            modif++;
        }
    nb_pix_mod = 0;
}

// The calls of dilatation: the first looks at every run, the next ones at the
// runs the previous call cut. Only the last call's grids are written.
class Appels {
public:
    void iteration()
    {
        const int n = cellules();
        int *a = itab.cases();
        std::vector<Troncon> restes;
        int remplis = 0;
        if (premier_)
            pour_chaque_troncon(a, n, [&](const Troncon &t) { remplis += remplit_troncon(a, n, t, restes); });
        else
            for (const Troncon &t : troncons_)
                remplis += remplit_troncon(a, n, t, restes);
        premier_ = false;
        troncons_.swap(restes);
        modif = remplis;
        nb_pix_mod = 0;
    }

private:
    bool premier_ = true;
    std::vector<Troncon> troncons_;
};

} // namespace lineaire

} // namespace

void gonflette()
{
    if (lineaire::une_dimension()) {
        lineaire::gonflette();
        return;
    }
    copie(itab, itab2);
    Dilatation d;
    d.iteration();
    Dilatation::moyenne_complete();
}

void dilatation()
{
    modif = 1;
    int lco = 0;
    console_printf("\n\n Tratamiento por dilatacion\n");
    const bool une_dimension = lineaire::une_dimension();
    if (!une_dimension)
        copie(itab, itab2);
    Dilatation d;
    lineaire::Appels appels;
    while (modif > 0) {
        if (lco > 0)
            console_printf("\n numero de puntos interpolados = %d ", modif);
        modif = 0;
        lco++;
        console_printf("\n\n Iteracion de Van der Gonff numero  %d \n", lco);
        if (une_dimension)
            appels.iteration();
        else
            d.iteration();
    }
    if (une_dimension)
        lineaire::grilles_d_un_appel(); // the last call filled nothing: itab is its input
    else
        Dilatation::moyenne_complete();
}
