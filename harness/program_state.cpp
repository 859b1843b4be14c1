// The program-wide state for tests, fuzz targets and benchmark (program_state.h).
#include "program_state.h"

#include "nrutil.h"
#include "tolvane.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <sstream>

namespace harness {

namespace {

// The grids of the last allocate_grids.
struct OwnedGrids {
    Grille<unsigned char> tab;
    Grille<int> itab, itab1, itab2;
    Grille<unsigned short> itab3;
};
OwnedGrids owned;

std::size_t cells() { return static_cast<std::size_t>(nb_lig) * static_cast<std::size_t>(nb_col); }

template <typename T>
void copy_out(Grille<T> grid, std::vector<T> &out)
{
    out.resize(cells());
    for (int i = 0; i < nb_lig; i++)
        std::memcpy(&out[static_cast<std::size_t>(i) * nb_col], grid[i], sizeof(T) * static_cast<std::size_t>(nb_col));
}

template <typename T>
void copy_in(const std::vector<T> &in, Grille<T> grid)
{
    for (int i = 0; i < nb_lig; i++)
        std::memcpy(grid[i], &in[static_cast<std::size_t>(i) * nb_col], sizeof(T) * static_cast<std::size_t>(nb_col));
}

template <typename T>
std::string first_cell_difference(const char *grid, const std::vector<T> &a, const std::vector<T> &b, int columns,
                                  const char *name_a, const char *name_b)
{
    if (a.size() != b.size())
        return std::string(grid) + " differs in size";
    for (std::size_t n = 0; n < a.size(); n++)
        if (a[n] != b[n]) {
            std::ostringstream s;
            s << grid << " differs at row " << n / columns << ", column " << n % columns << ": " << name_a << " "
              << +a[n] << ", " << name_b << " " << +b[n];
            return s.str();
        }
    return "";
}

} // namespace

void allocate_grids(int rows, int columns)
{
    release_grids();
    nb_lig = rows;
    nb_col = columns;
    tab = owned.tab = grille<unsigned char>(columns, rows);
    itab = owned.itab = grille<int>(columns, rows);
    itab1 = owned.itab1 = grille<int>(columns, rows);
    itab2 = owned.itab2 = grille<int>(columns, rows);
    itab3 = owned.itab3 = grille<unsigned short>(columns, rows);
    if (!tab || !itab || !itab1 || !itab2 || !itab3) {
        release_grids();
        throw std::bad_alloc();
    }
}

void release_grids()
{
    if (tab == owned.tab)
        tab = nullptr;
    if (itab == owned.itab)
        itab = nullptr;
    if (itab1 == owned.itab1)
        itab1 = nullptr;
    if (itab2 == owned.itab2)
        itab2 = nullptr;
    if (itab3 == owned.itab3)
        itab3 = nullptr;
    frgrille(owned.tab);
    frgrille(owned.itab);
    frgrille(owned.itab1);
    frgrille(owned.itab2);
    frgrille(owned.itab3);
    owned = OwnedGrids();
}

void release_program_grids()
{
    if (owned.tab != nullptr && tab == owned.tab) {
        release_grids();
        return;
    }
    libere_grilles();
}

void put_cells(Grille<int> grid, const std::vector<int> &cells) { copy_in(cells, grid); }

std::vector<int> cells_of(Grille<int> grid)
{
    std::vector<int> out;
    copy_out(grid, out);
    return out;
}

ProgramState snapshot()
{
    ProgramState s;
    s.rows = nb_lig;
    s.columns = nb_col;
    copy_out(itab, s.itab);
    copy_out(itab1, s.itab1);
    copy_out(itab2, s.itab2);
    copy_out(tab, s.tab);
    if (itab3 != nullptr)
        copy_out(itab3, s.itab3);
    s.mit.assign(mit, mit + MAX_ZONES + 1);
    s.mat.assign(mat, mat + MAX_ZONES + 1);
    s.nbplage = nbplage;
    s.upper_value = upper_value;
    s.interval = interval;
    s.nb_pix_mod = nb_pix_mod;
    s.modif = modif;
    s.min_al = min_al;
    s.max_al = max_al;
    return s;
}

void restore(const ProgramState &s)
{
    copy_in(s.itab, itab);
    copy_in(s.itab1, itab1);
    copy_in(s.itab2, itab2);
    copy_in(s.tab, tab);
    if (itab3 != nullptr && !s.itab3.empty())
        copy_in(s.itab3, itab3);
    std::copy(s.mit.begin(), s.mit.end(), mit);
    std::copy(s.mat.begin(), s.mat.end(), mat);
    nbplage = s.nbplage;
    upper_value = s.upper_value;
    interval = s.interval;
    nb_pix_mod = s.nb_pix_mod;
    modif = s.modif;
    min_al = s.min_al;
    max_al = s.max_al;
}

std::string first_difference(const ProgramState &a, const ProgramState &b, const char *name_a, const char *name_b)
{
    std::ostringstream s;
    if (a.rows != b.rows || a.columns != b.columns) {
        s << "sizes differ: " << name_a << " " << a.rows << " x " << a.columns << ", " << name_b << " " << b.rows
          << " x " << b.columns;
        return s.str();
    }
    const int c = a.columns;
    for (const std::string &d : {first_cell_difference("itab", a.itab, b.itab, c, name_a, name_b),
                                 first_cell_difference("itab1", a.itab1, b.itab1, c, name_a, name_b),
                                 first_cell_difference("itab2", a.itab2, b.itab2, c, name_a, name_b),
                                 first_cell_difference("tab", a.tab, b.tab, c, name_a, name_b),
                                 first_cell_difference("itab3", a.itab3, b.itab3, c, name_a, name_b)})
        if (!d.empty())
            return d;
    const struct {
        const char *name;
        int a, b;
    } counters[] = {{"nbplage", a.nbplage, b.nbplage},       {"upper_value", a.upper_value, b.upper_value},
                    {"interval", a.interval, b.interval},    {"nb_pix_mod", a.nb_pix_mod, b.nb_pix_mod},
                    {"modif", a.modif, b.modif},             {"min_al", a.min_al, b.min_al},
                    {"max_al", a.max_al, b.max_al}};
    for (const auto &k : counters)
        if (k.a != k.b) {
            s << k.name << " differs: " << name_a << " " << k.a << ", " << name_b << " " << k.b;
            return s.str();
        }
    if (a.mit.size() != b.mit.size() || a.mat.size() != b.mat.size())
        return "level tables differ in size";
    for (std::size_t l = 0; l < a.mit.size() && l < a.mat.size(); l++)
        if (a.mit[l] != b.mit[l] || a.mat[l] != b.mat[l]) {
            s << "level table differs at zone " << l << ": " << name_a << " " << a.mit[l] << ".." << a.mat[l] << ", "
              << name_b << " " << b.mit[l] << ".." << b.mat[l];
            return s.str();
        }
    return "";
}

} // namespace harness
