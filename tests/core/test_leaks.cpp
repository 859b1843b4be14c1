// Leaks of the labelling: runs of a zone stopped by contours of other levels are
// counted and marked; sound sheets report none; the dialog says it in one line.
#include "run_tolvane.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

namespace {

constexpr std::int32_t E = tolvane::EMPTY;
using Rows = std::vector<std::vector<std::int32_t>>;

std::vector<std::int32_t> flat(const Rows &rows)
{
    std::vector<std::int32_t> v;
    for (const auto &r : rows)
        v.insert(v.end(), r.begin(), r.end());
    return v;
}

struct LeakCase {
    const char *name;
    Rows contours;
    Rows mask; // expected leak mask
};

void PrintTo(const LeakCase &c, std::ostream *os) { *os << c.name; }

class Leaks : public testing::TestWithParam<LeakCase> {};

TEST_P(Leaks, CountAndMask)
{
    const LeakCase &c = GetParam();
    const auto grid = flat(c.contours);
    const int rows = static_cast<int>(c.contours.size()), columns = static_cast<int>(c.contours[0].size());
    tolvane::Options o;
    o.want_leak_mask = true;
    std::string text;
    o.console = [&](const std::string &t) { text += t; };
    const tolvane::Result r = tolvane::elevation(grid.data(), rows, columns, {100, 300, 100}, o);
    const auto expected = flat(c.mask);
    EXPECT_EQ(std::vector<std::int32_t>(r.leak_mask.begin(), r.leak_mask.end()), expected);
    const long long n = std::count(expected.begin(), expected.end(), 1);
    EXPECT_EQ(r.leak_pixels, n);
    EXPECT_EQ(text.find("Aviso") != std::string::npos, n > 0);

    // Without the mask the count is the same and the cells too, on any number of threads.
    for (int threads : prueba::HILOS) {
        tolvane::Options without;
        without.threads = threads;
        const tolvane::Result plain = tolvane::elevation(grid.data(), rows, columns, {100, 300, 100}, without);
        EXPECT_TRUE(plain.leak_mask.empty());
        EXPECT_EQ(plain.leak_pixels, n) << threads << " thread(s)";
        EXPECT_EQ(plain.cells, r.cells) << threads << " thread(s)";
    }
}

// Three vertical lines 100, 200, 300. Zone 1 is seeded first (line 1) and, through
// the gap in 200, floods the band of zone 2: its runs there end on 300.
const LeakCase leak_cases[] = {
    {"ClosedLines",
     {{E, E, E, E, E, E, E, E, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E}},
     {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}},
    {"GapInTheMiddleLine",
     {{E, E, E, E, E, E, E, E, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E},
      {E, 100, E, E, E, E, E, 300, E, E},
      {E, 100, E, E, 200, E, E, 300, E, E}},
     {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 1, 1, 0, 0, 0},
      {0, 0, 0, 0, 0, 1, 1, 0, 0, 0},
      {0, 0, 1, 1, 1, 1, 1, 0, 0, 0},
      {0, 0, 0, 0, 0, 1, 1, 0, 0, 0}}},
    // A spot height (150) stops runs but is no level: not a leak. Column 0 is never
    // a border of the fill, whatever it holds.
    {"SpotHeightAndColumnZero",
     {{E, E, E, E, E, E, E, E},
      {E, 100, E, E, 200, E, E, E},
      {300, E, E, 150, 200, E, E, E},
      {E, 100, E, E, 200, E, E, E}},
     {{0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, Leaks, testing::ValuesIn(leak_cases),
                         [](const testing::TestParamInfo<LeakCase> &i) { return std::string(i.param.name); });

// Generated sheets have closed lines: no leak. The dialog prints its notice in one
// line, and only for a broken sheet.
TEST(Leaks, DialogNotice)
{
    prueba::Carpeta carpeta;
    const auto base = carpeta.imagen("z", "d").string();
    const std::string gen = std::string("'" GENERA_BIN "' '") + base + "' 80 100 8 10 4 > /dev/null";
    ASSERT_EQ(std::system(gen.c_str()), 0);
    const std::string answers = "z d 0 10 70 10 1\n";
    const auto clean = prueba::ejecuta(carpeta, answers);
    ASSERT_EQ(clean.estado, 0);
    EXPECT_EQ(clean.salida.find("Aviso"), std::string::npos);

    // Cut a gap of three pixels across every line in column 50.
    auto image = prueba::enteros(prueba::lee(base + "_c4.raw"), 4);
    for (int i = 0; i < 80; i++)
        for (int j = 49; j <= 51; j++)
            image[i * 100 + j] = E;
    prueba::escribe(base + "_c4.raw", prueba::celdas(image));
    const auto broken = prueba::ejecuta(carpeta, answers);
    ASSERT_EQ(broken.estado, 0);
    const tolvane::Result r = tolvane::elevation(image.data(), 80, 100, {10, 70, 10});
    ASSERT_GT(r.leak_pixels, 0);
    char line[200];
    std::snprintf(line, sizeof line, "\n\n Lectura \n\n Aviso: %lld pixeles de zona (%.1f%% de los pixeles de zona)",
                  r.leak_pixels, 100.0 * r.leak_pixels / r.zone_pixels);
    EXPECT_NE(broken.salida.find(line), std::string::npos) << broken.salida.substr(0, 600);
    EXPECT_NE(broken.salida.find("estan entre curvas que no son las de su zona: las curvas tienen huecos o extremos "
                                 "abiertos\n\n\n tratamiento en la zona codificada con el valor 1 "),
              std::string::npos);
}

} // namespace
