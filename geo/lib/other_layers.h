// The map's layers beside its lines (spot heights, lakes, streams): each opened
// the same way, refused in the same words, and taken into the grid's
// coordinate system.
//
// Contract: open_layer() refuses what the lines are refused for (a device, a
// FIFO, a file a product would replace, a file GDAL cannot read as vectors, no
// layer) with one line that names the layer by `what` ("the lakes") and the
// option by `key`; it reads the first layer. in_grid() gives an owned copy of
// a geometry in the grid's system, or refuses it.
#ifndef TOLVANE_GEO_OTHER_LAYERS_H
#define TOLVANE_GEO_OTHER_LAYERS_H

#include "gdal_handles.h"

#include <tolvane/geo.h>

#include <memory>
#include <string>

#include <ogr_api.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

struct TransformCloser {
    void operator()(void *h) const
    {
        if (h)
            OCTDestroyCoordinateTransformation(h);
    }
};
using Transform = std::unique_ptr<void, TransformCloser>;

struct GeometryDestroyer {
    void operator()(void *h) const
    {
        if (h)
            OGR_G_DestroyGeometry(h);
    }
};
using Geometry = std::unique_ptr<void, GeometryDestroyer>;

struct OtherLayer {
    std::string path, what, key;
    Dataset source;
    OGRLayerH layer = nullptr;
    std::string name;   // the layer's own, for messages
    Transform to_grid;  // empty when the layer is in the grid's system, or either has none
};

OtherLayer open_layer(const std::string &path, const Request &q, const Grid &g, const std::string &what,
                      const std::string &key);

Geometry in_grid(OGRGeometryH geometry, const OtherLayer &l);

enum class Shape { lines, polygons };

// True for the geometry types of `shape` (curves or surfaces, single or multi).
bool is_shape(OGRwkbGeometryType type, Shape shape);

// Refuses a type (the layer's, or a feature's) that is neither `shape`'s nor
// unknown, naming the layer and the option.
void check_shape(OGRwkbGeometryType type, const OtherLayer &l, Shape shape);

} // namespace tolvane::geo

#endif
