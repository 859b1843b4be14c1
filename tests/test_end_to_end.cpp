// Complete runs of the built program: the whole console transcript, composed
// here from the dialog's messages, and every output file, byte for byte.
#include "grilles.h"
#include "run_tolvane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

using grilles::E;
using prueba::Carpeta;

const std::string BANNIERE =
    "\n\n\t**************************************************************"
    "\n\t*                                                            *"
    "\n\t*                     TOLVANE                                *"
    "\n\t*                                                            *"
    "\n\t*                                                            *"
    "\n\t*                                                            *"
    "\n\t*                                                            *"
    "\n\t*                         Equipo de desarrollo de Tolvane    *"
    "\n\t*                                         (Julio de 2012)    *"
    "\n\t*                                                            *"
    "\n\t*                                                            *"
    "\n\t**************************************************************"
    "\n\n\tNueva version del programa Tolvane (Equipo de desarrollo de Tolvane, julio de 2012)"
    "\n\tpara imagenes con curvas de nivel de mas de 30 000 pixels"
    "\n\tutilizando imagenes de 4 bytes y creando imagenes de 4 y 2 bytes ";

// The answers 0, 0 and 10 give no zone.
const std::string SIN_ZONA =
    "\n Aviso: la tabla de niveles (de 0 a 0 cada 10) no tiene ninguna zona: no hay interpolacion entre curvas\n";

// One run: what the operator types and what lies in images/zona/ beforehand.
struct Dialogo {
    int lineas = 1, columnas = 1, pixel = 1;
    std::string descriptor = "auto"; // text of dem_c4.txt; "auto": the six values; "": no file
    std::vector<int> elecciones = {0};
    std::string nuevo;               // output name after the choice 1
    int inferior = 0, superior = 0, intervalo = 10;
    std::vector<int> mallas = {1};   // smoothing answers, the last one accepted
    std::vector<int> remplis;        // pixels filled by each dilation call
    std::vector<std::int32_t> imagen;
    std::string avisos;              // the notices after the first reading
};

std::string respuestas(const Dialogo &d)
{
    std::string r = "zona\ndem\n";
    if (d.descriptor.empty())
        r += std::to_string(d.lineas) + "\n" + std::to_string(d.columnas) + "\n" + std::to_string(d.pixel) + "\n";
    for (int e : d.elecciones)
        r += std::to_string(e) + "\n";
    if (d.elecciones.back() == 1)
        r += d.nuevo + "\n";
    r += std::to_string(d.inferior) + "\n" + std::to_string(d.superior) + "\n" + std::to_string(d.intervalo) + "\n";
    for (int m : d.mallas)
        r += std::to_string(m) + "\n";
    return r;
}

std::string transcripcion(const Dialogo &d)
{
    const std::string carpeta = "c:\\images\\zona\\";
    const std::string salida = carpeta + (d.elecciones.back() == 1 ? d.nuevo : "dem");
    std::string t = BANNIERE;
    t += "\n\n Nombre de la carpeta (en C:images) : ";
    t += "\n\n Nombre del archivo a utilizar (sin extension _c4.raw) ? ";
    if (d.descriptor.empty()) {
        t += "\n No hay archivo " + carpeta + "dem_c4.txt \n\n";
        t += "\n\tNumero de lineas   ? \n\tNumero de columnas ? \n\tTamano del pixel   ? ";
    }
    t += "\n\n    LA IMAGEN TIENE :  \n";
    t += "\n            " + std::to_string(d.lineas) + " LINEAS\n";
    t += "\n          Y " + std::to_string(d.columnas) + " COLUMNAS\n";
    for (std::size_t n = 0; n < d.elecciones.size(); n++)
        t += "\n\n 0 -----> Uso del nombre de origen dem ? \n 1 -----> Creacion de un nuevo nombre ? ";
    if (d.elecciones.back() == 1)
        t += "\n\n Nombre del archivo a crear (sin ninguna extension) ? ";
    t += "\n IMAGENES Y ARCHIVOS DESCRIPTIVOS CREADOS \n\n";
    t += "\n nomim1 " + carpeta + "dem_c4.raw ";
    t += "\n nomim2 " + salida + "_m1.raw ";
    t += "\n nomim3 " + salida + "_m2.raw ";
    t += "\n nomim4 " + salida + "_m4.raw ";
    t += "\n nomdesc1 " + carpeta + "dem_c4.txt ";
    t += "\n nomdesc2 " + salida + "_m1.txt ";
    t += "\n nomdesc3 " + salida + "_m2.txt ";
    t += "\n nomdesc4 " + salida + "_m4.txt \n";
    t += "\n\n Valor del altitud inferior ?  Valor del altitud superior ?  Intervalo altimetrico      ? ";
    for (int m : d.mallas) {
        t += "\n Suavizacion (1, 3, 5, 7 o 9) ? ";
        if (m > 9)
            t += "\n Ventana demasiado larga \n";
        else if (m != 1 && m % 2 == 0)
            t += "\n el valor no es impar\n ";
    }
    t += "\n\n Lectura \n" + d.avisos;
    const int zonas = (d.superior - d.inferior) / d.intervalo;
    for (int k = 1; k <= zonas; k++) {
        const int bas = d.inferior + (k - 1) * d.intervalo;
        t += "\n\n tratamiento en la zona codificada con el valor " + std::to_string(k) + " ";
        t += "\n y comprendida entre las curvas " + std::to_string(bas) + " y " + std::to_string(bas + d.intervalo)
             + " \n\n";
        for (int i = 20; i < d.lineas; i += 20)
            t += "\t linea " + std::to_string(i) + "      \r ";
    }
    t += grilles::texte_dilatation(d.remplis);
    const int malla = d.mallas.back();
    if (malla > 1) {
        t += "\n\n Suavizacion de tamano " + std::to_string(malla) + " \n";
        for (int i = 20; i <= d.lineas; i += 20)
            t += "\n linea " + std::to_string(i) + " ";
    }
    return t + "\n\n Guardando el archivo\n\n";
}

