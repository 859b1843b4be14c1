// The kernels built for x86-64 processors with SSE3 and AVX2 (see noyaux.h).
#include "noyaux.h"

#include "lissage_pas.h"

#include <cstdlib>
#include <cstring>

namespace {

bool generic_forced()
{
    const char *v = std::getenv("TOLVANE_GENERIC");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

bool supports(bool avx2)
{
    __builtin_cpu_init();
    return avx2 ? __builtin_cpu_supports("avx2") : __builtin_cpu_supports("sse3");
}

} // namespace

bool has_avx2()
{
    static const bool yes = !generic_forced() && supports(true);
    return yes;
}

bool has_sse3()
{
    static const bool yes = !generic_forced() && supports(false);
    return yes;
}

__attribute__((target("sse3"))) int tronque_sse3(long double v) { return static_cast<int>(v); }

__attribute__((target("avx2"))) void sommes_avx2(const int *l, int a, int b, const float *v, int n, float *s,
                                                 unsigned char *f)
{
    sommes_corps(l, a, b, v, n, s, f);
}

__attribute__((target("avx2"))) void resultat_avx2(double *z, const float *s, float u, int w, unsigned char *f)
{
    resultat_corps(z, s, u, w, f);
}
