// Operator dialog, input image and descriptor, output images and descriptors.
//
// Everything that comes from outside (answers, descriptor, image, file system) is
// checked here, and every failure names its file or value in one message and ends
// the run with exit status 1. The phases behind this file assume a valid state.
#include "tolvane.h"

#include "nrutil.h"

#include <tolvane/tolvane.h>

#include <cctype>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

[[noreturn]] void termine()
{
    std::fflush(stdout);
    std::exit(1);
}

[[noreturn]] void fin_entree()
{
    std::printf("\n\n Fin de la entrada: falta una respuesta\n");
    termine();
}

// One word of standard input, as "%s" reads it: blanks before it are skipped and
// the next blank ends it. False at the end of the input.
bool lire_mot(std::string &mot)
{
    std::fflush(stdout); // the prompt must be on screen before we wait
    mot.clear();
    int c = std::getchar();
    while (c != EOF && std::isspace(c))
        c = std::getchar();
    while (c != EOF && !std::isspace(c)) {
        mot.push_back(static_cast<char>(c));
        c = std::getchar();
    }
    return !mot.empty();
}

std::string lire_nom(const char *question)
{
    std::printf("%s", question);
    std::string mot;
    if (!lire_mot(mot))
        fin_entree();
    return mot;
}

// Prints the question and reads one integer; a word that is not an integer is
// consumed and the question is asked again.
int lire_entier(const std::string &question)
{
    for (;;) {
        std::printf("%s", question.c_str());
        std::string mot;
        if (!lire_mot(mot))
            fin_entree();
        int valeur = 0;
        if (entier_de(mot, valeur))
            return valeur;
        std::printf("\n Respuesta no valida: se espera un numero entero\n");
    }
}

int lire_positif(const char *question)
{
    for (;;) {
        int valeur = lire_entier(question);
        if (valeur > 0)
            return valeur;
        std::printf("\n El valor debe ser positivo\n");
    }
}

void banniere()
{
    const std::string etoiles(62, '*');
    const std::string vide = "\n\t*" + std::string(60, ' ') + "*";
    const std::string auteur = "Equipo de desarrollo de Tolvane";
    std::printf("\n\n\t%s", etoiles.c_str());
    std::printf("%s", vide.c_str());
    std::printf("\n\t*%sTOLVANE%s*", std::string(21, ' ').c_str(), std::string(32, ' ').c_str());
    for (int n = 0; n < 4; n++)
        std::printf("%s", vide.c_str());
    std::printf("\n\t*%s%s    *", std::string(60 - 4 - auteur.size(), ' ').c_str(), auteur.c_str());
    std::printf("\n\t*%s(Julio de 2012)    *", std::string(41, ' ').c_str());
    std::printf("%s", vide.c_str());
    std::printf("%s", vide.c_str());
    std::printf("\n\t%s", etoiles.c_str());

    std::printf("\n\n\tNueva version del programa Tolvane (%s, julio de 2012)", auteur.c_str());
    std::printf("\n\tpara imagenes con curvas de nivel de mas de 30 000 pixels");
    std::printf("\n\tutilizando imagenes de 4 bytes y creando imagenes de 4 y 2 bytes ");
}

bool lire_fichier(const std::string &chemin, std::string &texte)
{
    std::FILE *f1d = std::fopen(chemin_hote(chemin).c_str(), "r");
    if (f1d == nullptr)
        return false;
    char bloc[4096];
    std::size_t n;
    while ((n = std::fread(bloc, 1, sizeof bloc, f1d)) > 0)
        texte.append(bloc, n);
    std::fclose(f1d);
    return true;
}

// Lines, columns and pixel size from the input descriptor, or from the operator
// when there is no descriptor or it cannot be trusted.
void taille_image(const std::string &nomdescr1)
{
    std::string texte;
    if (lire_fichier(nomdescr1, texte)) {
        int valeurs[6];
        if (lire_descripteur(texte, valeurs) == 6 && valeurs[0] > 0 && valeurs[1] > 0) {
            nb_lig = valeurs[0];
            nb_col = valeurs[1];
            val = valeurs[2];
            taille_pix = valeurs[5];
            return;
        }
        std::printf("\n El archivo %s no es valido: se esperan seis enteros, lineas y columnas positivas \n\n",
                    nomdescr1.c_str());
    } else {
        std::printf("\n No hay archivo %s \n\n", nomdescr1.c_str());
    }
    nb_lig = lire_positif("\n\tNumero de lineas   ? ");
    nb_col = lire_positif("\n\tNumero de columnas ? ");
    taille_pix = lire_positif("\n\tTamano del pixel   ? ");
}

