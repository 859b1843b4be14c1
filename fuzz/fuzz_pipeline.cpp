// Fuzz target: the whole processing pipeline on a small contour image.
//
// Input layout (missing bytes read as 0):
//   byte 0        lines, 1..64
//   byte 1        columns, 1..64
//   byte 2        smoothing size: 1, 3, 5, 7 or 9
//   bytes 3..14   lower altitude, upper altitude, interval (little-endian int32)
//   then          one byte per cell, line after line; cells without a byte are empty
// Cell bytes: 0x00-0x7f the empty marker; 0x80-0xbf the contour lower + n x interval;
// 0xc0-0xfe a value from a table of awkward altitudes; 0xff the next four bytes as
// a raw int32. Altitude answers that the dialog would refuse are skipped, so every
// run starts from a state the dialog can hand over.
//
// Every phase runs twice from the same state, as the program runs it and as the
// plain version (reference/) runs it; the grids and counters they leave
// must be the same, or the target stops.
#include "phases_reference.h"
#include "program_state.h"
#include "tolvane.h"

#include <functional>
#include <vector>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

struct Lecteur {
    const std::uint8_t *data;
    std::size_t taille;
    std::size_t pos = 0;

    bool fini() const { return pos >= taille; }
    std::uint8_t octet() { return pos < taille ? data[pos++] : 0; }
    std::int32_t entier()
    {
        std::uint32_t v = 0;
        for (int b = 0; b < 4; b++)
            v |= static_cast<std::uint32_t>(octet()) << (8 * b);
        return static_cast<std::int32_t>(v);
    }
};

const int AWKWARD[] = {INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN + 1, 0, -1, 1,
                       VIDE - 1, VIDE + 1, 9999999, -VIDE, 1000000, -1000000, 655360,
                       -19, 2147483000, -2147483000};

int cellule(Lecteur &l, int bas, int intervalle)
{
    const std::uint8_t b = l.octet();
    if (b < 0x80)
        return VIDE;
    if (b < 0xc0)
        return static_cast<int>(static_cast<std::uint32_t>(bas)
                                + static_cast<std::uint32_t>(b - 0x80) * static_cast<std::uint32_t>(intervalle));
    if (b < 0xff)
        return AWKWARD[(b - 0xc0) % (sizeof AWKWARD / sizeof AWKWARD[0])];
    return l.entier();
}

// Runs the plain phase, then the program's from the same state; they must agree.
void compare(const std::function<void()> &plain, const std::function<void()> &rapide)
{
    const harness::ProgramState depart = harness::snapshot();
    plain();
    const harness::ProgramState attendu = harness::snapshot();
    harness::restore(depart);
    rapide();
    if (!harness::first_difference(attendu, harness::snapshot()).empty())
        __builtin_trap();
}

std::FILE *nul()
{
    std::FILE *f = std::fopen("/dev/null", "wb");
    if (f == nullptr)
        __builtin_trap();
    return f;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The phases report their progress on the console.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Lecteur l{data, size};
    const int lignes = l.octet() % 64 + 1;
    const int colonnes = l.octet() % 64 + 1;
    const int maille = 1 + 2 * (l.octet() % 5);
    const int bas = l.entier();
    const int haut = l.entier();
    const int intervalle = l.entier();
    if (intervalle == 0 || !refus_niveaux(bas, haut, intervalle).empty())
        return -1; // the dialog asks these again: not a state the phases can see
    mit[1] = bas;
    upper_value = haut;
    interval = intervalle;
    taille_pix = 1;

    harness::allocate_grids(lignes, colonnes);
    std::vector<int> image(static_cast<std::size_t>(lignes) * colonnes);
    for (int &cell : image)
        cell = cellule(l, bas, intervalle);

    table_niveaux();
    harness::put_cells(itab, image);
    compare([] { reference::plages(nbplage); }, [] { plages(nbplage); });
    harness::put_cells(itab, image);
    compare([] { reference::interpolation(); }, [] { interpolation(); });
    compare([] { reference::dilatation(); }, [] { dilatation(); });
    compare([] { reference::moyenne(); }, [] { moyenne(); });
    if (maille > 1)
        compare([maille] { reference::lissage(maille); }, [maille] { lissage(maille); });

    nomim2 = nomim3 = nomim4 = nomdescr2 = nomdescr3 = nomdescr4 = "/dev/null";
    f2 = nul();
    f3 = nul();
    f4 = nul();
    f2d = nul();
    f3d = nul();
    f4d = nul();
    sauvegarde(); // closes the six files

    harness::release_grids();
    return 0;
}
