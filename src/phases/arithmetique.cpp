// The arithmetic of single pixels, where the order of the operations and the
// extended precision decide the last unit. The fast phases and the plain ones
// share it.
#include "tolvane.h"

#include "noyaux.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

// Intermediate values are formed in the x87 extended format (64-bit significand).
static_assert(std::numeric_limits<long double>::digits == 64, "long double must be the x87 80-bit extended type");

namespace {

// The nearest double, truncated by SSE2, is off by at most one; exact comparisons
// put it right.
int tronque_portable(long double v)
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

} // namespace

// A plain conversion of an extended value makes the x87 unit switch its rounding
// mode twice, which costs more than the rest of the arithmetic of a pixel.
int tronque_ld(long double v) { return has_sse3() ? tronque_sse3(v) : tronque_portable(v); }

// interval / distot first, then times distinf, then plus the lower contour. The
// same formula in double precision lies within e of the extended result, where e
// is far below a unit for any int altitudes; unless it falls within e of a whole
// number, both truncate to the same value, and the slower extended arithmetic is
// kept for those few pixels.
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

// (alt_prov + ival2) x 0.5 + 0.5, truncated. For an integer sum s that is exactly
// (s + 1) / 2, so integer division, which truncates toward zero, gives the same
// value without floating point. The sum is taken in 64 bits so that altitudes near
// the int limits cannot overflow it.
int moyenne_dilatation(int alt_prov, int ival2)
{
    const std::int64_t somme = static_cast<std::int64_t>(alt_prov) + ival2;
    return static_cast<int>((somme + 1) / 2);
}

// tot / ico + 0.5 in extended precision, truncated; tot is a 64-bit sum. For the
// mean of 1 to 4 cross neighbours (ints, so |tot| <= 2^33) that is
// (2 tot + ico) / (2 ico) truncated toward zero, which integer division gives:
// dividing by 1, 2 or 4 and adding a half are exact in extended precision, and a
// third plus a half lies at least a sixth away from a whole number, far beyond
// the rounding of the quotient.
int moyenne_croix(long long tot, int ico)
{
    if (ico >= 1 && ico <= 4 && tot >= static_cast<long long>(ico) * INT_MIN
        && tot <= static_cast<long long>(ico) * INT_MAX)
        return static_cast<int>((2 * tot + ico) / (2 * ico));
    return tronque_ld(static_cast<long double>(tot) / ico + 0.5L);
}

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
