// Matrix and vector allocation, one allocator per element type.
//
// A matrix is an array of NbLig line pointers, each to a zero-filled line of
// NbCol elements, addressed m[line][column]; the pointers and the lines lie in
// a single block, large ones mapped on their own. Allocators take the number of
// columns first, then the number of lines. An allocator returns null when a
// size is zero or less or when a block cannot be had; it never hands back a
// partly built matrix.
#ifndef NRUTIL_H
#define NRUTIL_H

#include <cstddef>

float **fmatrice(int NbCol, int NbLig);
void frfmatrice(float **Mat, int NbLig);
float *fvecteur(int NbCol);
void frfvecteur(float *Mat);

unsigned char **ucmatrice(int NbCol, int NbLig);
void frucmatrice(unsigned char **Mat, int NbLig);
unsigned char *ucvecteur(int NbCol);
void frucvecteur(unsigned char *Mat);

unsigned short **usmatrice(int NbCol, int NbLig);
void frusmatrice(unsigned short **Mat, int NbLig);
unsigned short *usvecteur(int NbCol);
void frusvecteur(unsigned short *Mat);

short **smatrice(int NbCol, int NbLig);
void frsmatrice(short **Mat, int NbLig);
short *svecteur(int NbCol);
void frsvecteur(short *Mat);

int **imatrice(int NbCol, int NbLig);
void frimatrice(int **Mat, int NbLig);
int *ivecteur(int NbCol);
void frivecteur(int *Mat);

double **dmatrice(int NbCol, int NbLig);
void frdmatrice(double **Mat, int NbLig);
double *dvecteur(int NbCol);
void frdvecteur(double *Mat);

long double **ldmatrice(int NbCol, int NbLig);
void frldmatrice(long double **Mat, int NbLig);

// A grid: NbLig lines of NbCol zero-filled elements in a single block, one line
// after the other with no gap, addressed g[line][column]. A line's address is
// worked out from its number, so an image of millions of lines of one column
// costs no table of line addresses beside its cells. Large blocks are mapped on
// their own, as the matrices are. An empty grid (null) is what the allocators
// return when a size is zero or less or the block cannot be had.
template <typename T>
class Grille {
public:
    Grille() = default;
    Grille(std::nullptr_t) {}
    // A view of cells that belong to someone else: never given to frgrille.
    Grille(T *cases, int NbCol) : cases_(cases), colonnes_(cases ? NbCol : 0) {}
    T *operator[](std::ptrdiff_t ligne) const { return cases_ + ligne * colonnes_; }
    // The first cell; the lines follow it one after the other.
    T *cases() const { return cases_; }
    friend bool operator==(const Grille &a, const Grille &b) { return a.cases_ == b.cases_; }
    friend bool operator!=(const Grille &a, const Grille &b) { return a.cases_ != b.cases_; }
    friend bool operator==(const Grille &a, std::nullptr_t) { return a.cases_ == nullptr; }
    friend bool operator!=(const Grille &a, std::nullptr_t) { return a.cases_ != nullptr; }
    bool operator!() const { return cases_ == nullptr; }

private:
    template <typename U>
    friend Grille<U> grille(int NbCol, int NbLig);
    T *cases_ = nullptr;
    std::ptrdiff_t colonnes_ = 0;
};

// The block of a grid of the given sizes (its first cell), or null; given back
// by libere_bloc_de_grille.
void *bloc_de_grille(int NbCol, int NbLig, std::size_t taille);
void libere_bloc_de_grille(void *cases);

template <typename T>
Grille<T> grille(int NbCol, int NbLig)
{
    Grille<T> g;
    g.cases_ = static_cast<T *>(bloc_de_grille(NbCol, NbLig, sizeof(T)));
    if (g.cases_ != nullptr)
        g.colonnes_ = NbCol;
    return g;
}

// Gives the grid's block back and leaves it null.
template <typename T>
void frgrille(Grille<T> &g)
{
    libere_bloc_de_grille(g.cases());
    g = nullptr;
}

#endif
