// Time of each phase of tolvane on generated contour sheets, for the program's
// own phases ("fast/...") and for the plain versions in reference/ ("plain/...").
//
//   bench_phases [--sizes=LxC,...] [--reference_sizes=LxC,...] [benchmark flags]
//
// A sheet of L lines and C columns is drawn by genera_curvas (40 levels every 10,
// seed 1) and run once through the phases of the version being timed; the grids
// found before each phase are kept, and every timed iteration starts from them
// again (the restoring is not timed). The phases talk on standard output, which
// goes to /dev/null; the report goes to standard error, and to a file with
// --benchmark_out=FILE.
#include "phases_reference.h"
#include "program_state.h"
#include "tolvane.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int NIVELES = 40;
constexpr int INTERVALO = 10;
constexpr int SEMILLA = 1;

struct Taille {
    int lignes, colonnes;
    std::string nom() const { return std::to_string(lignes) + "x" + std::to_string(colonnes); }
    bool operator==(const Taille &o) const { return lignes == o.lignes && colonnes == o.colonnes; }
};

// The phases of one version, in the order of a run.
struct Version {
    const char *nom;
    void (*plages)(int);
    void (*interpolation)();
    void (*dilatation)();
    void (*moyenne)();
    void (*lissage)(int);
};

const Version PROGRAMME{"fast", ::plages, ::interpolation, ::dilatation, ::moyenne, ::lissage};
const Version SIMPLE{"plain", reference::plages, reference::interpolation, reference::dilatation,
                     reference::moyenne, reference::lissage};

// What a timed iteration runs; the grids it starts from are those found just
// before it in a run.
enum class Etape { lecture, plages, interpolation, dilatation, moyenne, lissage, sauvegarde };

// The folder of the generated sheets and of the written images, removed at exit.
fs::path dossier;

// Grids sized for the current sheet.
void alloue(Taille t)
{
    taille_pix = 10;
    try {
        harness::allocate_grids(t.lignes, t.colonnes);
    } catch (const std::bad_alloc &) {
        std::cerr << "bench_phases: no memory for a " << t.nom() << " sheet\n";
        std::exit(1);
    }
}

// The sheet being timed: its contour image and the grids before each phase of
// one version.
struct Feuille {
    Taille taille;
    const Version *version;
    std::string base; // path of the images without their suffix
    harness::ProgramState avant_plages, avant_interpolation, avant_dilatation, avant_moyenne, apres_moyenne;
};

std::unique_ptr<Feuille> courante;

// Draws the sheet's contour image and sets the level table from the answers
// genera_curvas prints (lowest contour, highest contour, interval).
void genere(Feuille &f)
{
    f.base = (dossier / ("hoja_" + f.taille.nom())).string();
    const std::string orden = std::string("'") + GENERA_BIN + "' '" + f.base + "' "
                              + std::to_string(f.taille.lignes) + " " + std::to_string(f.taille.colonnes) + " "
                              + std::to_string(NIVELES) + " " + std::to_string(INTERVALO) + " "
                              + std::to_string(SEMILLA);
    std::FILE *p = popen(orden.c_str(), "r");
    int bas = 0, haut = 0, pas = 0;
    const bool lu = p != nullptr && std::fscanf(p, "%d %d %d", &bas, &haut, &pas) == 3;
    if (p == nullptr || pclose(p) != 0 || !lu) {
        std::cerr << "bench_phases: " << orden << " failed\n";
        std::exit(1);
    }
    mit[1] = bas;
    upper_value = haut;
    interval = pas;
    table_niveaux();
}

Feuille &feuille(Taille t, const Version &v)
{
    if (courante && courante->taille == t && courante->version == &v)
        return *courante;
    courante.reset();
    auto f = std::make_unique<Feuille>();
    f->taille = t;
    f->version = &v;
    genere(*f);
    alloue(t);

    nomim1 = f->base + "_c4.raw";
    if (f1 != nullptr)
        std::fclose(f1);
    f1 = std::fopen(nomim1.c_str(), "rb");
    if (f1 == nullptr) {
        std::cerr << "bench_phases: cannot open " << nomim1 << "\n";
        std::exit(1);
    }
    lecture();
    f->avant_plages = harness::snapshot();
    v.plages(nbplage);
    std::rewind(f1);
    lecture();
    f->avant_interpolation = harness::snapshot();
    v.interpolation();
    f->avant_dilatation = harness::snapshot();
    v.dilatation();
    f->avant_moyenne = harness::snapshot();
    v.moyenne();
    f->apres_moyenne = harness::snapshot();
    courante = std::move(f);
    return *courante;
}

std::FILE *ouvre(std::string &nom, const std::string &chemin, const char *mode)
{
    nom = chemin;
    std::FILE *f = std::fopen(chemin.c_str(), mode);
    if (f == nullptr) {
        std::cerr << "bench_phases: cannot create " << chemin << "\n";
        std::exit(1);
    }
    return f;
}

// The six output files, created afresh for every writing (it closes them).
void ouvre_sorties(const Feuille &f)
{
    f2 = ouvre(nomim2, f.base + "_m1.raw", "wb");
    f3 = ouvre(nomim3, f.base + "_m2.raw", "wb");
    f4 = ouvre(nomim4, f.base + "_m4.raw", "wb");
    f2d = ouvre(nomdescr2, f.base + "_m1.txt", "w");
    f3d = ouvre(nomdescr3, f.base + "_m2.txt", "w");
    f4d = ouvre(nomdescr4, f.base + "_m4.txt", "w");
}

