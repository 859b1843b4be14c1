// Bad input and failing files, end to end: every case runs the real program in a
// temporary folder and checks the exit status, the message, that nothing crashed,
// that the input files are unchanged and that nothing appeared outside the run.
#include "run_tolvane.h"
#include "tolvane.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

namespace fs = std::filesystem;
using prueba::Resultado;

// 3 lines x 4 columns: contour 100 on line 0, contour 200 on line 2, a gap between.
// With the altitudes 100, 300 and 100 the gap is filled with 150, so every
// complete run leaves 100 and 200 as the extremes of the 4-byte descriptor.
const std::string IMAGEN = prueba::celdas({100, 100, 100, 100, VIDE, VIDE, VIDE, VIDE, 200, 200, 200, 200});
const std::string DESCRIPTOR = "3 4 4 100 200 25\n";

const std::string CARPETA = "\n\n Nombre de la carpeta (en C:images) : ";
const std::string NOMBRE = "\n\n Nombre del archivo a utilizar (sin extension _c4.raw) ? ";
const std::string LINEAS = "\n\tNumero de lineas   ? ";
const std::string COLUMNAS = "\n\tNumero de columnas ? ";
const std::string PIXEL = "\n\tTamano del pixel   ? ";
const std::string ELECCION = "\n\n 0 -----> Uso del nombre de origen dem ? \n 1 -----> Creacion de un nuevo nombre ? ";
const std::string NUEVO = "\n\n Nombre del archivo a crear (sin ninguna extension) ? ";
const std::string INFERIOR = "\n\n Valor del altitud inferior ? ";
const std::string SUPERIOR = " Valor del altitud superior ? ";
const std::string INTERVALO = " Intervalo altimetrico      ? ";
const std::string MAILLE = "\n Suavizacion (1, 3, 5, 7 o 9) ? ";

const std::string FIN_ENTRADA = "\n\n Fin de la entrada: falta una respuesta\n";
const std::string NO_NUMERO = "\n Respuesta no valida: se espera un numero entero\n";
const std::string NO_POSITIVO = "\n El valor debe ser positivo\n";
const std::string NO_VALIDO =
    "\n El archivo c:\\images\\zona\\dem_c4.txt no es valido: se esperan seis enteros, lineas y columnas positivas \n\n";
const std::string FUERA_DE_RANGO = "\n Curvas de nivel fuera del rango de los enteros\n";
const std::string FUERA_DE_LAS_ALTITUDES = "\n Curvas de nivel fuera de -9999999 a 9999999\n";

const std::vector<std::string> SALIDAS = {"dem_m1.raw", "dem_m2.raw", "dem_m4.raw",
                                          "dem_m1.txt", "dem_m2.txt", "dem_m4.txt"};

std::size_t cuenta(const std::string &texto, const std::string &trozo)
{
    std::size_t n = 0;
    for (std::size_t p = texto.find(trozo); p != std::string::npos; p = texto.find(trozo, p + 1))
        n++;
    return n;
}

bool termina_con(const std::string &texto, const std::string &final)
{
    return texto.size() >= final.size() && texto.compare(texto.size() - final.size(), final.size(), final) == 0;
}

// A temporary root with the run's folder trabajo/ inside it, holding
// images/zona/dem_c4.raw and, unless told otherwise, its descriptor. Everything
// under the root is recorded before a run, so that afterwards the inputs can be
// compared and anything new can be listed.
class Escenario {
public:
    explicit Escenario(const std::string *descriptor = &DESCRIPTOR, const std::string &imagen = IMAGEN)
    {
        fs::create_directories(zona());
        prueba::escribe(archivo("dem_c4.raw"), imagen);
        if (descriptor != nullptr)
            prueba::escribe(archivo("dem_c4.txt"), *descriptor);
    }

    fs::path zona() const { return carpeta_.raiz() / "trabajo" / "images" / "zona"; }
    fs::path archivo(const std::string &nombre) const { return zona() / nombre; }

    // Runs the program in trabajo/ with the answers; `antes` is shell text run first.
    Resultado corre(const std::string &respuestas, const std::string &antes = "")
    {
        antes_ = inventario();
        Resultado r = prueba::ejecuta(carpeta_, respuestas, antes + " cd trabajo &&");
        EXPECT_LT(r.estado, 128) << "ended by a signal";
        EXPECT_EQ(r.errores, "") << "something was reported on standard error";
        // Every file that was there before is still there, unchanged.
        const std::map<std::string, std::string> despues = inventario();
        for (const auto &[ruta, contenido] : antes_) {
            auto it = despues.find(ruta);
            EXPECT_TRUE(it != despues.end() && it->second == contenido) << ruta << " changed or vanished";
        }
        return r;
    }