// The image must hold every cell of the grid before anything is created.
void verifie_taille_image()
{
    const std::uintmax_t attendu = static_cast<std::uintmax_t>(nb_lig) * static_cast<std::uintmax_t>(nb_col) * 4u;
    std::error_code erreur;
    const std::uintmax_t reel = std::filesystem::file_size(chemin_hote(nomim1), erreur);
    if (erreur || reel < attendu) {
        std::printf("\n La imagen %s es demasiado corta: %" PRIuMAX " bytes para %d lineas y %d columnas, "
                    "y tiene %" PRIuMAX " bytes\n",
                    nomim1.c_str(), attendu, nb_lig, nb_col, erreur ? std::uintmax_t{0} : reel);
        termine();
    }
}

std::FILE *cree(const std::string &chemin, const char *mode)
{
    std::FILE *f = std::fopen(chemin_hote(chemin).c_str(), mode);
    if (f == nullptr) {
        std::printf("\n No such File %s \n", chemin.c_str());
        termine();
    }
    return f;
}

void ecrit_tete(std::FILE *f, const std::string &chemin, int octets)
{
    val = octets;
    if (std::fprintf(f, "%d\n%d\n%d\n", nb_lig, nb_col, val) < 0)
        verifie_ecriture(false, chemin);
}

void alloue_grilles()
{
    tab = ucmatrice(nb_col, nb_lig);
    itab = imatrice(nb_col, nb_lig);
    itab1 = imatrice(nb_col, nb_lig);
    itab2 = imatrice(nb_col, nb_lig);
    itab3 = usmatrice(nb_col, nb_lig);
    if (!tab || !itab || !itab1 || !itab2 || !itab3) {
        std::printf("\n No hay memoria suficiente para una imagen de %d lineas y %d columnas\n", nb_lig, nb_col);
        termine();
    }
}

} // namespace

void termine_par_erreur(const std::exception &e)
{
    const auto *erreur = dynamic_cast<const tolvane::Error *>(&e);
    if (erreur != nullptr && erreur->kind() == tolvane::ErrorKind::no_memory && erreur->values().size() == 1)
        std::printf("\n No hay memoria para la suavizacion\n");
    else
        std::printf("\n No hay memoria suficiente para una imagen de %d lineas y %d columnas\n", nb_lig, nb_col);
    termine();
}

void verifie_ecriture(bool ok, const std::string &chemin)
{
    if (!ok) {
        std::printf("\n Error de escritura en el archivo %s \n", chemin.c_str());
        termine();
    }
}

// "c:\images\zona\dem_c4.raw" names images/zona/dem_c4.raw below the current folder
// on hosts that do not know drive letters and backslashes.
std::string chemin_hote(const std::string &chemin)
{
#ifdef _WIN32
    return chemin;
#else
    std::string hote = chemin;
    if (hote.size() >= 2 && hote[1] == ':' && std::isalpha(static_cast<unsigned char>(hote[0])))
        hote.erase(0, 2);
    for (char &c : hote)
        if (c == '\\')
            c = '/';
    while (!hote.empty() && hote[0] == '/')
        hote.erase(0, 1);
    return hote;
#endif
}

// A whole word of an optional sign and decimal digits, within the int range.
bool entier_de(const std::string &mot, int &valeur)
{
    std::size_t n = 0;
    bool negatif = false;
    if (n < mot.size() && (mot[n] == '+' || mot[n] == '-'))
        negatif = mot[n++] == '-';
    if (n == mot.size())
        return false;
    long long v = 0;
    for (; n < mot.size(); n++) {
        if (!std::isdigit(static_cast<unsigned char>(mot[n])))
            return false;
        v = v * 10 + (mot[n] - '0');
        if (v > 2147483648LL)
            return false;
    }
    if (negatif)
        v = -v;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    valeur = static_cast<int>(v);
    return true;
}

// Reads up to six integers the way "%d%d%d%d%d%d" does and returns how many were
// read; a number outside the int range ends the reading like a non-number.
int lire_descripteur(const std::string &texte, int valeurs[6])
{
    std::size_t n = 0;
    int lus = 0;
    while (lus < 6) {
        while (n < texte.size() && std::isspace(static_cast<unsigned char>(texte[n])))
            n++;
        std::size_t debut = n;
        if (n < texte.size() && (texte[n] == '+' || texte[n] == '-'))
            n++;
        std::size_t chiffres = n;
        while (n < texte.size() && std::isdigit(static_cast<unsigned char>(texte[n])))
            n++;
        if (n == chiffres || !entier_de(texte.substr(debut, n - debut), valeurs[lus]))
            break;
        lus++;
    }
    return lus;
}

