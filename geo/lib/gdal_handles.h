// Ownership of GDAL handles and argument lists of GDAL's utilities.
#ifndef TOLVANE_GEO_GDAL_HANDLES_H
#define TOLVANE_GEO_GDAL_HANDLES_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gdal.h>
#include <ogr_api.h>

namespace tolvane::geo {

struct DatasetCloser {
    void operator()(void *h) const
    {
        if (h)
            GDALClose(h);
    }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

struct FeatureDestroyer {
    void operator()(void *h) const { OGR_F_Destroy(h); }
};
using Feature = std::unique_ptr<void, FeatureDestroyer>;

// The argv of a GDAL utility, as GDAL*OptionsNew takes it.
class Arguments {
public:
    Arguments(std::initializer_list<std::string> words = {}) : words_(words) {}
    Arguments &add(const std::string &word)
    {
        words_.push_back(word);
        return *this;
    }
    Arguments &add(std::initializer_list<std::string> words)
    {
        words_.insert(words_.end(), words);
        return *this;
    }
    char **argv()
    {
        pointers_.clear();
        for (std::string &w : words_)
            pointers_.push_back(w.data());
        pointers_.push_back(nullptr);
        return pointers_.data();
    }

private:
    std::vector<std::string> words_;
    std::vector<char *> pointers_;
};

// A number as GDAL's utilities read it back, without losing a digit.
std::string exact(double value);

// An in-memory raster of one band, placed like `grid` is described by the caller.
Dataset memory_raster(int columns, int rows, GDALDataType type);

// An in-memory Int32 raster of one band whose cells are `cells` (rows x
// columns, row after row), which it neither copies nor frees: what GDAL
// writes into it lands there.
Dataset memory_raster_over(std::int32_t *cells, int columns, int rows);

} // namespace tolvane::geo

#endif
