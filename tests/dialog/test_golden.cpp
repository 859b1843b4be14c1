// The golden runs of tests/golden/ (see its README): each folder holds a contour
// image, the operator's answers and the expected transcript and files. Every case
// runs through the dialog, through the dialog with the plain phases
// (tolvane_reference_run) and through the library entry point, and must give the
// expected bytes; a mismatch names the first differing file, row and column. The
// dialog and the library run with 1, 2 and 7 threads.
#include "run_tolvane.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path GOLDEN = GOLDEN_DIR;

// The folders of tests/golden/ that hold a case (an `answers` file), by name.
std::vector<std::string> golden_cases()
{
    std::vector<std::string> names;
    for (const fs::directory_entry &e : fs::directory_iterator(GOLDEN))
        if (fs::exists(e.path() / "answers"))
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Regular files below `root` (links followed), as paths relative to `base`.
std::set<std::string> files_below(const fs::path &root, const fs::path &base)
{
    std::set<std::string> files;
    if (!fs::exists(root))
        return files;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files.insert(e.path().lexically_relative(base).generic_string());
    return files;
}

// A line of text with its control characters made visible.
std::string visible(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (std::isprint(static_cast<unsigned char>(c)))
            out += c;
        else
            out += "\\x" + std::to_string(static_cast<unsigned char>(c));
    }
    return out;
}

