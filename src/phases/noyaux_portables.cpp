// Where no processor-specific kernel can be built, the portable code runs alone.
#include "noyaux.h"

#include <cstdlib>

bool has_avx2() { return false; }
bool has_sse3() { return false; }

// Never called: has_sse3() and has_avx2() say no.
int tronque_sse3(long double) { std::abort(); }
void sommes_avx2(const int *, int, int, const float *, int, float *, unsigned char *) { std::abort(); }
void resultat_avx2(double *, const float *, float, int, unsigned char *) { std::abort(); }