void ouverture()
{
    banniere();

    // All the files of a run lie in one folder: base folder, folder name, separator.
    nomim1 = "c:\\images\\";
    const std::string nomdir = lire_nom("\n\n Nombre de la carpeta (en C:images) : ");
    nomim1 += nomdir + "\\";
    nomim2 = nomim1;

    const std::string nomfic = lire_nom("\n\n Nombre del archivo a utilizar (sin extension _c4.raw) ? ");
    nomim1 += nomfic;
    const std::string nomdescr1 = nomim1 + "_c4.txt";
    nomim1 += "_c4.raw";

    f1 = std::fopen(chemin_hote(nomim1).c_str(), "rb");
    if (f1 == nullptr) {
        std::printf("\n File %s unknown\n", nomim1.c_str());
        termine();
    }
    taille_image(nomdescr1);

    std::printf("\n\n    LA IMAGEN TIENE :  \n");
    std::printf("\n            %d LINEAS\n", nb_lig);
    std::printf("\n          Y %d COLUMNAS\n", nb_col);
    verifie_taille_image();

    const std::string choix = "\n\n 0 -----> Uso del nombre de origen " + nomfic + " ? "
                              + "\n 1 -----> Creacion de un nuevo nombre ? ";
    int rep;
    do
        rep = lire_entier(choix);
    while (rep != 0 && rep != 1);
    const std::string nomfic1 =
        rep == 0 ? nomfic : lire_nom("\n\n Nombre del archivo a crear (sin ninguna extension) ? ");

    const std::string dossier = nomim2;
    nomim2 = dossier + nomfic1 + "_m1.raw";
    nomim3 = dossier + nomfic1 + "_m2.raw";
    nomim4 = dossier + nomfic1 + "_m4.raw";
    nomdescr2 = dossier + nomfic1 + "_m1.txt";
    nomdescr3 = dossier + nomfic1 + "_m2.txt";
    nomdescr4 = dossier + nomfic1 + "_m4.txt";

    std::printf("\n IMAGENES Y ARCHIVOS DESCRIPTIVOS CREADOS \n\n");
    std::printf("\n nomim1 %s ", nomim1.c_str());
    std::printf("\n nomim2 %s ", nomim2.c_str());
    std::printf("\n nomim3 %s ", nomim3.c_str());
    std::printf("\n nomim4 %s ", nomim4.c_str());
    std::printf("\n nomdesc1 %s ", nomdescr1.c_str());
    std::printf("\n nomdesc2 %s ", nomdescr2.c_str());
    std::printf("\n nomdesc3 %s ", nomdescr3.c_str());
    std::printf("\n nomdesc4 %s \n", nomdescr4.c_str());

    f2 = cree(nomim2, "wb");
    f3 = cree(nomim3, "wb");
    f4 = cree(nomim4, "wb");
    f2d = cree(nomdescr2, "w");
    f3d = cree(nomdescr3, "w");
    f4d = cree(nomdescr4, "w");

    ecrit_tete(f2d, nomdescr2, 1);
    ecrit_tete(f3d, nomdescr3, 2);
    ecrit_tete(f4d, nomdescr4, 4);

    alloue_grilles();
}

std::string refus_niveaux(long long inferieur, long long superieur, long long intervalle)
{
    const LevelCheck c = check_levels(inferieur, superieur, intervalle);
    if (c.problem == LevelCheck::too_many_zones)
        return "\n Demasiadas zonas (" + std::to_string(c.zones) + "): como maximo 254\n";
    if (c.problem == LevelCheck::out_of_range)
        return "\n Curvas de nivel fuera del rango de los enteros\n";
    return "";
}

void questions_altitudes()
{
    for (;;) {
        const int inferieur = lire_entier("\n\n Valor del altitud inferior ? ");
        const int superieur = lire_entier(" Valor del altitud superior ? ");
        int intervalle = lire_entier(" Intervalo altimetrico      ? ");
        while (intervalle == 0) {
            std::printf("\n El intervalo no puede ser 0\n");
            intervalle = lire_entier(" Intervalo altimetrico      ? ");
        }
        const std::string refus = refus_niveaux(inferieur, superieur, intervalle);
        if (refus.empty()) {
            mit[1] = inferieur;
            upper_value = superieur;
            interval = intervalle;
            return;
        }
        std::printf("%s", refus.c_str());
    }
}

