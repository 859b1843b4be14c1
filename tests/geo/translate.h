// ogr2ogr in-process, for tests that need the bundled lines in another
// format, system or form.
#ifndef TOLVANE_TESTS_TRANSLATE_H
#define TOLVANE_TESTS_TRANSLATE_H

#include <string>
#include <vector>

#include <gdal.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>

// The bundled lines written to `to` by ogr2ogr with `arguments`.
inline void translate_lines(const std::string &to, std::vector<std::string> arguments)
{
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    GDALVectorTranslateOptions *options = GDALVectorTranslateOptionsNew(argv.data(), nullptr);
    GDALDatasetH source = GDALOpenEx(COLINAS_GPKG, GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(source, nullptr);
    GDALDatasetH written = GDALVectorTranslate(to.c_str(), nullptr, 1, &source, options, nullptr);
    GDALVectorTranslateOptionsFree(options);
    ASSERT_NE(written, nullptr) << to;
    GDALClose(written);
    GDALClose(source);
}

#endif
