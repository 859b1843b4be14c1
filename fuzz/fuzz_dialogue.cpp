// Fuzz target: the operator dialog and the reading of the input descriptor.
//
// Input layout:
//   byte 0   bit 0: the input descriptor exists; bit 1: the input image exists
//   byte 1   number of 4-byte cells in the input image
//   then     descriptor text up to the first NUL byte, then the operator's answers
//            (without a NUL byte everything after byte 1 is answers)
// The image and its descriptor lie at images/f/n_c4.raw and images/f/n_c4.txt in a
// private temporary folder. The run goes through the dialog, the altitude and
// smoothing questions, the level table and both readings of the image.
//
// Every fatal failure of the dialog ends with exit(1). The target is linked with
// --wrap=exit: while a run is under way, exit jumps back here instead of ending the
// fuzzer, and the run counts as a clean refusal. A sanitizer report is a finding.
#include "program_state.h"
#include "tolvane.h"

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::jmp_buf retour;
bool en_cours = false;

void ecrit(const fs::path &ruta, const char *octets, std::size_t n)
{
    std::ofstream f(ruta, std::ios::binary);
    f.write(octets, static_cast<std::streamsize>(n));
}

void ferme(std::FILE *&f)
{
    if (f != nullptr)
        std::fclose(f);
    f = nullptr;
}

} // namespace

// Jumping out of the dialog skips the destructors of its local strings: those
// blocks are lost on purpose, so leak detection would only report the harness.
extern "C" int __lsan_is_turned_off() { return 1; }

extern "C" [[noreturn]] void __real_exit(int);

extern "C" [[noreturn]] void __wrap_exit(int etat)
{
    if (en_cours) {
        en_cours = false;
        std::longjmp(retour, 1);
    }
    __real_exit(etat);
}

// The runs take place in a private temporary folder. Relative corpus paths and the
// crash artifacts keep referring to the folder the fuzzer was started in.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    const fs::path origen = fs::current_path();
    static std::vector<std::string> textos;
    static std::vector<char *> args;
    bool prefijo = false;
    for (int n = 0; n < *argc; n++) {
        std::string a = (*argv)[n];
        if (a.rfind("-artifact_prefix=", 0) == 0)
            prefijo = true;
        else if (n > 0 && !a.empty() && a[0] != '-')
            a = fs::absolute(a).string();
        textos.push_back(a);
    }
    if (!prefijo)
        textos.push_back("-artifact_prefix=" + origen.string() + "/");
    for (std::string &t : textos)
        args.push_back(t.data());
    args.push_back(nullptr);
    *argc = static_cast<int>(textos.size());
    *argv = args.data();

    std::string modelo = (fs::temp_directory_path() / "tolvane-fuzz-XXXXXX").string();
    if (mkdtemp(modelo.data()) == nullptr || chdir(modelo.c_str()) != 0)
        std::abort();
    static fs::path carpeta = modelo;
    std::atexit([] {
        std::error_code e;
        fs::remove_all(carpeta, e);
    });
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return -1;
    const char *texte = reinterpret_cast<const char *>(data) + 2;
    const std::string reste(texte, size - 2);
    const std::size_t nul = reste.find('\0');
    const std::string descripteur = nul == std::string::npos ? "" : reste.substr(0, nul);
    const std::string respuestas = nul == std::string::npos ? reste : reste.substr(nul + 1);
    // Names are joined below images/; without ".." no answer can lead a file
    // outside the temporary folder.
    if (respuestas.find("..") != std::string::npos)
        return -1;

    std::error_code e;
    fs::remove_all("images", e);
    fs::create_directories("images/f");
    if (data[0] & 1)
        ecrit("images/f/n_c4.txt", descripteur.data(), descripteur.size());
    if (data[0] & 2) {
        const std::string celdas(4u * data[1], '\x7f');
        ecrit("images/f/n_c4.raw", celdas.data(), celdas.size());
    }

    std::FILE *entrada = respuestas.empty() ? std::fopen("/dev/null", "r")
                                            : fmemopen(const_cast<char *>(respuestas.data()), respuestas.size(), "r");
    std::FILE *const consola = stdin;
    stdin = entrada;

    nb_lig = nb_col = 0;
    if (setjmp(retour) == 0) {
        en_cours = true;
        ouverture();
        questions_altitudes();
        question_maille();
        table_niveaux();
        lecture();
        std::rewind(f1);
        lecture();
        en_cours = false;
    }

    stdin = consola;
    std::fclose(entrada);
    for (std::FILE **f : {&f1, &f2, &f3, &f4, &f2d, &f3d, &f4d})
        ferme(*f);
    harness::release_program_grids();
    return 0;
}