int question_maille()
{
    for (;;) {
        const int maille = lire_entier("\n Suavizacion (1, 3, 5, 7 o 9) ? ");
        const char *refus = refus_maille(maille);
        if (refus == nullptr)
            return maille;
        std::printf("%s", refus);
    }
}

void lecture()
{
    for (int r = 0; r < nb_lig; r++) {
        if (std::fread(itab[r], sizeof(int), static_cast<std::size_t>(nb_col), f1) != static_cast<std::size_t>(nb_col)) {
            std::printf("\n Error de lectura en la imagen %s (linea %d)\n", nomim1.c_str(), r);
            termine();
        }
    }
}

namespace {

void extremes()
{
    min_al = 1000000;
    max_al = -1000000;
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++) {
            const int v = itab1[r][c];
            if (v < min_al)
                min_al = v;
            if (v > max_al)
                max_al = v;
        }
}

// The 1-byte value of altitude v: v - min_al over the range, times 255, plus a
// half, truncated. Differences are taken in 64 bits so that extremes far apart
// cannot overflow.
unsigned char octet_de(int v, float plage)
{
    const float ecart = static_cast<float>(static_cast<long long>(v) - min_al);
    return static_cast<unsigned char>(tronque_ld(static_cast<long double>(ecart) / plage * 255 + 0.5L));
}

// The 1-byte image stretches min_al..max_al over 0..255; a flat grid has no range
// and gives 0 everywhere. An elevation model holds few distinct altitudes, so when
// the range is no wider than the grid each value of it is converted once.
void image_1_octet()
{
    const long long etendue = static_cast<long long>(max_al) - min_al;
    const float plage = static_cast<float>(etendue);
    std::vector<unsigned char> table;
    if (etendue > 0 && etendue < static_cast<long long>(nb_lig) * nb_col) {
        table.resize(static_cast<std::size_t>(etendue) + 1);
        for (long long e = 0; e <= etendue; e++)
            table[static_cast<std::size_t>(e)] = octet_de(static_cast<int>(min_al + e), plage);
    }
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++) {
            const int v = itab1[r][c];
            if (etendue == 0)
                tab[r][c] = 0;
            else if (!table.empty())
                tab[r][c] = table[static_cast<std::size_t>(static_cast<long long>(v) - min_al)];
            else
                tab[r][c] = octet_de(v, plage);
        }
}

void image_2_octets()
{
    for (int r = 0; r < nb_lig; r++)
        for (int c = 0; c < nb_col; c++)
            itab3[r][c] = static_cast<unsigned short>(itab1[r][c] / 10);
}

template <typename T>
void ecrit_image(T **grille, std::FILE *f, const std::string &chemin)
{
    for (int r = 0; r < nb_lig; r++)
        verifie_ecriture(std::fwrite(grille[r], sizeof(T), static_cast<std::size_t>(nb_col), f)
                             == static_cast<std::size_t>(nb_col),
                         chemin);
}

void ecrit_queue(std::FILE *f, const std::string &chemin, int minimum, int maximum)
{
    verifie_ecriture(std::fprintf(f, "%d\n%d\n%d\n", minimum, maximum, taille_pix) >= 0, chemin);
}

void ferme(std::FILE *&f, const std::string &chemin)
{
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    const bool ferme_ok = std::fclose(f) == 0;
    f = nullptr;
    verifie_ecriture(ok && ferme_ok, chemin);
}

} // namespace

void sauvegarde()
{
    std::printf("\n\n Guardando el archivo\n");
    extremes();
    image_1_octet();
    image_2_octets();

    ecrit_image(tab, f2, nomim2);
    ecrit_image(itab1, f4, nomim4);
    ecrit_image(itab3, f3, nomim3);

    ecrit_queue(f2d, nomdescr2, 0, 255);
    ecrit_queue(f3d, nomdescr3, min_al / 10, max_al / 10);
    ecrit_queue(f4d, nomdescr4, min_al, max_al);

    ferme(f2, nomim2);
    ferme(f3, nomim3);
    ferme(f4, nomim4);
    ferme(f2d, nomdescr2);
    ferme(f3d, nomdescr3);
    ferme(f4d, nomdescr4);

    std::printf("\n");
}
