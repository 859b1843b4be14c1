// The previous results survive every interrupted or refused run; inputs that are
// not what they seem; the notices about levels that do not fit the image. Every
// case runs the real program in a temporary folder.
#include "run_tolvane.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using prueba::Carpeta;
using prueba::Resultado;

const std::vector<std::string> OUTPUTS = {"dem_m1.raw", "dem_m2.raw", "dem_m4.raw",
                                          "dem_m1.txt", "dem_m2.txt", "dem_m4.txt"};
const std::string FOLDER = "c:\\images\\zona\\";

// 3 lines x 5 columns, contour 100 on the left and 200 on the right of every line:
// line 1 between them is one zone of the table 100, 200.
std::vector<std::int32_t> two_contours()
{
    std::vector<std::int32_t> v;
    for (int i = 0; i < 3; i++)
        v.insert(v.end(), {100, VIDE, VIDE, VIDE, 200});
    return v;
}

// images/zona/ with dem_c4.raw, its descriptor and six previous results, each
// holding its own name.
struct Zone {
    Carpeta carpeta;
    explicit Zone(const std::vector<std::int32_t> &imagen = two_contours(), const std::string &descriptor = "3 5 4 0 0 7\n")
    {
        prueba::escribe(archivo("dem_c4.raw"), prueba::celdas(imagen));
        prueba::escribe(archivo("dem_c4.txt"), descriptor);
        for (const std::string &s : OUTPUTS)
            prueba::escribe(archivo(s), "anterior " + s);
    }
    fs::path archivo(const std::string &nombre) const { return carpeta.imagen("zona", nombre); }

    // The six previous results are byte for byte there; `leftovers` accepts hidden
    // temporaries left behind (only after SIGKILL), which no run takes for results.
    void previous_results_intact(bool leftovers = false) const
    {
        for (const std::string &s : OUTPUTS)
            EXPECT_EQ(prueba::lee(archivo(s)), "anterior " + s) << s;
        for (const auto &e : fs::directory_iterator(archivo("").parent_path())) {
            const std::string nombre = e.path().filename().string();
            if (nombre == "dem_c4.raw" || nombre == "dem_c4.txt"
                || std::find(OUTPUTS.begin(), OUTPUTS.end(), nombre) != OUTPUTS.end())
                continue;
            const bool temporary = nombre[0] == '.' && nombre.find(".tmp-") != std::string::npos;
            EXPECT_TRUE(leftovers && temporary) << nombre << " left in the folder";
        }
    }
};

bool ends_with(const std::string &texto, const std::string &final)
{
    return texto.size() >= final.size() && texto.compare(texto.size() - final.size(), final.size(), final) == 0;
}

// ---------------------------------------------------------------------------
// Interruptions

