// Definitions of the program-wide state declared in tolvane.h. They live apart
// from main so that the tests can link every phase and size the grids themselves.
#include "tolvane.h"

#include "nrutil.h"

int nb_lig = 0;
int nb_col = 0;
int taille_pix = 0;
int val = 0;

std::FILE *f1 = nullptr, *f2 = nullptr, *f3 = nullptr, *f4 = nullptr;
std::FILE *f2d = nullptr, *f3d = nullptr, *f4d = nullptr;

std::string nomim1, nomim2, nomim3, nomim4, nomdescr2, nomdescr3, nomdescr4;

unsigned char **tab = nullptr;
int **itab = nullptr;
int **itab1 = nullptr;
int **itab2 = nullptr;
unsigned short **itab3 = nullptr;

int mit[MAX_ZONES + 1];
int mat[MAX_ZONES + 1];
int nbplage = 0;
int upper_value = 0;
int interval = 0;

int nb_pix_mod = 0;
int modif = 0;

int min_al = 0;
int max_al = 0;

void libere_grilles()
{
    frucmatrice(tab, nb_lig);
    frimatrice(itab, nb_lig);
    frimatrice(itab1, nb_lig);
    frimatrice(itab2, nb_lig);
    frusmatrice(itab3, nb_lig);
    tab = nullptr;
    itab = itab1 = itab2 = nullptr;
    itab3 = nullptr;
}