    // Files and folders that the last run added, relative to the run's folder;
    // anything added outside it fails the test.
    std::set<std::string> nuevos() const
    {
        std::set<std::string> lista;
        for (const auto &[ruta, contenido] : inventario())
            if (antes_.count(ruta) == 0 && ruta.rfind(".", 0) != 0) {
                EXPECT_EQ(ruta.rfind("trabajo/", 0), 0u) << ruta << " written outside the run's folder";
                lista.insert(fs::path(ruta).filename().string());
            }
        return lista;
    }

private:
    // Every entry under the root: content of small regular files, size of large
    // ones, target of symbolic links (never followed), a mark for folders.
    std::map<std::string, std::string> inventario() const
    {
        std::map<std::string, std::string> m;
        for (const auto &e : fs::recursive_directory_iterator(carpeta_.raiz())) {
            const std::string ruta = fs::relative(e.path(), carpeta_.raiz()).string();
            if (e.is_symlink())
                m[ruta] = "-> " + fs::read_symlink(e.path()).string();
            else if (e.is_directory())
                m[ruta] = "/";
            else if (e.file_size() > (1u << 20))
                m[ruta] = "size " + std::to_string(e.file_size());
            else
                m[ruta] = prueba::lee(e.path());
        }
        return m;
    }

    prueba::Carpeta carpeta_;
    std::map<std::string, std::string> antes_;
};

std::set<std::string> todas_las_salidas() { return {SALIDAS.begin(), SALIDAS.end()}; }

// ---------------------------------------------------------------------------
// Input image and descriptor

TEST(ArchivosDeEntrada, MissingImageEndsTheRunBeforeTheDescriptorIsLookedFor)
{
    Escenario e;
    fs::remove(e.archivo("dem_c4.raw"));
    const Resultado r = e.corre("zona\ndem\n0\n");
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(termina_con(r.salida, NOMBRE + "\n File c:\\images\\zona\\dem_c4.raw unknown: no existe\n")) << r.salida;
    EXPECT_EQ(e.nuevos(), std::set<std::string>{});
}

TEST(ArchivosDeEntrada, MissingDescriptorAsksTheThreeSizes)
{
    Escenario e(nullptr);
    const Resultado r = e.corre("zona dem 3 4 7 0 100 300 100 1\n");
    EXPECT_EQ(r.estado, 0);
    EXPECT_NE(r.salida.find(NOMBRE + "\n No hay archivo c:\\images\\zona\\dem_c4.txt \n\n" + LINEAS + COLUMNAS + PIXEL
                            + "\n\n    LA IMAGEN TIENE :  \n"),
              std::string::npos)
        << r.salida;
    EXPECT_EQ(prueba::lee(e.archivo("dem_m4.txt")), "3\n4\n4\n100\n200\n7\n");
    EXPECT_EQ(e.nuevos(), todas_las_salidas());
}

TEST(ArchivosDeEntrada, UntrustedDescriptorIsNamedAndTheSizesAreAsked)
{
    const std::vector<std::string> descriptores = {
        "",                        // empty
        "3 4 4 100 200",           // five integers
        "tres cuatro cuatro",      // words
        "3 4 x 100 200 25",        // garbage after two integers
        "0 4 4 100 200 25",        // no lines
        "3 0 4 100 200 25",        // no columns
        "-3 4 4 100 200 25",       // negative lines
        "3 -4 4 100 200 25",       // negative columns
        "99999999999 4 4 0 0 25",  // beyond int
    };
    for (const std::string &d : descriptores) {
        SCOPED_TRACE("descriptor \"" + d + "\"");
        Escenario e(&d);
        const Resultado r = e.corre("zona dem 3 4 7 0 100 300 100 1\n");
        EXPECT_EQ(r.estado, 0);
        EXPECT_NE(r.salida.find(NOMBRE + NO_VALIDO + LINEAS + COLUMNAS + PIXEL), std::string::npos) << r.salida;
        EXPECT_EQ(prueba::lee(e.archivo("dem_m4.txt")), "3\n4\n4\n100\n200\n7\n");
    }
}

