// Operator dialog, input image and descriptor, creation of the outputs (their
// contents are written by output.cpp).
//
// Everything that comes from outside (answers, descriptor, image, file system) is
// checked here, and every failure names its file or value in one message and ends
// the run with exit status 1. The phases behind this file assume a valid state.
#include "tolvane.h"

#include "atomic_outputs.h"
#include "levels_report.h"
#include "nrutil.h"

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

[[noreturn]] void termine()
{
    discard_outputs(); // the previous results stay as they were
    std::fflush(stdout);
    std::exit(1);
}

namespace {

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

// A name is one word; one holding a NUL byte cannot name a file (the system would
// read it only up to that byte), so it is refused and the question asked again.
std::string lire_nom(const char *question)
{
    for (;;) {
        std::printf("%s", question);
        std::string mot;
        if (!lire_mot(mot))
            fin_entree();
        if (mot.find('\0') == std::string::npos)
            return mot;
        std::printf("\n Respuesta no valida: un nombre no puede contener el caracter nulo\n");
    }
}

// An optional sign and at least one decimal digit, of any length.
bool all_digits(const std::string &mot)
{
    std::size_t n = mot.empty() || (mot[0] != '+' && mot[0] != '-') ? 0 : 1;
    if (n == mot.size())
        return false;
    for (; n < mot.size(); n++)
        if (!std::isdigit(static_cast<unsigned char>(mot[n])))
            return false;
    return true;
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
        if (all_digits(mot))
            std::printf("\n Respuesta no valida: el numero esta fuera del rango de los enteros\n");
        else
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

// Opens an input for reading without waiting on a FIFO. On failure, with the
// cause in `cause`: NO_SUCH_FILE when there is no such file, CANNOT_OPEN when it
// cannot be opened, NOT_REGULAR when it is a folder, a FIFO or a device.
constexpr int NO_SUCH_FILE = -1, CANNOT_OPEN = -2, NOT_REGULAR = -3;

int open_input(const std::string &chemin, std::string &cause)
{
    const int fd = open(chemin_hote(chemin).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        cause = cause_of(errno);
        return errno == ENOENT ? NO_SUCH_FILE : CANNOT_OPEN;
    }
    struct stat s {};
    if (fstat(fd, &s) != 0 || !S_ISREG(s.st_mode)) {
        cause = S_ISDIR(s.st_mode)                          ? "es una carpeta"
                : S_ISFIFO(s.st_mode)                       ? "es una tuberia (FIFO)"
                : S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode) ? "es un dispositivo"
                                                            : "no es un archivo normal";
        close(fd);
        return NOT_REGULAR;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// The whole text of the input descriptor; false with the cause when it cannot be
// read (`missing` when there is simply no such file).
bool lire_fichier(const std::string &chemin, std::string &texte, std::string &cause, bool &missing)
{
    const int fd = open_input(chemin, cause);
    missing = fd == NO_SUCH_FILE;
    if (fd < 0)
        return false;
    char bloc[4096];
    ssize_t n;
    while ((n = read(fd, bloc, sizeof bloc)) > 0)
        texte.append(bloc, static_cast<std::size_t>(n));
    if (n < 0)
        cause = cause_of(errno);
    close(fd);
    return n == 0;
}

// Lines, columns and pixel size from the input descriptor, or from the operator
// when there is no descriptor or it cannot be trusted.
void taille_image(const std::string &nomdescr1)
{
    std::string texte, cause;
    bool missing = false;
    if (lire_fichier(nomdescr1, texte, cause, missing)) {
        // A byte-order mark left by an editor is no part of the numbers.
        if (texte.compare(0, 3, "\xEF\xBB\xBF") == 0)
            texte.erase(0, 3);
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
    } else if (missing) {
        std::printf("\n No hay archivo %s \n\n", nomdescr1.c_str());
    } else {
        std::printf("\n No hay archivo %s: %s\n\n", nomdescr1.c_str(), cause.c_str());
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

[[noreturn]] void refuse_output(const std::string &chemin, const std::string &cause)
{
    std::printf("\n No such File %s: %s\n", chemin.c_str(), cause.c_str());
    termine();
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whatever would keep an output from taking its final name at the end of the run
// is found before anything is written.
void refuse_unusable_output(const std::string &chemin, const std::string &nomdescr1)
{
    const std::string host = chemin_hote(chemin);
    const std::string refusal = refusal_of_output(host);
    if (!refusal.empty())
        refuse_output(chemin, refusal);
    // Replacing an input would destroy it, through a link or not.
    struct stat output {}, input {};
    if (stat(host.c_str(), &output) == 0) {
        if (fstat(fileno(f1), &input) == 0 && same_file(output, input))
            refuse_output(chemin, "es el mismo archivo que la imagen de entrada " + nomim1);
        if (stat(chemin_hote(nomdescr1).c_str(), &input) == 0 && same_file(output, input))
            refuse_output(chemin, "es el mismo archivo que el descriptor de entrada " + nomdescr1);
    }
}

// One run at a time writes a result set (the six outputs of `base`, console path
// of the folder and the output name): another run on the same set is waited for,
// with one notice, so that the six files always come from one run.
void lock_results(const std::string &base)
{
    const std::size_t separator = base.find_last_of("\\/");
    const std::string lock = base.substr(0, separator + 1) + "." + base.substr(separator + 1) + ".tolvane-lock";
    LockState state = lock_result_set(chemin_hote(lock), false);
    if (state == LockState::busy) {
        std::printf("\n Aviso: otra ejecucion esta escribiendo los resultados %s_m*: se espera a que termine\n",
                    base.c_str());
        std::fflush(stdout);
        state = lock_result_set(chemin_hote(lock), true);
    }
    if (state != LockState::held) {
        std::printf("\n No se puede crear el archivo de bloqueo %s: %s\n", lock.c_str(), cause_of(errno).c_str());
        termine();
    }
}

// Output `slot` (0..5) is written under a temporary name and takes its final
// name at the end of the run.
std::FILE *cree(int slot, const std::string &chemin, const char *mode)
{
    std::FILE *f = create_temporary(slot, chemin_hote(chemin), mode);
    if (f == nullptr)
        refuse_output(chemin, cause_of(errno));
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
    tab = grille<unsigned char>(nb_col, nb_lig);
    itab = grille<int>(nb_col, nb_lig);
    itab1 = grille<int>(nb_col, nb_lig);
    itab2 = grille<int>(nb_col, nb_lig);
    itab3 = grille<unsigned short>(nb_col, nb_lig);
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
        std::printf("\n Error de escritura en el archivo %s: %s\n", chemin.c_str(), cause_of(errno).c_str());
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

    std::string cause;
    const int fd = open_input(nomim1, cause);
    if (fd < 0) {
        if (fd != NOT_REGULAR)
            std::printf("\n File %s unknown: %s\n", nomim1.c_str(), cause.c_str());
        else
            std::printf("\n La imagen %s no es un archivo normal: %s\n", nomim1.c_str(), cause.c_str());
        termine();
    }
    f1 = fdopen(fd, "rb");
    if (f1 == nullptr) {
        std::printf("\n File %s unknown: %s\n", nomim1.c_str(), cause_of(errno).c_str());
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

    for (const std::string *chemin : {&nomim2, &nomim3, &nomim4, &nomdescr2, &nomdescr3, &nomdescr4})
        refuse_unusable_output(*chemin, nomdescr1);
    lock_results(dossier + nomfic1); // held until the six are renamed or the run ends
    f2 = cree(0, nomim2, "wb");
    f3 = cree(1, nomim3, "wb");
    f4 = cree(2, nomim4, "wb");
    f2d = cree(3, nomdescr2, "w");
    f3d = cree(4, nomdescr3, "w");
    f4d = cree(5, nomdescr4, "w");

    ecrit_tete(f2d, nomdescr2, 1);
    ecrit_tete(f3d, nomdescr3, 2);
    ecrit_tete(f4d, nomdescr4, 4);

    alloue_grilles();
}

// The core's checks of the answers, in the dialog's words.
std::string refus_niveaux(int inferieur, int superieur, int intervalle)
{
    try {
        tolvane::check_levels({inferieur, superieur, intervalle});
    } catch (const tolvane::Error &e) {
        if (e.kind() == tolvane::ErrorKind::too_many_zones)
            return "\n Demasiadas zonas (" + std::to_string(e.values().at(0)) + "): como maximo 254\n";
        if (e.kind() == tolvane::ErrorKind::levels_out_of_range &&
            ::check_levels(inferieur, superieur, intervalle).problem == LevelCheck::beyond_marker)
            return "\n Curvas de nivel fuera de -" + std::to_string(MAX_ALTITUDE) + " a " +
                   std::to_string(MAX_ALTITUDE) + "\n";
        if (e.kind() == tolvane::ErrorKind::levels_out_of_range)
            return "\n Curvas de nivel fuera del rango de los enteros\n";
    }
    return "";
}

const char *refus_maille(int maille)
{
    try {
        tolvane::check_smoothing(maille);
    } catch (const tolvane::Error &) {
        return maille > 9 ? "\n Ventana demasiado larga \n" : "\n el valor no es impar\n ";
    }
    return nullptr;
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

// An image without a single altitude gives no elevation model.
void refuse_empty_image(const LevelReport &report)
{
    if (report.contour_pixels == 0) {
        std::printf("\n La imagen %s no tiene ninguna altitud: todos sus pixeles valen %d\n", nomim1.c_str(), VIDE);
        termine();
    }
    // Such an altitude would meet the empty marker, or leave the phases' integers.
    if (report.beyond_pixels > 0) {
        std::printf("\n La imagen %s tiene altitudes fuera de -%d a %d: %d en la linea %lld, columna %lld\n",
                    nomim1.c_str(), MAX_ALTITUDE, MAX_ALTITUDE, report.first_beyond_value,
                    report.first_beyond / nb_col, report.first_beyond % nb_col);
        termine();
    }
}

// One line for each way in which the answers do not fit the image; nothing when
// they fit.
void warn_about_levels(const LevelReport &report, long long labelled)
{
    if (report.zones > 0 && report.off_level_pixels > 0)
        std::printf("\n Aviso: pixeles de curva cuya altitud no es un nivel de la tabla (de %d a %d cada %d), "
                    "fuera de toda zona: %lld\n",
                    mit[1], mat[report.zones], interval, report.off_level_pixels);
    if (!report.missing_levels.empty()) {
        const std::size_t shown = std::min<std::size_t>(report.missing_levels.size(), 12);
        std::string list;
        for (std::size_t n = 0; n < shown; n++)
            list += (n ? ", " : "") + std::to_string(report.missing_levels[n]);
        if (shown < report.missing_levels.size())
            list += "... (" + std::to_string(report.missing_levels.size()) + " en total)";
        std::printf("\n Aviso: ningun pixel de la imagen tiene estos niveles de la tabla: %s\n", list.c_str());
    }
    if (report.zones == 0)
        std::printf("\n Aviso: la tabla de niveles (de %d a %d cada %d) no tiene ninguna zona: no hay interpolacion "
                    "entre curvas\n",
                    mit[1], upper_value, interval);
    else if (labelled == 0)
        std::printf("\n Aviso: ningun pixel queda entre dos curvas de niveles consecutivos de la tabla: no hay "
                    "interpolacion entre curvas\n");
}
