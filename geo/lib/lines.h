// Reading contour lines: the layer chosen and checked, every feature read once
// for damage, a copy in memory (reprojected when asked) and the altitude of each
// line. Refuses what is not lines, a missing or non-numeric attribute, a
// geographic system and features GDAL cannot read; lines without an altitude
// or a geometry are only counted. The file itself is never changed.
#ifndef TOLVANE_GEO_LINES_H
#define TOLVANE_GEO_LINES_H

#include "gdal_handles.h"

#include <tolvane/geo.h>

#include <string>
#include <vector>

#include <ogr_api.h>

namespace tolvane::geo {

// f(part) for every piece of `g` that holds points: a line, or each line of a
// multi-line (and of any collection, however nested); none of an empty one.
template <typename F> void for_each_part(OGRGeometryH g, F f)
{
    if (!g || OGR_G_IsEmpty(g))
        return;
    if (const int parts = OGR_G_GetGeometryCount(g); parts > 0) {
        for (int k = 0; k < parts; k++)
            for_each_part(OGR_G_GetGeometryRef(g, k), f);
        return;
    }
    f(g);
}

// The vertices of `line` (a part that for_each_part gives), read at once into
// `xs` and `ys`, whose memory serves the next line.
void read_vertices(OGRGeometryH line, std::vector<double> &xs, std::vector<double> &ys);

struct LinesRead {
    Dataset copy;                 // the layer in memory, in the grid's system
    std::string layer_name;       // the copy's layer
    std::string srs_wkt;          // the grid's coordinate system (empty: none)
    Extent extent;                // of the lines with an altitude, in map units
    std::vector<double> altitude; // of every feature of the copy in reading order; NaN: none
    std::vector<double> values;   // the altitudes found, for the level table
    std::vector<long long> without_altitude, without_geometry; // fids left out
    bool like_identifier = false; // every line its own whole number, in one run: a numbering
};

// The lines of the request's layer. Throws Failure (UsageFailure without -tr).
LinesRead read_lines(GDALDatasetH source, const SourceRequest &s, const GridRequest &g);

// The layer of the copy.
OGRLayerH lines_layer(const LinesRead &lines);

// Writes each line's altitude in the core's units into a new field
// tolvane_level of the copy, which burning and the line repair read; returns
// the field's index.
int store_levels(LinesRead &lines, const LevelTable &table);

} // namespace tolvane::geo

#endif