void mesure(benchmark::State &state, Taille t, const Version *v, Etape etape, int maille)
{
    Feuille &f = feuille(t, *v);
    for (auto _ : state) {
        state.PauseTiming();
        switch (etape) {
        case Etape::lecture: std::rewind(f1); break;
        case Etape::plages: harness::restore(f.avant_plages); break;
        case Etape::interpolation: harness::restore(f.avant_interpolation); break;
        case Etape::dilatation: harness::restore(f.avant_dilatation); break;
        case Etape::moyenne: harness::restore(f.avant_moyenne); break;
        case Etape::lissage: harness::restore(f.apres_moyenne); break;
        case Etape::sauvegarde:
            harness::restore(f.apres_moyenne);
            ouvre_sorties(f);
            break;
        }
        state.ResumeTiming();
        switch (etape) {
        case Etape::lecture: lecture(); break;
        case Etape::plages: v->plages(nbplage); break;
        case Etape::interpolation: v->interpolation(); break;
        case Etape::dilatation: v->dilatation(); break;
        case Etape::moyenne: v->moyenne(); break;
        case Etape::lissage: v->lissage(maille); break;
        case Etape::sauvegarde: sauvegarde(); break;
        }
    }
    // Seconds per pixel: the console shows 25n for 25 ns.
    state.counters["per_pixel"] = benchmark::Counter(static_cast<double>(t.lignes) * t.colonnes,
                                                     benchmark::Counter::kIsIterationInvariantRate
                                                         | benchmark::Counter::kInvert);
}

void enregistre(const Version &v, Taille t)
{
    struct Cas {
        const char *nom;
        Etape etape;
        int maille;
    };
    const bool programme = &v == &PROGRAMME;
    const Cas cas[] = {{"lecture", Etape::lecture, 0},
                       {"plages", Etape::plages, 0},
                       {"interpolation", Etape::interpolation, 0},
                       {"dilatation", Etape::dilatation, 0},
                       {"moyenne", Etape::moyenne, 0},
                       {"lissage(3)", Etape::lissage, 3},
                       {"lissage(9)", Etape::lissage, 9},
                       {"sauvegarde", Etape::sauvegarde, 0}};
    for (const Cas &c : cas) {
        // Reading and writing have a single version.
        if (!programme && (c.etape == Etape::lecture || c.etape == Etape::sauvegarde))
            continue;
        const std::string nom = std::string(v.nom) + "/" + c.nom + "/" + t.nom();
        auto *b = benchmark::RegisterBenchmark(nom.c_str(), mesure, t, &v, c.etape, c.maille);
        b->Unit(benchmark::kMillisecond)->UseRealTime();
        // The plain phases can take minutes on one sheet: one iteration each.
        if (!programme)
            b->Iterations(1);
    }
}

// "500x500,1400x1600" (an empty list is allowed).
bool tailles(const std::string &texte, std::vector<Taille> &liste)
{
    liste.clear();
    std::size_t debut = 0;
    while (debut < texte.size()) {
        std::size_t fin = texte.find(',', debut);
        if (fin == std::string::npos)
            fin = texte.size();
        const std::string mot = texte.substr(debut, fin - debut);
        int l = 0, c = 0;
        char x = 0, reste = 0;
        if (std::sscanf(mot.c_str(), "%d%c%d%c", &l, &x, &c, &reste) != 3 || x != 'x' || l < 2 || c < 2)
            return false;
        liste.push_back({l, c});
        debut = fin + 1;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<Taille> rapides = {{500, 500}, {1000, 1000}, {1400, 1600}, {2000, 2000}};
    std::vector<Taille> simples = {{100, 100}, {200, 200}};

    // Our own options first; the rest goes to the benchmark library.
    int gardes = 1;
    for (int n = 1; n < argc; n++) {
        const std::string a = argv[n];
        bool ok = true;
        if (a.rfind("--sizes=", 0) == 0)
            ok = tailles(a.substr(8), rapides);
        else if (a.rfind("--reference_sizes=", 0) == 0)
            ok = tailles(a.substr(18), simples);
        else
            argv[gardes++] = argv[n];
        if (!ok) {
            std::cerr << "bench_phases: bad size list in " << a << " (expected LxC,LxC,...)\n";
            return 2;
        }
    }
    argc = gardes;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;

    std::string modele = (fs::temp_directory_path() / "tolvane-phases-XXXXXX").string();
    if (mkdtemp(modele.data()) == nullptr) {
        std::cerr << "bench_phases: cannot create a temporary folder\n";
        return 1;
    }
    dossier = modele;

    for (const Taille &t : rapides)
        enregistre(PROGRAMME, t);
    for (const Taille &t : simples)
        enregistre(SIMPLE, t);

    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    int options = benchmark::ConsoleReporter::OO_Tabular;
    if (isatty(2))
        options |= benchmark::ConsoleReporter::OO_Color;
    benchmark::ConsoleReporter rapport(static_cast<benchmark::ConsoleReporter::OutputOptions>(options));
    rapport.SetOutputStream(&std::cerr);
    rapport.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&rapport);
    benchmark::Shutdown();

    courante.reset();
    if (f1 != nullptr)
        std::fclose(f1);
    std::error_code e;
    fs::remove_all(dossier, e);
    return 0;
}