TEST(ArchivosDeEntrada, ZeroOrNegativeSizesAreAskedAgain)
{
    Escenario e(nullptr);
    const Resultado r = e.corre("zona dem 0 -3 3 -4 4 0 -1 7 0 100 300 100 1\n");
    EXPECT_EQ(r.estado, 0);
    const std::string esperado = LINEAS + NO_POSITIVO + LINEAS + NO_POSITIVO + LINEAS + COLUMNAS + NO_POSITIVO
                                 + COLUMNAS + PIXEL + NO_POSITIVO + PIXEL + NO_POSITIVO + PIXEL
                                 + "\n\n    LA IMAGEN TIENE :  \n";
    EXPECT_NE(r.salida.find(esperado), std::string::npos) << r.salida;
    EXPECT_EQ(prueba::lee(e.archivo("dem_m4.txt")), "3\n4\n4\n100\n200\n7\n");
}

TEST(ArchivosDeEntrada, ShortImageIsReportedBeforeAnyOutputExists)
{
    struct Caso {
        std::string descriptor, respuestas, imagen, informe;
    };
    const std::vector<Caso> casos = {
        {DESCRIPTOR, "zona dem 0\n", IMAGEN.substr(0, 40),
         "\n            3 LINEAS\n\n          Y 4 COLUMNAS\n"
         "\n La imagen c:\\images\\zona\\dem_c4.raw es demasiado corta: 48 bytes para 3 lineas y 4 columnas, "
         "y tiene 40 bytes\n"},
        {DESCRIPTOR, "zona dem 0\n", "",
         "\n La imagen c:\\images\\zona\\dem_c4.raw es demasiado corta: 48 bytes para 3 lineas y 4 columnas, "
         "y tiene 0 bytes\n"},
        // Enormous sizes are refused by the same check, before any grid is asked for.
        {"200000 200000 4 0 0 1", "zona dem 0\n", IMAGEN,
         "\n La imagen c:\\images\\zona\\dem_c4.raw es demasiado corta: 160000000000 bytes para 200000 lineas y "
         "200000 columnas, y tiene 48 bytes\n"},
        {"", "zona dem 200000 200000 1 0\n", IMAGEN,
         PIXEL + "\n\n    LA IMAGEN TIENE :  \n\n            200000 LINEAS\n\n          Y 200000 COLUMNAS\n"
             "\n La imagen c:\\images\\zona\\dem_c4.raw es demasiado corta: 160000000000 bytes para 200000 lineas y "
             "200000 columnas, y tiene 48 bytes\n"},
    };
    for (const Caso &c : casos) {
        SCOPED_TRACE(c.informe);
        Escenario e(&c.descriptor, c.imagen);
        const Resultado r = e.corre(c.respuestas);
        EXPECT_EQ(r.estado, 1);
        EXPECT_TRUE(termina_con(r.salida, c.informe)) << r.salida;
        EXPECT_EQ(e.nuevos(), std::set<std::string>{});
    }
}

TEST(ArchivosDeEntrada, GridsThatCannotBeAllocatedEndTheRun)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    // 10000 x 10000 cells: the image is sparse, the five grids need 1.5 GB.
    const std::string descriptor = "10000 10000 4 0 0 1";
    Escenario e(&descriptor, "");
    fs::resize_file(e.archivo("dem_c4.raw"), 10000ull * 10000ull * 4ull);
    const Resultado r = e.corre("zona dem 0 100 300 100 1\n", "ulimit -v 300000;");
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(termina_con(r.salida, "\n No hay memoria suficiente para una imagen de 10000 lineas y 10000 columnas\n"))
        << r.salida.substr(r.salida.size() > 400 ? r.salida.size() - 400 : 0);
}

// ---------------------------------------------------------------------------
// Output files

TEST(ArchivosDeSalida, AFolderStandingAtAnOutputNameEndsTheRun)
{
    for (const std::string &nombre : SALIDAS) {
        SCOPED_TRACE(nombre);
        Escenario e;
        fs::create_directory(e.archivo(nombre));
        const Resultado r = e.corre("zona dem 0 100 300 100 1\n");
        EXPECT_EQ(r.estado, 1);
        EXPECT_TRUE(termina_con(r.salida, "\n No such File c:\\images\\zona\\" + nombre + ": es una carpeta\n"))
            << r.salida;
        EXPECT_TRUE(fs::is_directory(e.archivo(nombre)));
    }
}

