// The two accumulation steps of the Bezier smoothing, exactly as extended
// precision rounds them, and their faster double-precision forms.
#ifndef LISSAGE_PAS_H
#define LISSAGE_PAS_H

#include <cmath>
#include <cstdint>
#include <cstring>

// A window row sum m + b x v, stored as a float, and the result z + u x m,
// stored as a double; both formed in extended precision.
inline float accumule(float m, float b, float v) { return static_cast<float>(m + static_cast<long double>(b) * v); }
inline double accumule_z(double z, float u, float m) { return static_cast<double>(z + static_cast<long double>(u) * m); }

// The same steps in double precision, which the compiler can spread over vector
// lanes. `doute` is set where double precision might round differently from
// extended precision; the caller then redoes the step as above. The product of
// two floats is exact in double, and so is the error e of a double sum d
// (two-sum): the exact sum is d + e.
//
// Row sum: rounding the exact sum to double and then to float gives the float
// nearest the exact sum, as extended precision does, unless the double lands
// exactly halfway between two floats (25 significant bits) while the double sum
// was not exact.
inline __attribute__((always_inline)) float pas_somme(float m, float b, float v, bool &doute)
{
    const double a = m;
    const double p = static_cast<double>(b) * v;
    const double d = a + p;
    const double pp = d - a;
    const double e = (a - (d - pp)) + (p - pp);
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    // Below 2^-100 a float has no full precision. (Signed compares vectorize.)
    const bool petit = static_cast<std::int64_t>(bits & 0x7FF0000000000000u) < (923LL << 52);
    doute = (((bits & 0x1FFFFFFFu) == 0x10000000u) | petit) & (e != 0);
    return static_cast<float>(d);
}

// Result: extended precision can round differently only when the exact sum lies
// within a hair of a point halfway between two doubles, but not on it. The gaps
// around d are one unit of its last place, or half a unit below a power of two.
inline __attribute__((always_inline)) double pas_resultat(double z, float u, float m, bool &doute)
{
    const double p = static_cast<double>(u) * m;
    const double d = z + p;
    const double pp = d - z;
    const double e = (z - (d - pp)) + (p - pp);
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    const std::uint64_t exposant = bits & 0x7FF0000000000000u;
    const std::uint64_t puissance = static_cast<std::uint64_t>((bits & 0x000FFFFFFFFFFFFFu) == 0) << 52;
    const std::uint64_t ecart_bits = exposant - (52ull << 52) - puissance;
    double ecart; // the smaller gap around d
    std::memcpy(&ecart, &ecart_bits, sizeof ecart);
    // 2|e| against the two possible gaps; the differences are exact when small.
    const double deux_e = 2 * std::fabs(e);
    const double pres1 = std::fabs(deux_e - ecart), pres2 = std::fabs(deux_e - 2 * ecart);
    const bool petit = static_cast<std::int64_t>(exposant) < (60LL << 52); // no tidy gap this close to zero
    doute = (e != 0) & (petit | ((pres1 != 0) & (pres1 <= ecart / 256)) | ((pres2 != 0) & (pres2 <= ecart / 128)));
    return d;
}

// The window row sums of one line for the pixels debut..fin (the window of
// pixel j starts at ligne[j]) and the step of the result for a whole line, in
// the double-precision forms above; `douteux` marks the pixels to redo. Written
// once, compiled for each processor the kernels are built for.
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

#endif