std::string descriptor(int lineas, int columnas, int octetos, int minimo, int maximo, int pixel)
{
    std::string t;
    for (int v : {lineas, columnas, octetos, minimo, maximo, pixel})
        t += std::to_string(v) + "\n";
    return t;
}

std::string octetos1(const std::vector<int> &v) { return std::string(v.begin(), v.end()); }

std::string octetos2(const std::vector<int> &v)
{
    std::string s;
    for (int x : v) {
        s.push_back(static_cast<char>(x & 0xff));
        s.push_back(static_cast<char>((x >> 8) & 0xff));
    }
    return s;
}

// The six outputs of a run.
struct Salidas {
    std::string m1, m2, m4, d1, d2, d4;
};

Salidas corre(const Carpeta &c, const Dialogo &d, const std::string &nombre = "dem")
{
    prueba::escribe(c.imagen("zona", "dem_c4.raw"), prueba::celdas(d.imagen));
    if (d.descriptor == "auto")
        prueba::escribe(c.imagen("zona", "dem_c4.txt"), descriptor(d.lineas, d.columnas, 4, 0, 0, d.pixel));
    else if (!d.descriptor.empty())
        prueba::escribe(c.imagen("zona", "dem_c4.txt"), d.descriptor);
    const prueba::Resultado r = prueba::ejecuta(c, respuestas(d));
    EXPECT_EQ(r.estado, 0);
    EXPECT_EQ(r.salida, transcripcion(d));
    EXPECT_EQ(r.errores, "");
    auto lee = [&](const char *sufijo) { return prueba::lee(c.imagen("zona", nombre + sufijo)); };
    return {lee("_m1.raw"), lee("_m2.raw"), lee("_m4.raw"), lee("_m1.txt"), lee("_m2.txt"), lee("_m4.txt")};
}

struct CasConversion {
    const char *nom;
    std::vector<int> altitudes, m1, m2;
    int minimo, maximo;
};

void PrintTo(const CasConversion &c, std::ostream *os) { *os << c.nom; }

class Conversion : public testing::TestWithParam<CasConversion> {};

// A grid without empty pixels goes through unchanged, so the images are the
// conversions of the input.
TEST_P(Conversion, OneTwoAndFourByteImages)
{
    const CasConversion &c = GetParam();
    Carpeta carpeta;
    Dialogo d;
    d.columnas = static_cast<int>(c.altitudes.size());
    d.pixel = 25;
    d.imagen.assign(c.altitudes.begin(), c.altitudes.end());
    d.avisos = SIN_ZONA;
    const Salidas s = corre(carpeta, d);
    EXPECT_EQ(s.m1, octetos1(c.m1));
    EXPECT_EQ(s.m2, octetos2(c.m2));
    EXPECT_EQ(s.m4, prueba::celdas(d.imagen));
    EXPECT_EQ(s.d1, descriptor(1, d.columnas, 1, 0, 255, 25));
    EXPECT_EQ(s.d2, descriptor(1, d.columnas, 2, c.minimo / 10, c.maximo / 10, 25));
    EXPECT_EQ(s.d4, descriptor(1, d.columnas, 4, c.minimo, c.maximo, 25));
}