std::string line_at(const std::string &text, std::size_t start)
{
    const std::size_t end = text.find('\n', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// "" when the texts are the same; else where they first differ (lines and
// columns from 1) and both lines there.
std::string text_difference(const std::string &name, const std::string &expected, const std::string &actual)
{
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    if (mismatch.first == expected.end() && mismatch.second == actual.end())
        return "";
    const std::size_t at = static_cast<std::size_t>(mismatch.first - expected.begin());
    const std::size_t line = static_cast<std::size_t>(std::count(expected.begin(), mismatch.first, '\n')) + 1;
    const std::size_t start = expected.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t line_start = start == std::string::npos || at == 0 ? 0 : start + 1;
    std::ostringstream s;
    s << name << " differs at line " << line << ", column " << at - line_start + 1 << ":\n  expected: \""
      << visible(line_at(expected, line_start)) << "\"\n  actual:   \"" << visible(line_at(actual, line_start))
      << "\"";
    return s.str();
}

// Bytes per cell of an image from its name (_m1, _m2, otherwise 4-byte cells).
int cell_size(const std::string &name)
{
    if (name.size() >= 7 && name.compare(name.size() - 7, 7, "_m1.raw") == 0)
        return 1;
    if (name.size() >= 7 && name.compare(name.size() - 7, 7, "_m2.raw") == 0)
        return 2;
    return 4;
}

// The columns of an image: the second value of the descriptor beside it.
int columns_of(const fs::path &image)
{
    fs::path descriptor = image;
    descriptor.replace_extension(".txt");
    std::ifstream f(descriptor);
    int rows = 0, columns = 0;
    f >> rows >> columns;
    return columns > 0 ? columns : 1;
}

// "" when the images are the same; else the first differing cell, with its row,
// column and both values.
std::string image_difference(const std::string &name, const std::string &expected, const std::string &actual,
                             int columns)
{
    const int size = cell_size(name);
    const std::vector<std::int32_t> a = prueba::enteros(expected, size), b = prueba::enteros(actual, size);
    for (std::size_t n = 0; n < a.size() && n < b.size(); n++)
        if (a[n] != b[n]) {
            const auto value = [size](std::int32_t v) {
                return size == 4 ? static_cast<long long>(v) : static_cast<long long>(static_cast<std::uint32_t>(v));
            };
            std::ostringstream s;
            s << name << " differs at row " << n / columns << ", column " << n % columns << ": expected "
              << value(a[n]) << ", actual " << value(b[n]);
            return s.str();
        }
    if (expected.size() != actual.size())
        return name + " has " + std::to_string(actual.size()) + " bytes instead of " + std::to_string(expected.size());
    return "";
}

std::string file_difference(const fs::path &expected_file, const std::string &name, const std::string &actual)
{
    const std::string expected = prueba::lee(expected_file);
    if (expected_file.extension() == ".raw")
        return image_difference(name, expected, actual, columns_of(expected_file));
    return text_difference(name, expected, actual);
}

class Golden : public testing::TestWithParam<std::string> {
protected:
    fs::path dir() const { return GOLDEN / GetParam(); }

    // The case through one build of the dialog, in a fresh folder; `before` is
    // shell text put before the program (the thread count).
    void run_dialog(const std::string &program, const std::string &before = "")
    {
        prueba::Carpeta folder;
        fs::copy(dir() / "images", folder.raiz() / "images", fs::copy_options::recursive);
        const prueba::Resultado r = prueba::ejecuta(folder, prueba::lee(dir() / "answers"), before, program);
        EXPECT_EQ(r.estado, 0);
        EXPECT_EQ(r.errores, "");
        EXPECT_EQ(text_difference("transcript", prueba::lee(dir() / "expected" / "transcript"), r.salida), "");

        const std::set<std::string> inputs = files_below(dir() / "images", dir());
        std::set<std::string> expected = files_below(dir() / "expected", dir() / "expected");
        expected.erase("transcript");
        EXPECT_FALSE(expected.empty());
        for (const std::string &f : expected) {
            const fs::path made = folder.raiz() / f;
            if (!fs::exists(made)) {
                ADD_FAILURE() << f << " was not written";
                continue;
            }
            EXPECT_EQ(file_difference(dir() / "expected" / f, f, prueba::lee(made)), "");
        }
        for (const std::string &f : files_below(folder.raiz() / "images", folder.raiz()))
            EXPECT_TRUE(inputs.count(f) || expected.count(f)) << "unexpected file " << f;
    }
};

TEST_P(Golden, Dialog)
{
    for (int threads : prueba::HILOS) {
        SCOPED_TRACE(std::to_string(threads) + " thread(s)");
        run_dialog(TOLVANE_BIN, prueba::con_hilos(threads));
    }
}

TEST_P(Golden, DialogWithPlainPhases) { run_dialog(TOLVANE_REFERENCE_BIN); }

// The library on the case's contour image, with the answers the dialog accepted
// (the file `elevation_arguments`: lowest, highest, interval, smoothing), gives
// the cells of the expected _m4.raw.
TEST_P(Golden, Library)
{
    std::ifstream arguments(dir() / "elevation_arguments");
    tolvane::Levels levels;
    tolvane::Options options;
    ASSERT_TRUE(arguments >> levels.lowest >> levels.highest >> levels.interval >> options.smoothing);

    fs::path input, expected;
    for (const std::string &f : files_below(dir() / "images", dir()))
        if (f.size() > 7 && f.compare(f.size() - 7, 7, "_c4.raw") == 0)
            input = dir() / f;
    for (const std::string &f : files_below(dir() / "expected", dir() / "expected"))
        if (f.size() > 7 && f.compare(f.size() - 7, 7, "_m4.raw") == 0)
            expected = dir() / "expected" / f;
    ASSERT_FALSE(input.empty() || expected.empty()) << "no _c4.raw input or no expected _m4.raw";

    std::ifstream descriptor(fs::path(expected).replace_extension(".txt"));
    int rows = 0, columns = 0;
    ASSERT_TRUE(descriptor >> rows >> columns);
    const std::vector<std::int32_t> contours = prueba::enteros(prueba::lee(input), 4);
    ASSERT_EQ(contours.size(), static_cast<std::size_t>(rows) * columns);

    for (int threads : prueba::HILOS) {
        options.threads = threads;
        const tolvane::Result r = tolvane::elevation(contours.data(), rows, columns, levels, options);
        const std::string name = expected.filename().string() + " (library, " + std::to_string(threads) + " threads)";
        EXPECT_EQ(image_difference(name, prueba::lee(expected), prueba::celdas(r.cells), columns), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, testing::ValuesIn(golden_cases()),
                         [](const testing::TestParamInfo<std::string> &i) {
                             std::string name = i.param;
                             for (char &c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// The comparison itself: a changed cell or character is named with its place.
TEST(GoldenComparison, NamesTheFirstDifference)
{
    EXPECT_EQ(text_difference("t", "ab\ncd\n", "ab\ncd\n"), "");
    EXPECT_EQ(text_difference("t", "ab\ncd\r\n", "ab\ncx\r\n"),
              "t differs at line 2, column 2:\n  expected: \"cd\\r\"\n  actual:   \"cx\\r\"");
    EXPECT_EQ(text_difference("t", "ab", "abc"), "t differs at line 1, column 3:\n  expected: \"ab\"\n  actual:   \"abc\"");
    const std::string a = prueba::celdas({1, 2, 3, 4, 5, 6}), b = prueba::celdas({1, 2, 3, 4, -5, 6});
    EXPECT_EQ(image_difference("x_m4.raw", a, b, 3), "x_m4.raw differs at row 1, column 1: expected 5, actual -5");
    EXPECT_EQ(image_difference("x_m2.raw", std::string("\x01\x00\xff\xff", 4), std::string("\x01\x00\xfe\xff", 4), 2),
              "x_m2.raw differs at row 0, column 1: expected 65535, actual 65534");
    EXPECT_EQ(image_difference("x_m1.raw", "ab", "abc", 2), "x_m1.raw has 3 bytes instead of 2");
}

} // namespace
