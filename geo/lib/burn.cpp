#include "burn.h"

#include "failure.h"
#include "gdal_handles.h"
#include "grid.h"
#include "parallel.h"

#include <tolvane/tolvane.h>

#include <gdal_utils.h>

namespace tolvane::geo {

std::vector<std::int32_t> burn_lines(const LinesRead &lines, const Grid &grid, int row, int column, int rows,
                                     int columns, GDALProgressFunc progress, void *progress_arg)
{
    // Burned straight into the cells returned.
    std::vector<std::int32_t> cells(static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns), tolvane::EMPTY);
    Dataset burned = memory_raster_over(cells.data(), columns, rows);
    const std::array<double, 6> t = geotransform(grid, row, column);
    GDALSetGeoTransform(burned.get(), const_cast<double *>(t.data()));
    if (!grid.srs_wkt.empty())
        GDALSetProjection(burned.get(), grid.srs_wkt.c_str());
    GDALSetRasterNoDataValue(GDALGetRasterBand(burned.get(), 1), tolvane::EMPTY);
    Arguments burn{"-a", "tolvane_level", "-where", "tolvane_level IS NOT NULL", "-l", lines.layer_name};
    GDALRasterizeOptions *rasterize = GDALRasterizeOptionsNew(burn.argv(), nullptr);
    GDALRasterizeOptionsSetProgress(rasterize, progress, progress_arg);
    const bool burnt = GDALRasterize(nullptr, burned.get(), lines.copy.get(), rasterize, nullptr) != nullptr;
    GDALRasterizeOptionsFree(rasterize);
    if (!burnt) {
        if (progress && !progress(0, nullptr, progress_arg))
            throw Cancelled();
        throw Failure("cannot burn the lines of layer '" + lines.layer_name + "': " + gdal_reason());
    }
    burned.reset();
    return cells;
}

} // namespace tolvane::geo