const CasConversion cas_conversion[] = {
    // 1500 gives 127.5 + 0.5.
    {"StretchedOverTheRange", {1000, 2000, 1500, 1001, 1002}, {0, 255, 128, 0, 1}, {100, 200, 150, 100, 100}, 1000, 2000},
    // -19 gives -1 and 655360 gives 65536, kept as 65535 and 0; 99999999 gives
    // 9999999, kept as 38527.
    {"TenthsInSixteenBits", {123, 19, -19, 655359, 655360, 99999999}, {0, 0, 0, 2, 2, 255},
     {12, 1, 65535, 65535, 0, 38527}, -19, 99999999},
    {"FlatResult", {500, 500, 500}, {0, 0, 0}, {50, 50, 50}, 500, 500},
};

INSTANTIATE_TEST_SUITE_P(Imagenes, Conversion, testing::ValuesIn(cas_conversion),
                         [](const testing::TestParamInfo<CasConversion> &i) { return std::string(i.param.nom); });

// Without a descriptor the size and the pixel size are asked. The image is one
// zone between 100 and 200 under an empty row, which the dilation fills in two
// calls: 117, 150 and 183 from the right-hand neighbours, then 192.
TEST(Ejecucion, SizeAskedWithoutDescriptor)
{
    Carpeta carpeta;
    Dialogo d;
    d.lineas = 3;
    d.columnas = 4;
    d.pixel = 12;
    d.descriptor = "";
    d.inferior = 100;
    d.superior = 200;
    d.intervalo = 100;
    d.remplis = {3, 1};
    d.imagen = {E, E, E, E, 100, E, E, 200, 100, E, E, 200};
    const Salidas s = corre(carpeta, d);
    EXPECT_EQ(s.m4, prueba::celdas({117, 150, 183, 192, 100, 133, 166, 200, 100, 133, 166, 200}));
    EXPECT_EQ(s.m2, octetos2({11, 15, 18, 19, 10, 13, 16, 20, 10, 13, 16, 20}));
    EXPECT_EQ(s.m1, octetos1({43, 128, 212, 235, 0, 84, 168, 255, 0, 84, 168, 255}));
    EXPECT_EQ(s.d1, descriptor(3, 4, 1, 0, 255, 12));
    EXPECT_EQ(s.d2, descriptor(3, 4, 2, 10, 20, 12));
    EXPECT_EQ(s.d4, descriptor(3, 4, 4, 100, 200, 12));
}

// Choices 2 and -1 repeat both choice lines; smoothing sizes 4, 11, 10 and 0 are
// refused and -1 smooths nothing.
TEST(Ejecucion, NewNameAfterRefusedAnswers)
{
    Carpeta carpeta;
    Dialogo d;
    d.columnas = 3;
    d.pixel = 2;
    d.elecciones = {2, -1, 1};
    d.nuevo = "dem2";
    d.mallas = {4, 11, 10, 0, -1};
    d.imagen = {10, 20, 30};
    d.avisos = SIN_ZONA;
    const Salidas s = corre(carpeta, d, "dem2");
    EXPECT_EQ(s.m4, prueba::celdas({10, 20, 30}));
    EXPECT_EQ(s.d4, descriptor(1, 3, 4, 10, 30, 2));
    EXPECT_FALSE(std::filesystem::exists(carpeta.imagen("zona", "dem_m4.raw")));
}

// Only the first six values of the descriptor count; the pixel size 30 ends every
// output descriptor. The one zone has no pixel but prints its progress lines.
TEST(Ejecucion, DescriptorWithMoreThanSixValues)
{
    Carpeta carpeta;
    Dialogo d;
    d.lineas = 300;
    d.columnas = 400;
    d.descriptor = "300 400 4 1200 2500 30 77 88\n5\n";
    d.inferior = 1000;
    d.superior = 2000;
    d.intervalo = 1000;
    d.imagen.assign(300 * 400, 1500);
    d.avisos = "\n Aviso: pixeles de curva cuya altitud no es un nivel de la tabla (de 1000 a 2000 cada 1000), "
               "fuera de toda zona: 120000\n"
               "\n Aviso: ningun pixel de la imagen tiene estos niveles de la tabla: 1000, 2000\n"
               "\n Aviso: ningun pixel queda entre dos curvas de niveles consecutivos de la tabla: no hay "
               "interpolacion entre curvas\n";
    const Salidas s = corre(carpeta, d);
    EXPECT_EQ(s.m1, std::string(300 * 400, '\0'));
    EXPECT_EQ(s.m2, octetos2(std::vector<int>(300 * 400, 150)));
    EXPECT_EQ(s.m4, prueba::celdas(d.imagen));
    EXPECT_EQ(s.d1, descriptor(300, 400, 1, 0, 255, 30));
    EXPECT_EQ(s.d2, descriptor(300, 400, 2, 150, 150, 30));
    EXPECT_EQ(s.d4, descriptor(300, 400, 4, 1500, 1500, 30));
}

