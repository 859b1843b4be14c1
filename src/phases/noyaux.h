// Processor-specific kernels. Each gives exactly the result of the portable code
// it replaces, only faster; they exist where the compiler can build them (x86-64)
// and are used where the processor has the instructions. TOLVANE_GENERIC=1 in the
// environment forces the portable code everywhere (the tests run both).
#ifndef NOYAUX_H
#define NOYAUX_H

bool has_avx2();
bool has_sse3();

// Truncation of an extended value toward zero with one instruction (fisttp).
int tronque_sse3(long double v);
// sommes_corps and resultat_corps (lissage_pas.h) built for AVX2.
void sommes_avx2(const int *ligne, int debut, int fin, const float *v, int n, float *somme, unsigned char *douteux);
void resultat_avx2(double *z, const float *somme, float u, int largeur, unsigned char *douteux);

#endif
