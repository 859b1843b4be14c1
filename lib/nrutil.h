// Matrix and vector allocation, one allocator per element type.
//
// A matrix is an array of NbLig line pointers, each to a zero-filled line of
// NbCol elements, addressed m[line][column]; the pointers and the lines lie in
// a single block, large ones mapped on their own with huge pages advised. Allocators take the number of columns first, then the
// number of lines. An allocator returns null when a size is zero or less or when
// a block cannot be had; it never hands back a partly built matrix.
#ifndef NRUTIL_H
#define NRUTIL_H

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

#endif