// A cone of 60 x 80 pixels with circular contours of radius 8 (900), 16 (800) and
// 24 (700) around (30, 40). A contour is the ring of pixels inside its circle
// that touch a pixel outside it across a side, so no fill crosses it.
class Cono : public testing::Test {
protected:
    static constexpr int LINEAS = 60, COLUMNAS = 80;
    static double distancia(int i, int j) { return std::hypot(i - 30, j - 40); }
    static int curva(int i, int j)
    {
        for (int r : {8, 16, 24}) {
            const int altitud = 1000 - 100 * (r / 8);
            const bool dentro = distancia(i, j) <= r;
            const bool borde = distancia(i - 1, j) > r || distancia(i + 1, j) > r || distancia(i, j - 1) > r
                               || distancia(i, j + 1) > r;
            if (dentro && borde)
                return altitud;
        }
        return E;
    }
    Dialogo cono(int malla)
    {
        Dialogo d;
        d.lineas = LINEAS;
        d.columnas = COLUMNAS;
        d.pixel = 5;
        d.inferior = 700;
        d.superior = 900;
        d.intervalo = 100;
        d.mallas = {malla};
        for (int i = 0; i < LINEAS; i++)
            for (int j = 0; j < COLUMNAS; j++)
                d.imagen.push_back(curva(i, j));
        return d;
    }
};

// Every pixel between two contours ends within their interval; the summit and
// the outside take the altitude of the contour around them. Nothing is left for
// the dilation.
TEST_F(Cono, EveryPixelWithinItsContourInterval)
{
    Carpeta carpeta;
    const Dialogo d = cono(1);
    const Salidas s = corre(carpeta, d);
    const std::vector<std::int32_t> m4 = prueba::enteros(s.m4, 4);
    ASSERT_EQ(m4.size(), static_cast<std::size_t>(LINEAS * COLUMNAS));
    int anillos = 0;
    for (int i = 0; i < LINEAS; i++)
        for (int j = 0; j < COLUMNAS; j++) {
            const int v = m4[i * COLUMNAS + j];
            const double r = distancia(i, j);
            SCOPED_TRACE(testing::Message() << "row " << i << ", column " << j);
            if (curva(i, j) != E) {
                EXPECT_EQ(v, curva(i, j));
            } else if (r <= 8) {
                EXPECT_EQ(v, 900);
            } else if (r <= 16) {
                EXPECT_TRUE(v >= 800 && v <= 900) << v;
                anillos++;
            } else if (r <= 24) {
                EXPECT_TRUE(v >= 700 && v <= 800) << v;
                anillos++;
            } else {
                EXPECT_EQ(v, 700);
            }
        }
    EXPECT_GT(anillos, 1000);
    EXPECT_EQ(s.d4, descriptor(LINEAS, COLUMNAS, 4, 700, 900, 5));
    EXPECT_EQ(s.d2, descriptor(LINEAS, COLUMNAS, 2, 70, 90, 5));
}

// Size 3 smooths every pixel from the unsmoothed surface: the corners stay 700,
// and no value leaves the range of the contours by more than the last unit.
TEST_F(Cono, SmoothedWithSizeThree)
{
    Carpeta carpeta;
    const Dialogo d = cono(3);
    const std::vector<std::int32_t> m4 = prueba::enteros(corre(carpeta, d).m4, 4);
    ASSERT_EQ(m4.size(), static_cast<std::size_t>(LINEAS * COLUMNAS));
    for (int esquina : {0, COLUMNAS - 1, (LINEAS - 1) * COLUMNAS, LINEAS * COLUMNAS - 1})
        EXPECT_EQ(m4[esquina], 700);
    for (std::int32_t v : m4)
        ASSERT_TRUE(v >= 699 && v <= 900) << v;
    EXPECT_NE(m4[30 * COLUMNAS + 48], 900); // the contour 900 is blurred
}

} // namespace
