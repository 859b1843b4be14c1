#include "nrutil.h"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>

namespace {

// Every block comes from calloc or from a fresh anonymous mapping, so a new
// matrix or vector is all bits zero without a separate clearing pass.
template <typename T>
T *vecteur(int NbCol)
{
    if (NbCol <= 0)
        return nullptr;
    return static_cast<T *>(std::calloc(static_cast<std::size_t>(NbCol), sizeof(T)));
}

// A matrix is one block: a header, the line pointers, then the lines one after
// the other, so that a grid of many short lines costs one allocation and no more
// than one of few long ones. Blocks of at least BIG_BLOCK bytes are mapped on
// their own: the kernel hands the pages over zero-filled as the phases first
// touch them, mostly on every thread, and takes them back whole when the grid
// is freed. They are not touched beforehand, so that a grid first written late
// (the 2-byte image) adds to the peak memory only once the phases' own lists
// are gone. They are left on small pages: a virtual machine whose host takes
// back the guest's free memory fetches every fresh huge page from the host,
// which made a run of 10 million cells spend 2 s more in the kernel, for a
// saving of about half a millisecond per 2 MiB where the pages are the
// machine's own.
constexpr std::size_t BIG_BLOCK = std::size_t{1} << 21;
constexpr std::size_t SMALL_PAGE = 4096;

struct Header {
    void *block;        // what to give back
    std::size_t mapped; // bytes mapped, or 0 when the block came from calloc
};

// The blocks from calloc that are in use. A matrix is known by its line
// pointers, inside its block: kept here, each block's start stays in sight of a
// leak checker (the dialog's grids live until the process ends, by design).
std::mutex blocks_in_use_mutex;
std::set<void *> &blocks_in_use()
{
    static auto *blocks = new std::set<void *>;
    return *blocks;
}

void *calloc_kept(std::size_t bytes)
{
    void *block = std::calloc(bytes, 1);
    if (block != nullptr) {
        const std::lock_guard<std::mutex> lock(blocks_in_use_mutex);
        blocks_in_use().insert(block);
    }
    return block;
}

void free_kept(void *block)
{
    {
        const std::lock_guard<std::mutex> lock(blocks_in_use_mutex);
        blocks_in_use().erase(block);
    }
    std::free(block);
}

// Bytes from the start of the block to the first line: the header and the line
// pointers, rounded up to a cache line.
template <typename T>
std::size_t first_line_offset(std::size_t lines)
{
    const std::size_t head = sizeof(Header) + lines * sizeof(T *);
    return (head + 63) / 64 * 64;
}

void *map_zeroed(std::size_t bytes, std::size_t &mapped)
{
    const std::size_t rounded = (bytes + SMALL_PAGE - 1) / SMALL_PAGE * SMALL_PAGE;
    void *p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    mapped = rounded;
    return p;
}

template <typename T>
void frmatrice(T **Mat, int)
{
    if (Mat == nullptr)
        return;
    const Header *h = reinterpret_cast<const Header *>(Mat) - 1;
    if (h->mapped > 0)
        munmap(h->block, h->mapped);
    else
        free_kept(h->block);
}

template <typename T>
T **matrice(int NbCol, int NbLig)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    const std::size_t lignes = static_cast<std::size_t>(NbLig), colonnes = static_cast<std::size_t>(NbCol);
    const std::size_t debut = first_line_offset<T>(lignes);
    if (colonnes > (SIZE_MAX - debut - SMALL_PAGE) / sizeof(T) / lignes)
        return nullptr;
    const std::size_t octets = debut + lignes * colonnes * sizeof(T);
    std::size_t mapped = 0;
    void *block = octets >= BIG_BLOCK ? map_zeroed(octets, mapped) : calloc_kept(octets);
    if (block == nullptr)
        return nullptr;
    auto *h = static_cast<Header *>(block);
    *h = {block, mapped};
    T **Mat = reinterpret_cast<T **>(h + 1);
    T *bloc = reinterpret_cast<T *>(static_cast<char *>(block) + debut);
    for (std::size_t i = 0; i < lignes; i++)
        Mat[i] = bloc + i * colonnes;
    return Mat;
}

