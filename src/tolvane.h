// Program-wide state of tolvane and the functions of its phases.
//
// The phases talk to each other only through the grids, the level table and
// the counters declared here. Every grid has nb_lig lines of nb_col cells and is
// addressed [line][column]. In the int grids the value VIDE (10000000) marks a
// pixel without altitude; in tab the zone code 0 marks a pixel in no zone.
#ifndef TOLVANE_H
#define TOLVANE_H

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "nrutil.h"

// Empty marker of the int grids: the pixel holds no altitude.
constexpr int VIDE = 10000000;

// The level table holds zones 1..254; index 0 is never used.
constexpr int MAX_ZONES = 254;
// The largest altitude, either way, of a level or a contour pixel: the empty
// marker VIDE lies beyond it, and so does the cap of the dilation's passes.
constexpr int MAX_ALTITUDE = 9999999;

// Geometry, set by the dialog (ouverture) from the input descriptor or the operator.
extern int nb_lig;     // lines (rows) of every grid and image
extern int nb_col;     // columns of every grid and image
extern int taille_pix; // pixel size, copied to the last line of every output descriptor
extern int val;        // bytes per pixel of the descriptor being written

// Files opened by ouverture: f1 the input image (read twice by lecture), f2/f3/f4 the
// 1-, 2- and 4-byte output images and f2d/f3d/f4d their descriptors (completed and
// closed by sauvegarde).
extern std::FILE *f1, *f2, *f3, *f4, *f2d, *f3d, *f4d;

// Console paths (Windows syntax) of the input image and of the six outputs, kept so
// that a failed read or write can name its file.
extern std::string nomim1, nomim2, nomim3, nomim4, nomdescr2, nomdescr3, nomdescr4;

// Grids, allocated zero-filled by ouverture and never released. Each is one
// block, line after line (nrutil.h), so a run of lines is a run of cells.
extern Grille<unsigned char> tab;   // zone codes (plages; read by interpolation), then the 1-byte image
extern Grille<int> itab;            // contour image; from interpolation on, the working altitude grid
extern Grille<int> itab1;           // zone results, dilation scratch, then the final grid written out
extern Grille<int> itab2;           // gathered zone results, dilation scratch
extern Grille<unsigned short> itab3; // the 2-byte image (sauvegarde)
// Gives back whichever of the five grids exist (nb_lig lines) and leaves them null;
// the dialog never does, the library and the tests do after each run.
void libere_grilles();

// Level table, built by table_niveaux: zone k lies between the contours mit[k] and
// mat[k] = mit[k] + interval, for k = 1..nbplage.
extern int mit[MAX_ZONES + 1];
extern int mat[MAX_ZONES + 1];
extern int nbplage;     // number of zones (0 or less: none)
extern int upper_value; // upper altitude given by the operator
extern int interval;    // contour interval given by the operator (never 0)

// Change counters: nb_pix_mod counts the fills of one pass (gonflette, moyenne),
// modif the pixels of itab filled by one gonflette call.
extern int nb_pix_mod;
extern int modif;

// Extremes of the final grid, found by sauvegarde.
extern int min_al;
extern int max_al;

// ---- Dialog and input (files.cpp), output (output.cpp) ----

// Banner, file dialog, input descriptor or size questions, output names, creation of
// the six output files with their descriptor heads, allocation of the five grids.
void ouverture();
// The three altitude questions: mit[1], upper_value and interval, refused and asked
// again while they give a zero interval, more than 254 zones or levels outside int.
void questions_altitudes();
// The smoothing-size question, asked until the answer is an odd number of at most 9.
int question_maille();
// Reads the whole input image from the current position of f1 into itab.
void lecture();
// Ends the run when the image as read holds no altitude at all, or one beyond
// MAX_ALTITUDE either way.
struct LevelReport;
void refuse_empty_image(const LevelReport &report);
// The notices "Aviso: ..." about contour pixels off the levels, levels no pixel
// holds and a run without zones (`labelled`: pixels the labelling put in a zone).
void warn_about_levels(const LevelReport &report, long long labelled);
// Removes the temporary outputs and ends the run with exit status 1.
[[noreturn]] void termine();
// Extremes, the 1-, 2- and 4-byte images of itab1 and the descriptor tails; closes
// every output file.
void sauvegarde();

// Helpers of the dialog, exposed for the tests.
std::string chemin_hote(const std::string &chemin);
bool entier_de(const std::string &mot, int &valeur);
int lire_descripteur(const std::string &texte, int valeurs[6]);
const char *refus_maille(int maille);
std::string refus_niveaux(int inferieur, int superieur, int intervalle);
// Names the file and ends the run with exit status 1 unless the write went well.
void verifie_ecriture(bool ok, const std::string &chemin);
// A failure of the phases, in the dialog's words; the run ends with exit status 1.
[[noreturn]] void termine_par_erreur(const std::exception &e);

// ---- Level table (niveaux.cpp) ----

// nbplage, mit and mat from mit[1], upper_value and interval.
void table_niveaux();
// Whether three altitude answers make a level table: the interval is not 0, at
// most 254 zones, every level and the difference of the two altitudes fit in
// int, and every level lies within MAX_ALTITUDE either way (beyond_marker). The
// dialog asks again, the library refuses.
struct LevelCheck {
    enum Problem { none, zero_interval, too_many_zones, out_of_range, beyond_marker } problem = none;
    long long zones = 0;
};
LevelCheck check_levels(long long lowest, long long highest, long long interval);

// ---- Processing phases (src/phases/, one file each), run by main in this order.
// Each phase file states what the phase reads and leaves, and its border rules.
// Zone codes into tab (and into itab) for every pixel between two contours.
void plages(int nbplage);
void rempli(int ilig, int jcol, int ival2);
// Zone pixels whose run a contour of another level stopped (1 in mask, if any);
// notice. Like the interpolation, it reads itab only where the zone code is 0.
long long leaks(std::uint8_t *mask);
// Zone pixels interpolated between their two contours; itab = the merged grid. Only
// the pixels of zone code 0 are read from itab, so the codes labelling wrote there
// need not be taken out again.
void interpolation();
// Van der Gonff iterations, each one call of gonflette, until one fills nothing.
void dilatation();
void gonflette();
// Last gaps from their cross neighbours; then itab1 = itab.
void moyenne();
// Bezier patch of size maille (> 1) of itab into itab1.
void lissage(int maille);
double InterpolePointSpline(double x, double y, int n);

// The arithmetic of single pixels (arithmetique.cpp), shared by the fast and the
// plain phases.
long double Fact(int n);
long Comb(int p, int n);
float poids(int i, int n, double t, double s, long combi);
int valeur_interpolee(int bas, double distinf, double distsup);
int moyenne_dilatation(int alt_prov, int ival2);
int moyenne_croix(long long tot, int ico);
int tronque(double z);
// Truncation toward zero of an extended value within the int range.
int tronque_ld(long double v);

#endif