// CPU time used so far by a running process, in clock ticks.
long cpu_ticks(pid_t pid)
{
    const std::string stat = prueba::lee("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t p = stat.rfind(')');
    if (p == std::string::npos)
        return -1;
    std::istringstream campos(stat.substr(p + 2));
    std::string campo;
    long utime = 0, stime = 0;
    for (int n = 3; n <= 15 && campos >> campo; n++) {
        if (n == 14)
            utime = std::stol(campo);
        if (n == 15)
            stime = std::stol(campo);
    }
    return utime + stime;
}

// A signal sent while the phases run (the six temporaries exist, the grids are
// being computed) leaves the previous results; after SIGKILL only hidden
// temporaries may be left.
TEST(Interrupciones, SignalsDuringTheComputationKeepThePreviousResults)
{
    Zone z;
    // 2000 x 2000 pixels, 40 levels: a few tenths of a second of computation.
    const std::string orden = "'" GENERA_BIN "' '" + z.archivo("dem").string() + "' 2000 2000 40 10 1 > /dev/null";
    ASSERT_EQ(std::system(orden.c_str()), 0);
    const fs::path respuestas = z.carpeta.raiz() / ".respuestas";
    prueba::escribe(respuestas, "zona dem 0 10 390 10 1\n");

    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (chdir(z.carpeta.raiz().c_str()) != 0)
                _exit(127);
            const int entrada = open(respuestas.c_str(), O_RDONLY);
            const int nulo = open("/dev/null", O_WRONLY);
            dup2(entrada, 0);
            dup2(nulo, 1);
            execl(TOLVANE_BIN, TOLVANE_BIN, static_cast<char *>(nullptr));
            _exit(127);
        }
        // Past the dialog and the reading: 50 ms of CPU.
        int estado = 0;
        pid_t fin = 0;
        while ((fin = waitpid(pid, &estado, WNOHANG)) == 0 && cpu_ticks(pid) < 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(fin, 0) << "the run ended before the signal";
        kill(pid, sig);
        ASSERT_EQ(waitpid(pid, &estado, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(estado) && WTERMSIG(estado) == sig);
        z.previous_results_intact(sig == SIGKILL);
    }
}

// ---------------------------------------------------------------------------
// Inputs that are the outputs, outputs that are links

TEST(Enlaces, AnInputThatIsAnOutputIsNeverReplaced)
{
    struct Case {
        std::string entrada, salida, informe;
        bool simbolico;
    };
    const std::vector<Case> cases = {
        {"dem_c4.raw", "dem_m4.raw", "es el mismo archivo que la imagen de entrada " + FOLDER + "dem_c4.raw", true},
        {"dem_c4.raw", "dem_m4.raw", "es el mismo archivo que la imagen de entrada " + FOLDER + "dem_c4.raw", false},
        {"dem_c4.txt", "dem_m1.txt", "es el mismo archivo que el descriptor de entrada " + FOLDER + "dem_c4.txt", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entrada + (c.simbolico ? " -> " : " = ") + c.salida);
        Zone z;
        const std::string contenido = prueba::lee(z.archivo(c.entrada));
        fs::rename(z.archivo(c.entrada), z.archivo(c.salida));
        if (c.simbolico)
            fs::create_symlink(c.salida, z.archivo(c.entrada));
        else
            fs::create_hard_link(z.archivo(c.salida), z.archivo(c.entrada));
        const Resultado r = prueba::ejecuta(z.carpeta, "zona dem 0 100 200 100 1\n");
        EXPECT_EQ(r.estado, 1);
        EXPECT_TRUE(ends_with(r.salida, "\n No such File " + FOLDER + c.salida + ": " + c.informe + "\n")) << r.salida;
        EXPECT_EQ(prueba::lee(z.archivo(c.entrada)), contenido);
        prueba::escribe(z.archivo(c.salida), "anterior " + c.salida); // for the check of the others
        z.previous_results_intact();
    }
}

// A result whose name is a symbolic link replaces the link; the file it pointed
// to is not touched.
TEST(Enlaces, AnOutputThatIsALinkIsReplacedByTheResult)
{
    Zone z;
    const fs::path otro = z.carpeta.raiz() / "otro.raw";
    prueba::escribe(otro, "otro");
    fs::remove(z.archivo("dem_m4.raw"));
    fs::create_symlink(otro, z.archivo("dem_m4.raw"));
    const Resultado r = prueba::ejecuta(z.carpeta, "zona dem 0 100 200 100 1\n");
    EXPECT_EQ(r.estado, 0);
    EXPECT_FALSE(fs::is_symlink(z.archivo("dem_m4.raw")));
    EXPECT_EQ(prueba::lee(z.archivo("dem_m4.raw")).size(), 60u);
    EXPECT_EQ(prueba::lee(otro), "otro");
}

// A result the operator made read-only stops the run where the outputs are
// created, before any of the six is replaced (run as nobody when we are root).
TEST(Salidas, AReadOnlyResultIsLeftAlone)
{
    Zone z;
    fs::permissions(z.archivo("dem_m2.raw"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    std::string usuario;
    if (geteuid() == 0) {
        if (std::system("command -v setpriv > /dev/null") != 0)
            GTEST_SKIP() << "root, and no setpriv to run as another user";
        ASSERT_EQ(lchown(z.carpeta.raiz().c_str(), 65534, 65534), 0);
        for (const auto &e : fs::recursive_directory_iterator(z.carpeta.raiz()))
            ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
        usuario = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    }
    const Resultado r = prueba::ejecuta(z.carpeta, "zona dem 0 100 200 100 1\n", usuario);
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(ends_with(r.salida, "\n No such File " + FOLDER + "dem_m2.raw: permiso denegado\n")) << r.salida;
    z.previous_results_intact();
}

// ---------------------------------------------------------------------------
// Input data

TEST(Datos, AnImageWithoutAnyAltitudeEndsTheRun)
{
    Zone z(std::vector<std::int32_t>(15, VIDE));
    const Resultado r = prueba::ejecuta(z.carpeta, "zona dem 0 100 200 100 1\n");
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(ends_with(r.salida, "\n\n Lectura \n\n La imagen " + FOLDER
                                          + "dem_c4.raw no tiene ninguna altitud: todos sus pixeles valen 10000000\n"))
        << r.salida;
    z.previous_results_intact();
}

TEST(Datos, AByteOrderMarkBeforeTheDescriptorIsSkipped)
{
    Zone z(two_contours(), "\xEF\xBB\xBF" "3 5 4 0 0 7\n");
    const Resultado r = prueba::ejecuta(z.carpeta, "zona dem 0 100 200 100 1\n");
    EXPECT_EQ(r.estado, 0);
    EXPECT_EQ(r.salida.find("no es valido"), std::string::npos) << r.salida;
    EXPECT_EQ(prueba::lee(z.archivo("dem_m4.txt")), "3\n5\n4\n100\n200\n7\n");
}

// A folder or a FIFO where a file is expected: no wait, no garbage. The image is
// refused; the descriptor is passed over with its cause and the sizes are asked.
TEST(Datos, FoldersAndFifosInPlaceOfTheInputs)
{
    struct Case {
        std::string nombre;
        bool fifo;
        std::string respuestas, informe;
        int estado;
    };
    const std::vector<Case> cases = {
        {"dem_c4.raw", false, "zona dem\n", "\n La imagen " + FOLDER + "dem_c4.raw no es un archivo normal: es una carpeta\n", 1},
        {"dem_c4.raw", true, "zona dem\n",
         "\n La imagen " + FOLDER + "dem_c4.raw no es un archivo normal: es una tuberia (FIFO)\n", 1},
        {"dem_c4.txt", false, "zona dem 3 5 7 0 100 200 100 1\n",
         "\n No hay archivo " + FOLDER + "dem_c4.txt: es una carpeta\n\n\n\tNumero de lineas   ? ", 0},
        {"dem_c4.txt", true, "zona dem 3 5 7 0 100 200 100 1\n",
         "\n No hay archivo " + FOLDER + "dem_c4.txt: es una tuberia (FIFO)\n\n\n\tNumero de lineas   ? ", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.informe);
        Zone z;
        fs::remove(z.archivo(c.nombre));
        if (c.fifo)
            ASSERT_EQ(mkfifo(z.archivo(c.nombre).c_str(), 0600), 0);
        else
            fs::create_directory(z.archivo(c.nombre));
        const Resultado r = prueba::ejecuta(z.carpeta, c.respuestas, "timeout 60");
        EXPECT_EQ(r.estado, c.estado);
        if (c.estado == 1) {
            EXPECT_TRUE(ends_with(r.salida, c.informe)) << r.salida;
            z.previous_results_intact();
        } else {
            EXPECT_NE(r.salida.find(c.informe), std::string::npos) << r.salida;
        }
    }
}

// ---------------------------------------------------------------------------
// Notices about the levels, between the first reading and the zones

TEST(Avisos, OneLineForEachWayTheLevelsMissTheImage)
{
    const std::string FUERA = "\n Aviso: pixeles de curva cuya altitud no es un nivel de la tabla ";
    const std::string AUSENTES = "\n Aviso: ningun pixel de la imagen tiene estos niveles de la tabla: ";
    const std::string SIN_PIXELES = "\n Aviso: ningun pixel queda entre dos curvas de niveles consecutivos de la "
                                    "tabla: no hay interpolacion entre curvas\n";
    std::vector<std::int32_t> extra = two_contours();
    extra[1] = 150;
    struct Case {
        std::vector<std::int32_t> imagen;
        std::string altitudes, avisos;
    };
    const std::vector<Case> cases = {
        {two_contours(), "100 200 100", ""},
        {extra, "100 200 100", FUERA + "(de 100 a 200 cada 100), fuera de toda zona: 1\n"},
        {two_contours(), "100 400 100", AUSENTES + "300, 400\n"},
        // An interval that skips the levels of the image.
        {two_contours(), "0 400 200", FUERA + "(de 0 a 400 cada 200), fuera de toda zona: 3\n" + AUSENTES + "0, 400\n" + SIN_PIXELES},
        {two_contours(), "200 100 100",
         "\n Aviso: la tabla de niveles (de 200 a 100 cada 100) no tiene ninguna zona: no hay interpolacion entre "
         "curvas\n"},
        // A descending table labels nothing.
        {two_contours(), "200 100 -100", SIN_PIXELES},
        {two_contours(), "100 2000 10",
         AUSENTES + "110, 120, 130, 140, 150, 160, 170, 180, 190, 210, 220, 230... (189 en total)\n" + SIN_PIXELES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.altitudes);
        Zone z(c.imagen);
        const Resultado r = prueba::ejecuta(z.carpeta, "zona dem 0 " + c.altitudes + " 1\n");
        EXPECT_EQ(r.estado, 0);
        const std::size_t inicio = r.salida.find("\n\n Lectura \n") + 12;
        const std::size_t fin = r.salida.find("\n\n t", inicio);
        EXPECT_EQ(r.salida.substr(inicio, std::min(fin, r.salida.find("\n\n T", inicio)) - inicio), c.avisos);
    }
}

} // namespace