// A grid's block: the header, rounded up to a cache line, then the cells.
constexpr std::size_t DEBUT_DES_CASES = (sizeof(Header) + 63) / 64 * 64;

} // namespace

void *bloc_de_grille(int NbCol, int NbLig, std::size_t taille)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    const std::size_t lignes = static_cast<std::size_t>(NbLig), colonnes = static_cast<std::size_t>(NbCol);
    if (colonnes > (SIZE_MAX - DEBUT_DES_CASES - SMALL_PAGE) / taille / lignes)
        return nullptr;
    const std::size_t octets = DEBUT_DES_CASES + lignes * colonnes * taille;
    std::size_t mapped = 0;
    void *block = octets >= BIG_BLOCK ? map_zeroed(octets, mapped) : calloc_kept(octets);
    if (block == nullptr)
        return nullptr;
    *static_cast<Header *>(block) = {block, mapped};
    return static_cast<char *>(block) + DEBUT_DES_CASES;
}

void libere_bloc_de_grille(void *cases)
{
    if (cases == nullptr)
        return;
    const Header *h = reinterpret_cast<const Header *>(static_cast<char *>(cases) - DEBUT_DES_CASES);
    if (h->mapped > 0)
        munmap(h->block, h->mapped);
    else
        free_kept(h->block);
}

float **fmatrice(int NbCol, int NbLig) { return matrice<float>(NbCol, NbLig); }
void frfmatrice(float **Mat, int NbLig) { frmatrice(Mat, NbLig); }
float *fvecteur(int NbCol) { return vecteur<float>(NbCol); }
void frfvecteur(float *Mat) { std::free(Mat); }

unsigned char **ucmatrice(int NbCol, int NbLig) { return matrice<unsigned char>(NbCol, NbLig); }
void frucmatrice(unsigned char **Mat, int NbLig) { frmatrice(Mat, NbLig); }
unsigned char *ucvecteur(int NbCol) { return vecteur<unsigned char>(NbCol); }
void frucvecteur(unsigned char *Mat) { std::free(Mat); }

unsigned short **usmatrice(int NbCol, int NbLig) { return matrice<unsigned short>(NbCol, NbLig); }
void frusmatrice(unsigned short **Mat, int NbLig) { frmatrice(Mat, NbLig); }
unsigned short *usvecteur(int NbCol) { return vecteur<unsigned short>(NbCol); }
void frusvecteur(unsigned short *Mat) { std::free(Mat); }

short **smatrice(int NbCol, int NbLig) { return matrice<short>(NbCol, NbLig); }
void frsmatrice(short **Mat, int NbLig) { frmatrice(Mat, NbLig); }
short *svecteur(int NbCol) { return vecteur<short>(NbCol); }
void frsvecteur(short *Mat) { std::free(Mat); }

int **imatrice(int NbCol, int NbLig) { return matrice<int>(NbCol, NbLig); }
void frimatrice(int **Mat, int NbLig) { frmatrice(Mat, NbLig); }
int *ivecteur(int NbCol) { return vecteur<int>(NbCol); }
void frivecteur(int *Mat) { std::free(Mat); }

double **dmatrice(int NbCol, int NbLig) { return matrice<double>(NbCol, NbLig); }
void frdmatrice(double **Mat, int NbLig) { frmatrice(Mat, NbLig); }
double *dvecteur(int NbCol) { return vecteur<double>(NbCol); }
void frdvecteur(double *Mat) { std::free(Mat); }

long double **ldmatrice(int NbCol, int NbLig) { return matrice<long double>(NbCol, NbLig); }
void frldmatrice(long double **Mat, int NbLig) { frmatrice(Mat, NbLig); }
