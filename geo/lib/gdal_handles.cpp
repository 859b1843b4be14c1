#include "gdal_handles.h"

#include "failure.h"

#include <cstdio>

#include <cpl_error.h>

namespace tolvane::geo {

std::string gdal_reason()
{
    const char *m = CPLGetLastErrorMsg();
    return m ? m : "";
}

std::string fid_list(const std::vector<long long> &fids)
{
    std::string s = "fid ";
    for (std::size_t k = 0; k < fids.size() && k < 10; k++)
        s += (k ? ", " : "") + std::to_string(fids[k]);
    return s + (fids.size() > 10 ? ", ..." : "");
}

std::string exact(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

Dataset memory_raster(int columns, int rows, GDALDataType type)
{
    Dataset ds(GDALCreate(GDALGetDriverByName("MEM"), "", columns, rows, 1, type, nullptr));
    if (!ds)
        throw Failure("not enough memory for a grid of " + std::to_string(rows) + " rows and " +
                      std::to_string(columns) + " columns");
    return ds;
}

Dataset memory_raster_over(std::int32_t *cells, int columns, int rows)
{
    Dataset ds(GDALCreate(GDALGetDriverByName("MEM"), "", columns, rows, 0, GDT_Int32, nullptr));
    char pointer[64];
    std::snprintf(pointer, sizeof pointer, "DATAPOINTER=%p", static_cast<void *>(cells));
    char *options[] = {pointer, nullptr};
    if (!ds || GDALAddBand(ds.get(), GDT_Int32, options) != CE_None)
        throw Failure("cannot burn onto a grid of " + std::to_string(rows) + " rows and " + std::to_string(columns) +
                      " columns: " + gdal_reason());
    return ds;
}

} // namespace tolvane::geo