// A write that fails (here past the file size limit, as it would on a full disk)
// names its file and the cause; the previous results stay as they were and no
// temporary file is left.
TEST(ArchivosDeSalida, AFailedWriteKeepsThePreviousResults)
{
    const std::string descriptor = "64 64 4 0 0 1";
    Escenario e(&descriptor, prueba::celdas(std::vector<std::int32_t>(64 * 64, 150)));
    for (const std::string &nombre : SALIDAS)
        prueba::escribe(e.archivo(nombre), "anterior " + nombre);
    // 10 blocks of 512 bytes: the 1-byte image (4096 bytes) fits, the 4-byte one does not.
    const Resultado r = e.corre("zona dem 0 100 200 100 1\n", "trap '' XFSZ; ulimit -f 10;");
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(termina_con(r.salida, "\n Error de escritura en el archivo c:\\images\\zona\\dem_m4.raw: "
                                      "archivo demasiado grande\n"))
        << r.salida;
    EXPECT_EQ(e.nuevos(), std::set<std::string>{});
}

TEST(ArchivosDeSalida, NamesOfTenThousandCharactersFailCleanly)
{
    const std::string largo(10000, 'a');
    struct Caso {
        std::string respuestas, informe;
    };
    const std::vector<Caso> casos = {
        {largo + " dem 0\n", "\n File c:\\images\\" + largo + "\\dem_c4.raw unknown: nombre demasiado largo\n"},
        {"zona " + largo + " 0\n", "\n File c:\\images\\zona\\" + largo + "_c4.raw unknown: nombre demasiado largo\n"},
        {"zona dem 1 " + largo + " 100 300 100 1\n",
         "\n No such File c:\\images\\zona\\" + largo + "_m1.raw: nombre demasiado largo\n"},
    };
    for (const Caso &c : casos) {
        Escenario e;
        const Resultado r = e.corre(c.respuestas);
        EXPECT_EQ(r.estado, 1);
        EXPECT_TRUE(termina_con(r.salida, c.informe)) << r.salida.substr(r.salida.size() - 200);
        EXPECT_EQ(e.nuevos(), std::set<std::string>{});
    }
}

// ---------------------------------------------------------------------------
// Answers

TEST(Respuestas, EndOfInputAtEachQuestionEndsTheRun)
{
    // Without a descriptor and with a new output name, every question is asked.
    const std::vector<std::string> respuestas = {"zona", "dem", "3", "4", "7", "1", "nuevo", "100", "300", "100", "1"};
    const std::vector<std::string> preguntas = {CARPETA, NOMBRE,   LINEAS,   COLUMNAS,  PIXEL, ELECCION,
                                                NUEVO,   INFERIOR, SUPERIOR, INTERVALO, MAILLE};
    for (std::size_t n = 0; n < preguntas.size(); n++) {
        std::string entrada;
        for (std::size_t k = 0; k < n; k++)
            entrada += respuestas[k] + "\n";
        SCOPED_TRACE("answers: " + entrada);
        Escenario e(nullptr);
        for (const char *sufijo : {"_m1.raw", "_m2.raw", "_m4.raw", "_m1.txt", "_m2.txt", "_m4.txt"})
            prueba::escribe(e.archivo(std::string("nuevo") + sufijo), std::string("anterior") + sufijo);
        const Resultado r = e.corre(entrada);
        EXPECT_EQ(r.estado, 1);
        EXPECT_TRUE(termina_con(r.salida, preguntas[n] + FIN_ENTRADA)) << r.salida;
        // The previous results are unchanged (checked by corre) and no temporary is left.
        EXPECT_EQ(e.nuevos(), std::set<std::string>{});
    }
}

TEST(Respuestas, UnreadableAnswerFollowedByEndOfInputDoesNotLoop)
{
    Escenario e;
    const Resultado r = e.corre("zona dem 0 100 300 100 x");
    EXPECT_EQ(r.estado, 1);
    EXPECT_TRUE(termina_con(r.salida, MAILLE + NO_NUMERO + MAILLE + FIN_ENTRADA)) << r.salida;
}

TEST(Respuestas, WordsThatAreNotIntegersAreAskedAgainAtEveryNumericQuestion)
{
    Escenario e(nullptr);
    const Resultado r = e.corre("zona dem x 3 4x 4 + 7 1.5 0 abc 100 -- 300 0x10 100 99999999999 1\n");
    EXPECT_EQ(r.estado, 0);
    EXPECT_EQ(cuenta(r.salida, NO_NUMERO), 7u);
    for (const std::string &p : {LINEAS, COLUMNAS, PIXEL, ELECCION, INFERIOR, SUPERIOR, INTERVALO})
        EXPECT_NE(r.salida.find(p + NO_NUMERO + p), std::string::npos) << p;
    // A number that does not fit an int is named as such.
    EXPECT_NE(r.salida.find(MAILLE + "\n Respuesta no valida: el numero esta fuera del rango de los enteros\n" + MAILLE),
              std::string::npos);
    EXPECT_EQ(prueba::lee(e.archivo("dem_m4.txt")), "3\n4\n4\n100\n200\n7\n");
}

