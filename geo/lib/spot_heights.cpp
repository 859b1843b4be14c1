// Spot heights: read from their layer, shaping the flats they fall on, held on
// their pixels. See spot_heights.h.
#include "spot_heights.h"

#include "failure.h"
#include "gdal_handles.h"
#include "other_layers.h"
#include "paths.h"
#include "srs.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include <cpl_vsi.h>
#include <ogr_srs_api.h>

namespace tolvane::geo {

namespace {

std::string field_names(OGRFeatureDefnH defn)
{
    std::string s;
    for (int i = 0; i < OGR_FD_GetFieldCount(defn); i++)
        s += (s.empty() ? "" : ", ") + std::string(OGR_Fld_GetNameRef(OGR_FD_GetFieldDefn(defn, i)));
    return s.empty() ? "none" : s;
}

bool is_point(OGRwkbGeometryType type)
{
    const OGRwkbGeometryType flat = wkbFlatten(type);
    return flat == wkbPoint || flat == wkbMultiPoint;
}

// Refuses a layer, or one feature (fid >= 0), whose geometry is not points.
void check_points(OGRwkbGeometryType type, const std::string &layer, const std::string &path, long long fid)
{
    const OGRwkbGeometryType flat = wkbFlatten(type);
    if (flat == wkbUnknown || flat == wkbNone || is_point(type))
        return;
    const char *kind = OGR_GT_IsSubClassOf(flat, wkbCurve) || OGR_GT_IsSubClassOf(flat, wkbMultiCurve) ? "lines"
                       : OGR_GT_IsSubClassOf(flat, wkbCurvePolygon) || OGR_GT_IsSubClassOf(flat, wkbMultiSurface)
                           ? "polygons"
                           : "geometries";
    throw Failure("layer '" + layer + "' of the spot heights " + path +
                      (fid >= 0 ? " (feature " + std::to_string(fid) + ")" : std::string()) + " holds " + kind +
                      " (" + OGRGeometryTypeToName(type) + "), not points: " + named("points") +
                      " takes a point layer",
                  "points");
}

} // namespace

SpotHeights read_spot_heights(const Request &q, const Grid &g, const LevelTable &t)
{
    SpotHeights out;
    const std::string &path = q.points.path;
    if (path.empty())
        return out;
    const OtherLayer opened = open_layer(path, q, g, "the spot heights", "points");
    OGRLayerH layer = opened.layer;
    const std::string &name = opened.name;
    check_points(OGR_L_GetGeomType(layer), name, path, -1);

    // The altitude: -points_a, else as the lines take theirs.
    std::string attribute = q.points.attribute;
    const bool from_z = attribute.empty() && q.source.height_from_z;
    if (attribute.empty() && !from_z)
        attribute = q.source.attribute;
    int field = -1;
    if (!from_z) {
        OGRFeatureDefnH defn = OGR_L_GetLayerDefn(layer);
        field = OGR_FD_GetFieldIndex(defn, attribute.c_str());
        if (field < 0)
            throw Failure("the spot heights " + path + " have no attribute '" + attribute + "' (their fields: " +
                              field_names(defn) + "); choose one with " + named("points_a"),
                          "points_a");
        const OGRFieldType type = OGR_Fld_GetType(OGR_FD_GetFieldDefn(defn, field));
        if (type != OFTInteger && type != OFTInteger64 && type != OFTReal)
            throw Failure("attribute '" + attribute + "' of the spot heights " + path + " is not numeric",
                          "points_a");
    }

    const Transform &to_grid = opened.to_grid;
    OGR_L_ResetReading(layer);
    while (OGRFeatureH next = OGR_L_GetNextFeature(layer)) {
        const Feature owned(next);
        OGRGeometryH geometry = OGR_F_GetGeometryRef(next);
        if (!geometry || OGR_G_IsEmpty(geometry)) {
            out.left++;
            continue;
        }
        check_points(OGR_G_GetGeometryType(geometry), name, path, OGR_F_GetFID(next));
        const bool set = from_z || OGR_F_IsFieldSetAndNotNull(next, field);
        const double attribute_value = set && !from_z ? OGR_F_GetFieldAsDouble(next, field) : NAN;
        const int parts = wkbFlatten(OGR_G_GetGeometryType(geometry)) == wkbMultiPoint
                              ? OGR_G_GetGeometryCount(geometry)
                              : 1;
        for (int k = 0; k < parts; k++) {
            OGRGeometryH point = parts == 1 && wkbFlatten(OGR_G_GetGeometryType(geometry)) == wkbPoint
                                     ? geometry
                                     : OGR_G_GetGeometryRef(geometry, k);
            if (!point || OGR_G_IsEmpty(point)) {
                out.left++;
                continue;
            }
            if (from_z && !OGR_G_Is3D(point))
                throw Failure("spot height " + std::to_string(OGR_F_GetFID(next)) + " of " + path +
                                  " has no Z coordinate: give its altitude's attribute with " + named("points_a"),
                              "points_a");
            double x = OGR_G_GetX(point, 0), y = OGR_G_GetY(point, 0), z = OGR_G_GetZ(point, 0);
            const double altitude = from_z ? z : attribute_value;
            if (!std::isfinite(altitude) || (to_grid && !OCTTransform(to_grid.get(), 1, &x, &y, &z))) {
                out.left++;
                continue;
            }
            const double row = (g.origin_y - y) / g.yres, column = (x - g.origin_x) / g.xres;
            if (!(row >= 0 && row < g.rows && column >= 0 && column < g.columns)) {
                out.left++;
                continue;
            }
            out.points.push_back({row, column, altitude * t.scale - static_cast<double>(t.base)});
        }
    }
    return out;
}

std::vector<SpotHeight> in_area(const std::vector<SpotHeight> &points, int row, int column)
{
    std::vector<SpotHeight> out;
    out.reserve(points.size());
    for (const SpotHeight &p : points)
        out.push_back({p.row - row, p.column - column, p.value});
    return out;
}

namespace {

// A connected set of pixels at one level, with the spot heights on it.
struct Flat {
    double level = 0;
    int r0 = 0, c0 = 0, r1 = 0, c1 = 0; // its box, r1 and c1 past the end
    std::vector<std::int64_t> cells;
    std::vector<SpotHeight> spots;
};

// The flat of level v through pixel `seed`, 8-connected, marked `id` in `label`.
Flat flat_through(const std::vector<double> &cells, int rows, int columns, std::int64_t seed, int id,
                  std::vector<int> &label)
{
    Flat f;
    f.level = cells[seed];
    f.r0 = f.r1 = static_cast<int>(seed / columns);
    f.c0 = f.c1 = static_cast<int>(seed % columns);
    std::vector<std::int64_t> stack{seed};
    label[seed] = id;
    while (!stack.empty()) {
        const std::int64_t k = stack.back();
        stack.pop_back();
        f.cells.push_back(k);
        const int r = static_cast<int>(k / columns), c = static_cast<int>(k % columns);
        f.r0 = std::min(f.r0, r);
        f.r1 = std::max(f.r1, r);
        f.c0 = std::min(f.c0, c);
        f.c1 = std::max(f.c1, c);
        for (int dr = -1; dr <= 1; dr++)
            for (int dc = -1; dc <= 1; dc++) {
                const int nr = r + dr, nc = c + dc;
                if (nr < 0 || nc < 0 || nr >= rows || nc >= columns)
                    continue;
                const std::int64_t m = static_cast<std::int64_t>(nr) * columns + nc;
                if (label[m] < 0 && cells[m] == f.level) {
                    label[m] = id;
                    stack.push_back(m);
                }
            }
    }
    f.r1++;
    f.c1++;
    return f;
}

// Each pixel of the flat's box (and one around it) with its distance, in
// pixels, to the nearest pixel off the flat (the grid's edge counts as off): a
// chamfer of 1 along rows and columns and sqrt(2) across.
std::vector<double> distance_to_edge(const Flat &f, int columns)
{
    const int h = f.r1 - f.r0 + 2, w = f.c1 - f.c0 + 2;
    const auto at = [w](int i, int j) { return static_cast<std::size_t>(i) * w + j; };
    std::vector<double> d(static_cast<std::size_t>(h) * w, 0.0);
    for (std::int64_t k : f.cells)
        d[at(static_cast<int>(k / columns) - f.r0 + 1, static_cast<int>(k % columns) - f.c0 + 1)] =
            std::numeric_limits<double>::infinity();
    const double diagonal = std::sqrt(2.0);
    for (int i = 1; i < h - 1; i++)
        for (int j = 1; j < w - 1; j++)
            d[at(i, j)] = std::min({d[at(i, j)], d[at(i - 1, j)] + 1, d[at(i, j - 1)] + 1,
                                    d[at(i - 1, j - 1)] + diagonal, d[at(i - 1, j + 1)] + diagonal});
    for (int i = h - 2; i >= 1; i--)
        for (int j = w - 2; j >= 1; j--)
            d[at(i, j)] = std::min({d[at(i, j)], d[at(i + 1, j)] + 1, d[at(i, j + 1)] + 1,
                                    d[at(i + 1, j + 1)] + diagonal, d[at(i + 1, j - 1)] + diagonal});
    return d;
}

} // namespace

void shape_flats(std::vector<double> &cells, int rows, int columns, const std::vector<SpotHeight> &points,
                 const tolvane::Levels &levels)
{
    if (!(levels.interval > 0) || rows < 1 || columns < 1)
        return;
    std::vector<int> label(cells.size(), -1);
    std::vector<Flat> flats;
    for (const SpotHeight &p : points) {
        const int i = static_cast<int>(std::floor(p.row)), j = static_cast<int>(std::floor(p.column));
        if (i < 0 || j < 0 || i >= rows || j >= columns)
            continue;
        const std::int64_t k = static_cast<std::int64_t>(i) * columns + j;
        const double v = cells[k], t = (v - levels.lowest) / levels.interval;
        if (std::isnan(v) || t != std::round(t)) // not on a level: no flat the core left
            continue;
        if (label[k] < 0)
            flats.push_back(flat_through(cells, rows, columns, k, static_cast<int>(flats.size()), label));
        flats[static_cast<std::size_t>(label[k])].spots.push_back(p);
    }
    for (const Flat &f : flats) {
        const std::vector<double> edge = distance_to_edge(f, columns);
        const int w = f.c1 - f.c0 + 2;
        for (std::int64_t k : f.cells) {
            const int r = static_cast<int>(k / columns), c = static_cast<int>(k % columns);
            // The pixels beside the flat's edge stay at the level: they hold the line.
            const double b = edge[static_cast<std::size_t>(r - f.r0 + 1) * w + (c - f.c0 + 1)] - 1;
            double move = 0;
            for (const SpotHeight &p : f.spots) {
                const double a = std::hypot(r + 0.5 - p.row, c + 0.5 - p.column);
                const double m = (p.value - f.level) * (a + b > 0 ? b / (a + b) : 1.0);
                if (std::abs(m) > std::abs(move))
                    move = m;
            }
            cells[k] = f.level + move;
        }
    }
}

std::vector<std::int64_t> pin_spot_heights(std::vector<double> &cells, int rows, int columns,
                                           const std::vector<SpotHeight> &points, long long &left)
{
    // Of the spot heights on each pixel, the nearest its centre, and its distance.
    std::map<std::int64_t, std::pair<double, double>> pinned;
    for (const SpotHeight &p : points) {
        const int i = static_cast<int>(std::floor(p.row)), j = static_cast<int>(std::floor(p.column));
        if (i < 0 || j < 0 || i >= rows || j >= columns)
            continue;
        const std::int64_t k = static_cast<std::int64_t>(i) * columns + j;
        if (std::isnan(cells[k])) {
            left++;
            continue;
        }
        const double off = std::hypot(p.row - (i + 0.5), p.column - (j + 0.5));
        const auto found = pinned.find(k);
        if (found == pinned.end() || off < found->second.first)
            pinned[k] = {off, p.value};
    }
    std::vector<std::int64_t> out;
    out.reserve(pinned.size());
    for (const auto &[k, spot] : pinned) {
        cells[k] = spot.second;
        out.push_back(k);
    }
    return out;
}

} // namespace tolvane::geo
