// The plain phases, the oracle of the fast ones (same names, namespace reference).
#ifndef PHASES_REFERENCE_H
#define PHASES_REFERENCE_H

namespace reference {

void plages(int nbplage);
void rempli(int ilig, int jcol, int ival2);
void interpolation();
void dilatation();
void gonflette();
void moyenne();
void lissage(int maille);
long double Fact(int n);
long Comb(int p, int n);
double InterpolePointSpline(double x, double y, int n);
int valeur_interpolee(int bas, double distinf, double distsup);
int moyenne_dilatation(int alt_prov, int ival2);
int moyenne_croix(long long tot, int ico);
int tronque(double z);

} // namespace reference

#endif
