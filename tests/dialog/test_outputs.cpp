// Refused and interrupted runs leave the previous results as they were; inputs
// that are not what they seem; the notices about levels that miss the image.
#include "run_tolvane.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const char *const OUTPUTS[] = {"dem_m1.raw", "dem_m2.raw", "dem_m4.raw", "dem_m1.txt", "dem_m2.txt", "dem_m4.txt"};
const std::string FOLDER = "c:\\images\\zona\\";

// images/zona/dem_c4.raw of 3 lines [100 E E E 200] (line 1 is one zone of the
// table 100, 200), its descriptor, and six previous results holding their names.
struct Zone {
    prueba::Carpeta carpeta;
    explicit Zone(std::vector<std::int32_t> imagen = {}, const std::string &descriptor = "3 5 4 0 0 7\n")
    {
        if (imagen.empty())
            for (int i = 0; i < 3; i++)
                imagen.insert(imagen.end(), {100, VIDE, VIDE, VIDE, 200});
        prueba::escribe(file("dem_c4.raw"), prueba::celdas(imagen));
        prueba::escribe(file("dem_c4.txt"), descriptor);
        for (const char *s : OUTPUTS)
            prueba::escribe(file(s), std::string("anterior ") + s);
    }
    fs::path file(const std::string &name) const { return carpeta.imagen("zona", name); }
    prueba::Resultado run(const std::string &answers, const std::string &before = "") const
    {
        return prueba::ejecuta(carpeta, answers, before);
    }
    // Only after SIGKILL may hidden temporaries and the lock file be left; no run
    // takes them for results.
    void previous_results_intact(bool leftovers = false, const std::string &input = "") const
    {
        for (const char *s : OUTPUTS)
            EXPECT_TRUE(s == input || prueba::lee(file(s)) == std::string("anterior ") + s) << s << " changed";
        for (const auto &e : fs::directory_iterator(file("").parent_path())) {
            const std::string name = e.path().filename().string();
            const bool temporary = name == ".dem.tolvane-lock"
                                   || (name[0] == '.' && name.find(".tmp-") != std::string::npos);
            EXPECT_TRUE(name.rfind("dem_", 0) == 0 || (leftovers && temporary)) << name << " left in the folder";
        }
    }
};

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