TEST(Respuestas, ChoiceOtherThanZeroOrOneIsAskedAgain)
{
    Escenario e;
    const Resultado r = e.corre("zona dem 2 -1 0 100 300 100 1\n");
    EXPECT_EQ(r.estado, 0);
    EXPECT_NE(r.salida.find(ELECCION + ELECCION + ELECCION + "\n IMAGENES Y ARCHIVOS"), std::string::npos) << r.salida;
    EXPECT_EQ(e.nuevos(), todas_las_salidas());
}

TEST(Respuestas, IntervalOfZeroIsAskedAgain)
{
    Escenario e;
    const Resultado r = e.corre("zona dem 0 100 300 0 0 100 1\n");
    EXPECT_EQ(r.estado, 0);
    const std::string refus = "\n El intervalo no puede ser 0\n";
    EXPECT_NE(r.salida.find(INTERVALO + refus + INTERVALO + refus + INTERVALO + MAILLE), std::string::npos) << r.salida;
    EXPECT_EQ(prueba::lee(e.archivo("dem_m4.txt")), "3\n4\n4\n100\n200\n25\n");
}

TEST(Respuestas, LevelsTheTableCannotHoldAskTheThreeAltitudesAgain)
{
    struct Caso {
        std::string altitudes, refus;
    };
    const std::vector<Caso> casos = {
        {"0 2550 10", "\n Demasiadas zonas (255): como maximo 254\n"},
        {"-2147483648 2147483647 1", "\n Demasiadas zonas (4294967295): como maximo 254\n"},
        {"2147483600 2147483647 100", FUERA_DE_RANGO},  // the upper contour of zone 1 is beyond int
        {"-2147483648 -2147483648 -1", FUERA_DE_RANGO}, // so is this one, below
        {"100 -2147483648 3647", FUERA_DE_RANGO},       // no zone, but upper - lower is beyond int
        {"9999900 10000000 100", FUERA_DE_LAS_ALTITUDES}, // the top level would be the empty marker
        {"-10000000 0 1000000", FUERA_DE_LAS_ALTITUDES},  // so would the lowest, below zero
    };
    for (const Caso &c : casos) {
        SCOPED_TRACE(c.altitudes);
        Escenario e;
        const Resultado r = e.corre("zona dem 0 " + c.altitudes + " 100 300 100 1\n");
        EXPECT_EQ(r.estado, 0);
        EXPECT_NE(r.salida.find(INTERVALO + c.refus + INFERIOR + SUPERIOR + INTERVALO + MAILLE), std::string::npos)
            << r.salida;
        EXPECT_EQ(prueba::lee(e.archivo("dem_m4.txt")), "3\n4\n4\n100\n200\n25\n");
    }
}

TEST(Respuestas, LevelTableLimits)
{
    struct Caso {
        long long inferior, superior, intervalo;
        bool aceptado;
    };
    const std::vector<Caso> casos = {
        {0, 2540, 10, true},                     // 254 zones, the most the table holds
        {0, 2550, 10, false},                    // 255
        {0, 2559, 10, false},                    // still 255: the remainder gets no zone
        {1000, 100, -100, true},                 // descending table, 9 zones
        {100, 50, 100, true},                    // no zone
        {9999899, 9999999, 100, true},           // the last level is the largest altitude
        {9999900, 9999999, 100, false},          // no zone, and mat[1] is the empty marker
        {-9999899, -9999999, -100, true},        // the same below zero
        {-9999900, -9999999, -100, false},
        {-9999999, 9999999, 9999999, true},      // the widest table: two zones
        {2147483547, 2147483647, 100, false},    // int holds these levels, the core's altitudes do not
        {-1000000000, 1147483647, 1000000000, false},
        {-2000000000, 2000000000, 2000000000, false}, // the levels fit in int, their difference does not
    };
    for (const Caso &c : casos)
        EXPECT_EQ(refus_niveaux(c.inferior, c.superior, c.intervalo).empty(), c.aceptado)
            << c.inferior << " " << c.superior << " " << c.intervalo;
}

} // namespace
