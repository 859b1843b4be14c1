// Lakes: read once, burned onto each area, held flat. See lakes.h.
#include "lakes.h"

#include "failure.h"
#include "gdal_handles.h"
#include "other_layers.h"
#include "paths.h"
#include "srs.h"

#include <algorithm>
#include <cmath>

#include <cpl_vsi.h>
#include <gdal_alg.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

struct Lakes::Impl {
    Grid grid;
    std::vector<OGRGeometryH> polygons; // in the grid's system, owned
    std::vector<double> levels;         // in the core's units; NaN: from the lines

    ~Impl()
    {
        for (OGRGeometryH g : polygons)
            OGR_G_DestroyGeometry(g);
    }
};

Lakes::Lakes(const Request &q, const Grid &g, const LevelTable &t) : impl_(std::make_unique<Impl>())
{
    impl_->grid = g;
    const std::string &path = q.lakes.path;
    if (path.empty())
        return;
    const OtherLayer opened = open_layer(path, q, g, "the lakes", "lakes");
    OGRLayerH layer = opened.layer;
    check_shape(OGR_L_GetGeomType(layer), opened, Shape::polygons);
    int field = -1;
    if (!q.lakes.attribute.empty()) {
        OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
        field = OGR_FD_GetFieldIndex(defn, q.lakes.attribute.c_str());
        if (field < 0)
            throw Failure("the lakes " + path + " have no attribute '" + q.lakes.attribute + "'; choose one with " +
                              named("lakes_a"),
                          "lakes_a");
        const OGRFieldType type = OGR_Fld_GetType(OGR_FD_GetFieldDefn(defn, field));
        if (type != OFTInteger && type != OFTInteger64 && type != OFTReal)
            throw Failure("attribute '" + q.lakes.attribute + "' of the lakes " + path + " is not numeric",
                          "lakes_a");
    }
    OGR_L_ResetReading(layer);
    while (OGRFeatureH next = OGR_L_GetNextFeature(layer)) {
        const Feature owned(next);
        OGRGeometryH geometry = OGR_F_GetGeometryRef(next);
        if (!geometry || OGR_G_IsEmpty(geometry))
            continue;
        check_shape(OGR_G_GetGeometryType(geometry), opened, Shape::polygons);
        impl_->polygons.push_back(in_grid(geometry, opened).release());
        const bool given = field >= 0 && OGR_F_IsFieldSetAndNotNull(next, field);
        impl_->levels.push_back(given ? OGR_F_GetFieldAsDouble(next, field) * t.scale - static_cast<double>(t.base)
                                      : NAN);
    }
}

Lakes::~Lakes() = default;

bool Lakes::empty() const { return impl_->polygons.empty(); }

std::vector<std::int64_t> Lakes::flatten(std::vector<double> &cells, int row, int column, int rows, int columns,
                                         const std::vector<SurfacePoint> &points) const
{
    without_level_ = 0;
    std::vector<std::int64_t> out;
    if (empty() || rows < 1 || columns < 1)
        return out;
    const Impl &l = *impl_;
    // Each lake's number (from 1) on the pixels whose centre it holds.
    std::vector<std::int32_t> label(static_cast<std::size_t>(rows) * columns, 0);
    {
        Dataset raster = memory_raster_over(label.data(), columns, rows);
        double transform[6] = {l.grid.origin_x + column * l.grid.xres, l.grid.xres, 0,
                               l.grid.origin_y - row * l.grid.yres,   0,            -l.grid.yres};
        GDALSetGeoTransform(raster.get(), transform);
        std::vector<double> burn(l.polygons.size());
        for (std::size_t k = 0; k < burn.size(); k++)
            burn[k] = static_cast<double>(k + 1);
        int band = 1;
        if (GDALRasterizeGeometries(raster.get(), 1, &band, static_cast<int>(l.polygons.size()),
                                    const_cast<OGRGeometryH *>(l.polygons.data()), nullptr, nullptr, burn.data(),
                                    nullptr, nullptr, nullptr) != CE_None)
            throw Failure("cannot burn the lakes: " + gdal_reason(), "lakes");
    }
    // The lowest line on a lake's pixels or beside them, for those without an altitude.
    std::vector<double> level = l.levels;
    std::vector<double> lowest(level.size(), INFINITY);
    for (const SurfacePoint &p : points) {
        const int i = static_cast<int>(std::floor(p.row)), j = static_cast<int>(std::floor(p.column));
        for (int di = -1; di <= 1; di++)
            for (int dj = -1; dj <= 1; dj++) {
                const int r = i + di, c = j + dj;
                if (r < 0 || c < 0 || r >= rows || c >= columns)
                    continue;
                const std::int32_t id = label[static_cast<std::size_t>(r) * columns + c];
                if (id > 0)
                    lowest[static_cast<std::size_t>(id - 1)] = std::min(lowest[static_cast<std::size_t>(id - 1)], p.value);
            }
    }
    std::vector<char> seen(level.size(), 0);
    for (std::size_t k = 0; k < label.size(); k++)
        if (label[k] > 0)
            seen[static_cast<std::size_t>(label[k] - 1)] = 1;
    for (std::size_t k = 0; k < level.size(); k++) {
        if (std::isnan(level[k]) && std::isfinite(lowest[k]))
            level[k] = lowest[k];
        without_level_ += seen[k] && std::isnan(level[k]);
    }
    for (std::size_t k = 0; k < label.size(); k++) {
        if (label[k] <= 0 || std::isnan(cells[k]))
            continue;
        const double v = level[static_cast<std::size_t>(label[k] - 1)];
        if (std::isnan(v))
            continue;
        cells[k] = v;
        out.push_back(static_cast<std::int64_t>(k));
    }
    return out;
}

} // namespace tolvane::geo