long cpu_ticks(pid_t pid)
{
    std::istringstream stat(prueba::lee("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    long ticks = 0;
    for (int n = 1; n <= 15 && stat >> field; n++) // the name has no blank here
        if (n == 14 || n == 15)
            ticks += std::stol(field);
    return ticks;
}

// Each signal comes while the phases run on a 2000 x 2000 sheet, after 50 ms of CPU.
TEST(Interrupciones, SignalsDuringTheComputationKeepThePreviousResults)
{
    Zone z;
    const std::string gen = "'" GENERA_BIN "' '" + z.file("dem").string() + "' 2000 2000 40 10 1 > /dev/null";
    ASSERT_EQ(std::system(gen.c_str()), 0);
    const fs::path answers = z.carpeta.raiz() / ".respuestas";
    prueba::escribe(answers, "zona dem 0 10 390 10 1\n");
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(sig);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(z.carpeta.raiz().c_str()) == 0 && dup2(open(answers.c_str(), O_RDONLY), 0) == 0
                && dup2(open("/dev/null", O_WRONLY), 1) == 1)
                execl(TOLVANE_BIN, TOLVANE_BIN, static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0 && cpu_ticks(pid) < 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(kill(pid, sig), 0);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "the run ended before the signal";
        z.previous_results_intact(sig == SIGKILL);
    }
}

// Runs refused at the start: nothing replaced, no temporary left, no wait on a
// FIFO. When we are root, the runs go as nobody, so that permissions count.
TEST(Rechazos, RefusedRunsReplaceNothing)
{
    // The input moved to an output's name and linked back (0 symbolic, 1 hard).
    const auto link = [](int kind, const char *input, const char *output) {
        return [=](const Zone &z) {
            fs::rename(z.file(input), z.file(output));
            kind == 0 ? fs::create_symlink(output, z.file(input)) : fs::create_hard_link(z.file(output), z.file(input));
        };
    };
    const auto not_a_file = [](bool fifo) {
        return [=](const Zone &z) {
            fs::remove(z.file("dem_c4.raw"));
            fifo ? (void)mkfifo(z.file("dem_c4.raw").c_str(), 0600) : (void)fs::create_directory(z.file("dem_c4.raw"));
        };
    };
    // A FIFO or a character device (a link to /dev/null when no node can be made)
    // where a result goes.
    const auto special = [](bool fifo, const char *output) {
        return [=](const Zone &z) {
            fs::remove(z.file(output));
            if (fifo)
                (void)mkfifo(z.file(output).c_str(), 0600);
            else if (mknod(z.file(output).c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                fs::create_symlink("/dev/null", z.file(output));
        };
    };
    const std::string SAME = ": es el mismo archivo que ";
    const std::string IMAGE = "\n La imagen " + FOLDER + "dem_c4.raw ";
    struct Case {
        std::function<void(const Zone &)> setup;
        std::string end, moved = ""; // moved: the output that is an input
    } cases[] = {
        {[](const Zone &z) { prueba::escribe(z.file("dem_c4.raw"), prueba::celdas(std::vector<std::int32_t>(15, VIDE))); },
         "\n\n Lectura \n" + IMAGE + "no tiene ninguna altitud: todos sus pixeles valen 10000000\n"},
        {not_a_file(false), IMAGE + "no es un archivo normal: es una carpeta\n"},
        {not_a_file(true), IMAGE + "no es un archivo normal: es una tuberia (FIFO)\n"},
        {link(0, "dem_c4.raw", "dem_m4.raw"),
         "\n No such File " + FOLDER + "dem_m4.raw" + SAME + "la imagen de entrada " + FOLDER + "dem_c4.raw\n", "dem_m4.raw"},
        {link(1, "dem_c4.raw", "dem_m4.raw"),
         "\n No such File " + FOLDER + "dem_m4.raw" + SAME + "la imagen de entrada " + FOLDER + "dem_c4.raw\n", "dem_m4.raw"},
        {link(0, "dem_c4.txt", "dem_m1.txt"),
         "\n No such File " + FOLDER + "dem_m1.txt" + SAME + "el descriptor de entrada " + FOLDER + "dem_c4.txt\n",
         "dem_m1.txt"},
        {[](const Zone &z) { fs::permissions(z.file("dem_m2.raw"), fs::perms::all, fs::perm_options::remove); },
         "\n No such File " + FOLDER + "dem_m2.raw: permiso denegado\n"},
        {special(true, "dem_m2.raw"),
         "\n No such File " + FOLDER + "dem_m2.raw: es una tuberia con nombre (FIFO), no un archivo\n", "dem_m2.raw"},
        {special(false, "dem_m4.txt"), "\n No such File " + FOLDER + "dem_m4.txt: es un dispositivo, no un archivo\n",
         "dem_m4.txt"},
        // Altitudes that would meet the empty marker, above it or below zero.
        {[](const Zone &z) { prueba::escribe(z.file("dem_c4.raw"), prueba::celdas({100, VIDE, VIDE, VIDE, 200, 100, VIDE,
                                                                                 VIDE, VIDE, 20000100, 100, VIDE, VIDE,
                                                                                 VIDE, -10000000})); },
         "\n\n Lectura \n" + IMAGE + "tiene altitudes fuera de -9999999 a 9999999: 20000100 en la linea 1, columna 4\n"},
    };
    const bool root = geteuid() == 0;
    if (root && std::system("command -v setpriv > /dev/null") != 0)
        GTEST_SKIP() << "root, and no setpriv to run as another user";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.end);
        Zone z;
        c.setup(z);
        const bool regular = fs::is_regular_file(z.file("dem_c4.raw"));
        const std::string image = regular ? prueba::lee(z.file("dem_c4.raw")) : "";
        const std::string descriptor = prueba::lee(z.file("dem_c4.txt"));
        const fs::file_type kind = c.moved.empty() ? fs::file_type::none : fs::symlink_status(z.file(c.moved)).type();
        if (root) { // nobody may not reach the build folder: it runs a copy of the program
            fs::copy_file(TOLVANE_BIN, z.carpeta.raiz() / "tolvane");
            ASSERT_EQ(chown(z.carpeta.raiz().c_str(), 65534, 65534), 0);
            for (const auto &e : fs::recursive_directory_iterator(z.carpeta.raiz()))
                ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
        }
        const prueba::Resultado r = z.run(
            "zona dem 0 100 200 100 1\n",
            root ? "timeout 60 setpriv --reuid=65534 --regid=65534 --clear-groups sh -c ./tolvane" : "timeout 60");
        EXPECT_EQ(r.estado, 1);
        EXPECT_TRUE(ends_with(r.salida, c.end)) << r.salida;
        if (regular) {
            EXPECT_EQ(prueba::lee(z.file("dem_c4.raw")), image);
        }
        EXPECT_EQ(prueba::lee(z.file("dem_c4.txt")), descriptor);
        z.previous_results_intact(false, c.moved);
        if (!c.moved.empty()) {
            EXPECT_EQ(fs::symlink_status(z.file(c.moved)).type(), kind) << c.moved << " was replaced";
        }
    }
}

// A signal during the renames that publish the six (each slowed down by strace)
// is held until they are done: the run ends with the signal, all six new, and
// no hidden name left. With two threads, the signal may reach either.
TEST(Interrupciones, ASignalDuringTheRenamesLeavesOneWholeSet)
{
    if (std::system("strace -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no strace to slow the renames down";
    Zone z;
    const fs::path root = z.carpeta.raiz();
    prueba::escribe(root / ".respuestas", "zona dem 0 100 200 100 1\n");
    const std::string script =
        "cd '" + root.string() + "' && { TOLVANE_THREADS=2 strace -f -qq -o .trace -e trace=rename "
        "-e inject=rename:delay_exit=300000 sh -c 'echo $$ > .pid; exec \"$0\"' '" TOLVANE_BIN "' < .respuestas "
        "> /dev/null & for i in $(seq 2000); do grep -q 'rename(' .trace 2> /dev/null && break; sleep 0.005; done; "
        "kill -TERM $(cat .pid); wait $!; echo $? > .status; rm -f .trace .pid .respuestas .signal.sh; }\n";
    prueba::escribe(root / ".signal.sh", script);
    ASSERT_EQ(std::system(("bash '" + (root / ".signal.sh").string() + "'").c_str()), 0);
    EXPECT_EQ(prueba::lee(root / ".status"), "143\n");
    for (const char *s : OUTPUTS)
        EXPECT_NE(prueba::lee(z.file(s)), std::string("anterior ") + s) << s << " is the previous one";
    for (const auto &e : fs::directory_iterator(z.file("").parent_path()))
        EXPECT_EQ(e.path().filename().string().rfind("dem_", 0), 0u) << e.path() << " left in the folder";
}

// A descriptor that is a folder or a FIFO is passed over with its cause and the
// sizes are asked; a byte-order mark before its numbers is skipped. A result
// whose name is a symbolic link replaces the link, not the file it points to.
TEST(Rechazos, DescriptorsAndLinkedOutputs)
{
    for (bool fifo : {false, true}) {
        Zone z;
        fs::remove(z.file("dem_c4.txt"));
        fifo ? (void)mkfifo(z.file("dem_c4.txt").c_str(), 0600) : (void)fs::create_directory(z.file("dem_c4.txt"));
        const prueba::Resultado r = z.run("zona dem 3 5 7 0 100 200 100 1\n", "timeout 60");
        EXPECT_EQ(r.estado, 0);
        EXPECT_NE(r.salida.find("\n No hay archivo " + FOLDER + "dem_c4.txt: "
                                + (fifo ? "es una tuberia (FIFO)" : "es una carpeta") + "\n\n\n\tNumero de lineas   ? "),
                  std::string::npos);
    }
    Zone z({}, "\xEF\xBB\xBF" "3 5 4 0 0 7\n");
    const fs::path other = z.carpeta.raiz() / "otro.raw";
    prueba::escribe(other, "otro");
    fs::remove(z.file("dem_m4.raw"));
    fs::create_symlink(other, z.file("dem_m4.raw"));
    const prueba::Resultado r = z.run("zona dem 0 100 200 100 1\n");
    EXPECT_EQ(r.estado, 0);
    EXPECT_EQ(r.salida.find("no es valido"), std::string::npos) << r.salida;
    EXPECT_EQ(prueba::lee(z.file("dem_m4.txt")), "3\n5\n4\n100\n200\n7\n");
    EXPECT_FALSE(fs::is_symlink(z.file("dem_m4.raw")));
    EXPECT_EQ(prueba::lee(z.file("dem_m4.raw")).size(), 60u);
    EXPECT_EQ(prueba::lee(other), "otro");
}

const std::set<std::string> OTHER_RESULTS = {"otro_m1.raw", "otro_m1.txt", "otro_m2.raw",
                                             "otro_m2.txt", "otro_m4.raw", "otro_m4.txt"};

// What is in the run's folder besides the two inputs and the six dem_m* names.
std::set<std::string> extra_entries(const Zone &z)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(z.file("").parent_path())) {
        const std::string name = e.path().filename().string();
        if (name.rfind("dem_", 0) != 0)
            names.insert(name);
    }
    return names;
}

// Runs with `answers`; with `during`, that shell text runs once the run has its
// temporaries (it then waits at the first altitude question) and `rest` follows;
// what `during` started in the background is waited for.
prueba::Resultado run_staged(const Zone &z, const std::string &before, const std::string &answers,
                             const std::string &during, const std::string &rest)
{
    const fs::path root = z.carpeta.raiz();
    prueba::escribe(root / ".respuestas", answers);
    prueba::escribe(root / ".resto", rest);
    const std::string stage = during.empty() ? ""
                                             : "for i in $(seq 3000); do ls images/zona/.dem_m4.txt.tmp-* > /dev/null "
                                               "2>&1 && break; sleep 0.01; done; "
                                                   + during + "; ";
    const std::string command = "cd '" + root.string() + "' && " + before + " { cat .respuestas; " + stage
                                + "cat .resto; wait; } | timeout 60 '" TOLVANE_BIN "' > .salida 2> .errores";
    const int status = std::system(command.c_str());
    prueba::Resultado r;
    r.estado = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.salida = prueba::lee(root / ".salida");
    r.errores = prueba::lee(root / ".errores");
    return r;
}

// Each row: what is done before the run, the answers, what is done while the run
// waits with its temporaries (then the altitudes 100 200 100 and no smoothing
// follow), the exit status, what the transcript ends with (or, for a run that
// goes through, holds), whether the six previous results stay (but for the one
// the row itself replaced), and what else the folder holds afterwards.
TEST(Rechazos, FailedRunsLeaveNoFileAndKeepThePreviousResults)
{
    const std::string NEW = "\n\n Nombre del archivo a crear (sin ninguna extension) ? ";
    const std::string NUL = "\n Respuesta no valida: un nombre no puede contener el caracter nulo\n";
    const std::string END = "\n\n Fin de la entrada: falta una respuesta\n";
    using namespace std::string_literals;
    struct Case {
        std::string before, answers, during;
        int status;
        std::string shown;
        bool kept;
        std::string changed = "";
        std::set<std::string> extra = {};
    } cases[] = {
        // A name holding a NUL byte is asked again; it once left a file "nuevo".
        {"", "zona dem 1 nuevo\0x"s, "", 1, NEW + NUL + NEW + END, true},
        {"", "zona\0x zona dem\0x dem 1 nuevo\0x otro 100 200 100 1\n"s, "", 0,
         "\n\n Nombre de la carpeta (en C:images) : " + NUL + "\n\n Nombre de la carpeta", true, "", OTHER_RESULTS},
        // The lock of the result set: a folder or a link in its place is refused; a
        // file left by a killed run is taken over and removed.
        {"mkdir images/zona/.dem.tolvane-lock &&", "zona dem 0\n", "", 1,
         "\n No se puede crear el archivo de bloqueo " + FOLDER + ".dem.tolvane-lock: es una carpeta\n", true, "",
         {".dem.tolvane-lock"}},
        {"ln -s ../elsewhere images/zona/.dem.tolvane-lock &&", "zona dem 0\n", "", 1,
         "\n No se puede crear el archivo de bloqueo " + FOLDER + ".dem.tolvane-lock: demasiados enlaces simbolicos\n",
         true, "", {".dem.tolvane-lock"}},
        {"touch images/zona/.dem.tolvane-lock &&", "zona dem 0 100 200 100 1\n", "", 0, "\n\n Guardando el archivo\n",
         false},
        // A rename that fails after others were done puts every previous result back.
        {"", "zona dem 0\n", "rm images/zona/.dem_m4.txt.tmp-*", 1,
         "\n Error de escritura en el archivo " + FOLDER + "dem_m4.txt: no existe\n", true},
        {"", "zona dem 0\n", "rm images/zona/dem_m4.txt && mkdir images/zona/dem_m4.txt", 1,
         "\n Error de escritura en el archivo " + FOLDER + "dem_m4.txt: es una carpeta\n", true, "dem_m4.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before + " | " + c.answers + " | " + c.during);
        const Zone z;
        const prueba::Resultado r = run_staged(z, c.before, c.answers, c.during, c.during.empty() ? "" : "100 200 100 1\n");
        EXPECT_EQ(r.estado, c.status);
        EXPECT_EQ(r.errores, "");
        if (c.status != 0)
            EXPECT_TRUE(ends_with(r.salida, c.shown)) << r.salida;
        else
            EXPECT_NE(r.salida.find(c.shown), std::string::npos) << r.salida;
        for (const char *o : OUTPUTS)
            EXPECT_TRUE(!c.kept || o == c.changed || prueba::lee(z.file(o)) == std::string("anterior ") + o) << o;
        EXPECT_EQ(extra_entries(z), c.extra);
        EXPECT_FALSE(fs::exists(z.carpeta.raiz() / "images" / "elsewhere"));
    }
}

// A runs and waits with its temporaries; B, started then on the same results,
// must wait for A with one notice, and C, on other results in the same folder,
// must not. B's six results are those of B alone (they differ from A's).
TEST(Concurrencia, RunsOnTheSameResultsFollowOneAnother)
{
    const std::string A = "100 200 100 1\n", B = "zona dem 0 200 100 100 1\n";
    std::string alone[2][6];
    for (int n = 0; n < 2; n++) {
        const Zone z;
        EXPECT_EQ(z.run(n == 0 ? "zona dem 0 " + A : B).estado, 0);
        for (int k = 0; k < 6; k++)
            alone[n][k] = prueba::lee(z.file(OUTPUTS[k]));
    }
    ASSERT_NE(alone[0][2], alone[1][2]);

    const Zone z;
    const fs::path root = z.carpeta.raiz();
    prueba::escribe(root / ".b", B);
    prueba::escribe(root / ".c", "zona dem 1 otro " + A);
    const std::string run = "timeout 60 '" TOLVANE_BIN "'";
    const prueba::Resultado r = run_staged(
        z, "", "zona dem 0\n",
        "{ " + run + " < .b > .salida_b & } && " + run + " < .c > .salida_c"
            + " && for i in $(seq 3000); do grep -q Aviso .salida_b && break; sleep 0.01; done",
        A);
    EXPECT_EQ(r.estado, 0);
    const std::string WAIT = "\n Aviso: otra ejecucion esta escribiendo los resultados " + FOLDER + "dem_m*: "
                             "se espera a que termine\n";
    const std::string outB = prueba::lee(root / ".salida_b"), outC = prueba::lee(root / ".salida_c");
    EXPECT_EQ(r.salida.find("Aviso: otra"), std::string::npos);
    EXPECT_EQ(outC.find("Aviso: otra"), std::string::npos);
    EXPECT_NE(outB.find(FOLDER + "dem_m4.txt \n" + WAIT + "\n\n Valor del altitud inferior ? "), std::string::npos) << outB;
    EXPECT_TRUE(ends_with(outB, "\n\n Guardando el archivo\n\n")) << outB;
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(prueba::lee(z.file(OUTPUTS[k])), alone[1][k]) << OUTPUTS[k];
    EXPECT_EQ(extra_entries(z), OTHER_RESULTS);
}

// The notices between the first reading and the zones, for the image above.
TEST(Avisos, OneLineForEachWayTheLevelsMissTheImage)
{
    const std::string OFF = "\n Aviso: pixeles de curva cuya altitud no es un nivel de la tabla ";
    const std::string MISSING = "\n Aviso: ningun pixel de la imagen tiene estos niveles de la tabla: ";
    const std::string NO_PIXEL = "\n Aviso: ningun pixel queda entre dos curvas de niveles consecutivos de la tabla: "
                                 "no hay interpolacion entre curvas\n";
    std::vector<std::int32_t> stray;
    for (int i = 0; i < 3; i++)
        stray.insert(stray.end(), {100, i == 0 ? 150 : VIDE, VIDE, VIDE, 200});
    const struct {
        std::string altitudes, notices;
    } cases[] = {
        {"100 200 100", ""},
        {"100 400 100", MISSING + "300, 400\n"},
        {"0 400 200", OFF + "(de 0 a 400 cada 200), fuera de toda zona: 3\n" + MISSING + "0, 400\n" + NO_PIXEL},
        {"200 100 100", "\n Aviso: la tabla de niveles (de 200 a 100 cada 100) no tiene ninguna zona: no hay "
                        "interpolacion entre curvas\n"},
        {"200 100 -100", NO_PIXEL},
        {"100 2000 10", MISSING + "110, 120, 130, 140, 150, 160, 170, 180, 190, 210, 220, 230... (189 en total)\n"
                            + NO_PIXEL},
        {"stray 100 200 100", OFF + "(de 100 a 200 cada 100), fuera de toda zona: 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.altitudes);
        const bool with_stray = c.altitudes.rfind("stray ", 0) == 0;
        const Zone z(with_stray ? stray : std::vector<std::int32_t>{});
        const std::string out = z.run("zona dem 0 " + c.altitudes.substr(with_stray ? 6 : 0) + " 1\n").salida;
        const std::size_t begin = out.find("\n\n Lectura \n") + 12;
        EXPECT_EQ(out.substr(begin, std::min(out.find("\n\n t", begin), out.find("\n\n T", begin)) - begin), c.notices);
    }
}

} // namespace
