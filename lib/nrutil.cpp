#include "nrutil.h"

#include <cstdint>
#include <cstdlib>

namespace {

// Every block comes from calloc, so a new matrix or vector is all bits zero
// without a separate clearing pass.
template <typename T>
T *vecteur(int NbCol)
{
    if (NbCol <= 0)
        return nullptr;
    return static_cast<T *>(std::calloc(static_cast<std::size_t>(NbCol), sizeof(T)));
}

// The lines of a matrix lie one after the other in a single block, so that a
// grid of many short lines costs no more than one of few long ones; the pointer
// array addresses each line in it.
template <typename T>
void frmatrice(T **Mat, int NbLig)
{
    if (Mat == nullptr)
        return;
    if (NbLig > 0)
        std::free(Mat[0]);
    std::free(Mat);
}

template <typename T>
T **matrice(int NbCol, int NbLig)
{
    if (NbCol <= 0 || NbLig <= 0)
        return nullptr;
    const std::size_t lignes = static_cast<std::size_t>(NbLig), colonnes = static_cast<std::size_t>(NbCol);
    if (colonnes > SIZE_MAX / sizeof(T) / lignes)
        return nullptr;
    T **Mat = static_cast<T **>(std::calloc(lignes, sizeof(T *)));
    if (Mat == nullptr)
        return nullptr;
    T *bloc = static_cast<T *>(std::calloc(lignes * colonnes, sizeof(T)));
    if (bloc == nullptr) {
        std::free(Mat);
        return nullptr;
    }
    for (std::size_t i = 0; i < lignes; i++)
        Mat[i] = bloc + i * colonnes;
    return Mat;
}

} // namespace

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
