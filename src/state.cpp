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

Grille<unsigned char> tab;
Grille<int> itab;
Grille<int> itab1;
Grille<int> itab2;
Grille<unsigned short> itab3;

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
    frgrille(tab);
    frgrille(itab);
    frgrille(itab1);
    frgrille(itab2);
    frgrille(itab3);
}
