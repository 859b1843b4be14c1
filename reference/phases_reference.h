// The plain phases, the oracle of the fast ones in src/phases/ (same names,
// namespace reference; one file per phase in reference/phases/).
//
// They are the straightforward versions: exhaustive nearest-contour search,
// whole-grid passes for the dilation and the averaging, a full window per pixel
// for the smoothing. They work on the same program-wide grids as the program and
// must give the same grids and the same console text, cell for cell and byte for
// byte. Reference code, not tests: do not speed it up.
//
// What is the same in both versions is written once and shared: rempli, Fact,
// Comb, poids, tronque, the accumulation steps of the smoothing (lissage_pas.h)
// and the neighbourhoods (voisinages.h). The single-pixel formulas that the fast
// phases compute another way are kept here in their plain form.
#ifndef PHASES_REFERENCE_H
#define PHASES_REFERENCE_H

namespace reference {

void plages(int nbplage);
void interpolation();
void dilatation();
void gonflette();
void moyenne();
void lissage(int maille);
double InterpolePointSpline(double x, double y, int n);
int valeur_interpolee(int bas, double distinf, double distsup);
int moyenne_dilatation(int alt_prov, int ival2);
int moyenne_croix(long long tot, int ico);

} // namespace reference

#endif
