// tolvane._geo: the GIS library (include/tolvane/geo.h) for Python. The keyword
// arguments of Request are tolvane-geo's options under Python names; tolvane.geo
// and tolvane.tiles build on them.
#include "as_array.h"

#include <tolvane/geo.h>


#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
namespace geo = tolvane::geo;

namespace {

geo::OutputType output_type(const std::string &name)
{
    for (geo::OutputType t : {geo::OutputType::Float32, geo::OutputType::Int32, geo::OutputType::Int16})
        if (name == geo::type_name(t))
            return t;
    throw geo::UsageFailure("dtype '" + name + "' is not Float32, Int32 or Int16");
}

std::pair<double, double> resolution_of(const py::object &r)
{
    if (py::isinstance<py::float_>(r) || py::isinstance<py::int_>(r))
        return {r.cast<double>(), r.cast<double>()};
    const auto xy = r.cast<std::vector<double>>();
    if (xy.size() != 2)
        throw geo::UsageFailure("resolution is one number or (x, y)");
    return {xy[0], xy[1]};
}

std::string optional_path(const py::object &o) { return o.is_none() ? "" : py::str(o).cast<std::string>(); }

// The request of tolvane-geo's options, checked as its command line checks them.
geo::Request make_request(const py::object &source, const py::object &output, const py::object &resolution,
                          const std::string &attribute, bool z, const py::object &layer, const py::object &extent,
                          bool tap, const py::object &t_srs, const py::object &levels, double scale, int smoothing,
                          const py::object &repair_gaps, const py::object &mask, const std::string &dtype,
                          const py::object &nodata, bool cog, const std::vector<std::string> &creation_options,
                          const py::object &contours, const py::object &hillshade, const py::object &leaks,
                          int threads, bool strict, const py::object &oversample, double wm)
{
    geo::Request q;
    q.source.path = py::str(source).cast<std::string>();
    q.source.attribute = attribute;
    q.source.height_from_z = z;
    q.source.layer = optional_path(layer);
    if (!resolution.is_none()) {
        const auto [x, y] = resolution_of(resolution);
        if (!(x > 0 && y > 0))
            throw geo::UsageFailure("resolution must be positive");
        q.grid.xres = x;
        q.grid.yres = y;
    }
    if (!extent.is_none()) {
        const auto e = extent.cast<std::vector<double>>();
        if (e.size() != 4 || !(e[0] < e[2] && e[1] < e[3]))
            throw geo::UsageFailure("extent is (xmin, ymin, xmax, ymax) with xmin below xmax and ymin below ymax");
        q.grid.extent = geo::Extent{e[0], e[1], e[2], e[3]};
    }
    q.grid.aligned = tap;
    q.grid.target_srs = optional_path(t_srs);
    if (!levels.is_none()) {
        const auto l = levels.cast<std::vector<double>>();
        if (l.size() != 3 || !(l[2] > 0) || l[1] < l[0])
            throw geo::UsageFailure("levels is (lowest, highest, interval), highest not below lowest and a positive interval");
        q.levels.given = geo::GivenLevels{l[0], l[1], l[2]};
    }
    if (scale < 0)
        throw geo::UsageFailure("scale must be positive (0: a power of ten found from the levels)");
    q.levels.scale = scale;
    q.core.smoothing = smoothing;
    try {
        tolvane::check_smoothing(smoothing);
    } catch (const tolvane::Error &e) {
        throw geo::UsageFailure(e.what());
    }
    if (threads < 0 || threads > 256)
        throw geo::UsageFailure("threads is 0 (every core) to 256");
    q.core.threads = threads;
    if (!repair_gaps.is_none()) {
        q.repair.gaps = repair_gaps.cast<double>();
        if (q.repair.gaps < 0 || q.repair.gaps > 100)
            throw geo::UsageFailure("repair_gaps is a number of pixels from 0 to 100");
    }
    q.footprint.mask = optional_path(mask);
    q.product.output = optional_path(output);
    q.product.type = output_type(dtype);
    q.product.format = cog ? "COG" : "GTiff";
    q.product.creation_options = creation_options;
    if (!nodata.is_none())
        q.product.nodata = nodata.cast<double>();
    q.product.contours = optional_path(contours);
    q.product.hillshade = optional_path(hillshade);
    q.product.leaks = optional_path(leaks);
    q.strict = strict;
    if (!oversample.is_none() && !(py::isinstance<py::str>(oversample) && oversample.cast<std::string>() == "auto")) {
        q.core.oversample = oversample.cast<int>();
        if (q.core.oversample < 1 || q.core.oversample > 16)
            throw geo::UsageFailure("oversample is \"auto\" (None) or a whole number from 1 to 16");
    }
    if (wm < 0)
        throw geo::UsageFailure("wm is the memory of the core's windows in MiB (0: a quarter of the machine's)");
    q.core.memory = wm * 1024 * 1024;
    return q;
}

// The request's fields as a tuple, for pickling (Dask sends requests to its workers).
py::tuple state_of(const geo::Request &q)
{
    py::object extent = q.grid.extent ? py::make_tuple(q.grid.extent->xmin, q.grid.extent->ymin, q.grid.extent->xmax,
                                                       q.grid.extent->ymax)
                                      : py::object(py::none());
    py::object levels = q.levels.given ? py::make_tuple(q.levels.given->lowest, q.levels.given->highest,
                                                        q.levels.given->interval)
                                       : py::object(py::none());
    py::object nodata = q.product.nodata ? py::object(py::float_(*q.product.nodata)) : py::object(py::none());
    return py::make_tuple(q.source.path, q.product.output, py::make_tuple(q.grid.xres, q.grid.yres),
                          q.source.attribute, q.source.height_from_z, q.source.layer, extent, q.grid.aligned,
                          q.grid.target_srs, levels, q.levels.scale, q.core.smoothing, q.repair.gaps,
                          q.footprint.mask, geo::type_name(q.product.type), nodata, q.product.format == "COG",
                          q.product.creation_options, q.product.contours, q.product.hillshade, q.product.leaks,
                          q.core.threads, q.strict,
                          q.core.oversample > 0 ? py::object(py::int_(q.core.oversample)) : py::object(py::none()),
                          q.core.memory / (1024 * 1024));
}

geo::Request from_state(const py::tuple &t)
{
    auto text_or_none = [](const py::handle &h) {
        return h.cast<std::string>().empty() ? py::object(py::none()) : py::reinterpret_borrow<py::object>(h);
    };
    const auto res = t[2].cast<std::pair<double, double>>();
    return make_request(t[0], text_or_none(t[1]), res.first > 0 ? py::object(t[2]) : py::object(py::none()),
                        t[3].cast<std::string>(), t[4].cast<bool>(), text_or_none(t[5]), t[6], t[7].cast<bool>(),
                        text_or_none(t[8]), t[9], t[10].cast<double>(), t[11].cast<int>(),
                        t[12].cast<double>() < 0 ? py::object(py::none()) : py::object(t[12]), text_or_none(t[13]),
                        t[14].cast<std::string>(), t[15], t[16].cast<bool>(), t[17].cast<std::vector<std::string>>(),
                        text_or_none(t[18]), text_or_none(t[19]), text_or_none(t[20]), t[21].cast<int>(),
                        t[22].cast<bool>(), t[23], t[24].cast<double>());
}

// A Python progress callable in GDAL's form: called with the fraction done; False
// (or an exception, raised again when the run ends) stops the run. Python's
// pending signals are checked on the way, at most every 50 ms without a callable,
// so that Ctrl-C stops the run with KeyboardInterrupt.
struct Progress {
    py::object callable;
    std::unique_ptr<py::error_already_set> error;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    static int CPL_STDCALL call(double fraction, const char *, void *self)
    {
        auto *p = static_cast<Progress *>(self);
        if (p->error) // set on this thread: a step that failed asks again whether it was told to stop
            return FALSE;
        const auto now = std::chrono::steady_clock::now();
        if (p->callable.is_none() && now - p->last < std::chrono::milliseconds(50))
            return TRUE;
        p->last = now;
        py::gil_scoped_acquire gil;
        try {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (p->callable.is_none())
                return TRUE;
            py::object answer = p->callable(fraction);
            return answer.is(py::bool_(false)) ? FALSE : TRUE;
        } catch (py::error_already_set &e) {
            p->error = std::make_unique<py::error_already_set>(std::move(e));
            return FALSE;
        }
    }
    void raise_pending()
    {
        if (error)
            throw std::move(*error);
    }
};

py::dict grid_dict(const geo::Grid &g)
{
    py::dict d;
    d["origin_x"] = g.origin_x;
    d["origin_y"] = g.origin_y;
    d["xres"] = g.xres;
    d["yres"] = g.yres;
    d["rows"] = g.rows;
    d["columns"] = g.columns;
    d["srs_wkt"] = g.srs_wkt;
    return d;
}

py::dict table_dict(const geo::LevelTable &t)
{
    py::dict d;
    d["scale"] = t.scale;
    d["base"] = t.base;
    d["decimals"] = t.decimals;
    d["lowest"] = t.levels.lowest;
    d["highest"] = t.levels.highest;
    d["interval"] = t.levels.interval;
    d["distinct"] = t.distinct;
    d["given"] = t.given;
    d["lowest_value"] = t.lowest_value;
    d["highest_value"] = t.highest_value;
    return d;
}

py::dict report_dict(const geo::Report &r, const geo::Request &q)
{
    py::dict d;
    d["grid"] = grid_dict(r.grid);
    d["table"] = table_dict(r.table);
    d["gap_distance"] = r.gap_distance;
    d["radius"] = r.radius;
    d["open_ends"] = r.open_ends;
    d["ends_left"] = r.ends_left;
    d["hidden"] = r.hidden;
    for (auto [name, value] : {std::pair<const char *, long long>{"lines", r.lines},
                               {"line_joins", r.line_joins},
                               {"grid_joins", r.grid_joins},
                               {"outside", r.outside},
                               {"contour_pixels", r.contour_pixels},
                               {"off_level_pixels", r.off_level_pixels},
                               {"zone_pixels", r.zone_pixels},
                               {"leak_pixels", r.leak_pixels},
                               {"clamped", r.clamped},
                               {"nodata_in_data", r.nodata_in_data}})
        d[name] = value;
    d["footprint"] = r.footprint;
    d["missing_levels"] = py::tuple(py::cast(r.missing_levels));
    d["without_altitude"] = py::tuple(py::cast(r.without_altitude));
    d["without_geometry"] = py::tuple(py::cast(r.without_geometry));
    d["nodata"] = r.nodata;
    d["oversample"] = r.oversample;
    d["windows"] = r.windows;
    d["notes"] = geo::notes(r, q);
    d["warnings"] = geo::warnings(r, q);
    return d;
}


// GDAL's own messages are not printed while a run lasts: a failure quotes the
// last one in its tolvane.Error.
struct QuietGdal {
    QuietGdal() { CPLPushErrorHandler(CPLQuietErrorHandler); }
    ~QuietGdal() { CPLPopErrorHandler(); }
    QuietGdal(const QuietGdal &) = delete;
    QuietGdal &operator=(const QuietGdal &) = delete;
};

void gdal_once()
{
    static const bool registered = [] {
        GDALAllRegister();
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
        return true;
    }();
    (void)registered;
}

} // namespace

PYBIND11_MODULE(_geo, m)
{
    m.doc() = "The tolvane GIS library; use tolvane.geo and tolvane.tiles.";
    m.attr("ERROR_KINDS") = py::make_tuple("failure", "usage", "cancelled");

    static py::handle error_type;
    m.def("_set_error_type", [](py::object type) { error_type = type.release(); });
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const geo::Failure &e) {
            const char *kind = dynamic_cast<const geo::Cancelled *>(&e)       ? "cancelled"
                               : dynamic_cast<const geo::UsageFailure *>(&e) ? "usage"
                                                                              : "failure";
            if (!error_type) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
                return;
            }
            py::object error = error_type(e.what(), kind, py::tuple());
            PyErr_SetObject(error_type.ptr(), error.ptr());
        }
    });

    py::class_<geo::Request>(m, "Request", "A run of tolvane-geo: its options under Python names.")
        .def(py::init(&make_request), py::arg("source"), py::arg("output") = py::none(),
             py::arg("resolution") = py::none(), py::arg("attribute") = "elev", py::kw_only(), py::arg("z") = false,
             py::arg("layer") = py::none(), py::arg("extent") = py::none(), py::arg("tap") = false,
             py::arg("t_srs") = py::none(), py::arg("levels") = py::none(), py::arg("scale") = 0.0,
             py::arg("smoothing") = 1, py::arg("repair_gaps") = py::none(), py::arg("mask") = py::none(),
             py::arg("dtype") = "Float32", py::arg("nodata") = py::none(), py::arg("cog") = false,
             py::arg("creation_options") = std::vector<std::string>{}, py::arg("contours") = py::none(),
             py::arg("hillshade") = py::none(), py::arg("leaks") = py::none(), py::arg("threads") = 0,
             py::arg("strict") = false, py::arg("oversample") = py::none(), py::arg("wm") = 0.0)
        .def_property_readonly("source", [](const geo::Request &q) { return q.source.path; })
        .def_property_readonly("output", [](const geo::Request &q) { return q.product.output; })
        .def_property_readonly("smoothing", [](const geo::Request &q) { return q.core.smoothing; })
        .def_property_readonly("threads", [](const geo::Request &q) { return q.core.threads; })
        .def("with_grid", [](geo::Request q, const geo::Grid &g) {
            // The same request on an exact grid (the tiles' workers place no grid of their own).
            q.grid.extent = geo::Extent{g.origin_x, g.origin_y - g.rows * g.yres, g.origin_x + g.columns * g.xres,
                                        g.origin_y};
            q.grid.aligned = false;
            return q;
        })
        .def("with_gaps", [](geo::Request q, double gaps) {
            // The same request with the gap distance the whole sheet chose.
            q.repair.gaps = gaps;
            return q;
        })
        .def(py::pickle([](const geo::Request &q) { return state_of(q); },
                        [](py::tuple t) { return from_state(t); }));

    py::class_<geo::Grid>(m, "Grid")
        .def_readonly("origin_x", &geo::Grid::origin_x)
        .def_readonly("origin_y", &geo::Grid::origin_y)
        .def_readonly("xres", &geo::Grid::xres)
        .def_readonly("yres", &geo::Grid::yres)
        .def_readonly("rows", &geo::Grid::rows)
        .def_readonly("columns", &geo::Grid::columns)
        .def_readonly("srs_wkt", &geo::Grid::srs_wkt)
        .def("as_dict", &grid_dict);

    m.def(
        "run",
        [](const geo::Request &q, py::object progress) {
            gdal_once();
            Progress p{std::move(progress), nullptr, std::chrono::steady_clock::now()};
            geo::Report r;
            {
                py::gil_scoped_release no_gil;
                const QuietGdal quiet;
                try {
                    r = geo::elevation(q, &Progress::call, &p);
                } catch (const geo::Cancelled &) {
                    py::gil_scoped_acquire gil;
                    p.raise_pending();
                    throw;
                }
            }
            p.raise_pending();
            return report_dict(r, q);
        },
        py::arg("request"), py::arg("progress") = py::none(), "Runs a request; returns its report as a dict.");

    py::class_<geo::ContourSource>(m, "Source", "The contours of a request, opened once; burns any window.")
        .def(py::init([](const geo::Request &q) {
                 gdal_once();
                 py::gil_scoped_release no_gil;
                 const QuietGdal quiet;
                 return std::make_unique<geo::ContourSource>(q);
             }),
             py::arg("request"))
        .def_property_readonly("grid", &geo::ContourSource::grid)
        .def_property_readonly("table", [](const geo::ContourSource &s) { return table_dict(s.table()); })
        .def_property_readonly("levels",
                               [](const geo::ContourSource &s) {
                                   const tolvane::Levels &l = s.table().levels;
                                   return py::make_tuple(l.lowest, l.highest, l.interval);
                               })
        .def_property_readonly("lines", &geo::ContourSource::lines)
        .def_property_readonly("gap_distance", &geo::ContourSource::gap_distance)
        .def_property_readonly("raster", &geo::ContourSource::raster)
        .def_property_readonly(
            "warnings",
            [](const geo::ContourSource &s) {
                // What reading the lines left out, in the words of the report.
                geo::Report r;
                r.without_altitude = s.without_altitude();
                r.without_geometry = s.without_geometry();
                return geo::warnings(r, geo::Request{});
            })
        .def(
            "prepare",
            [](const geo::ContourSource &s, int row, int column, int rows, int columns) {
                geo::Window w;
                {
                    py::gil_scoped_release no_gil;
                    const QuietGdal quiet;
                    w = s.prepare(row, column, rows, columns);
                }
                py::object shown = w.shown.empty() ? py::object(py::none())
                                                   : py::object(as_array(std::move(w.shown), rows, columns));
                return py::make_tuple(as_array(std::move(w.cells), rows, columns), shown);
            },
            py::arg("row"), py::arg("column"), py::arg("rows"), py::arg("columns"),
            "The window as the core receives it: (cells, shown), shown the cells the output keeps (None: all).")
        .def(
            "compute",
            [](geo::ContourSource &s, const geo::Request &q, int row, int column, int rows, int columns, int halo) {
                geo::Computed c;
                {
                    py::gil_scoped_release no_gil;
                    const QuietGdal quiet;
                    geo::settle_oversample(s, q);
                    c = geo::compute(s, q, row, column, rows, columns, halo);
                }
                py::dict d;
                d["cells"] = as_array(std::move(c.cells), rows, columns);
                d["leak_pixels"] = c.leak_pixels;
                d["zone_pixels"] = c.zone_pixels;
                d["windows"] = c.windows;
                return d;
            },
            py::arg("request"), py::arg("row"), py::arg("column"), py::arg("rows"), py::arg("columns"),
            py::arg("halo"),
            "The area's cells computed by the core (with `halo` pixels around it burned and computed too), "
            "oversampled and in windows as the request asks: a dict with the float64 cells in the core's units "
            "(NaN: nodata) and what the core found.");

    py::class_<geo::ProductWriter>(m, "Writer", "The elevation model written window by window.")
        .def(py::init([](const geo::Request &q, const geo::ContourSource &s) {
                 gdal_once();
                 const QuietGdal quiet;
                 return std::make_unique<geo::ProductWriter>(q.product, s.grid(), s.table());
             }),
             py::arg("request"), py::arg("source"))
        .def(
            "write",
            [](geo::ProductWriter &w, int row, int column, py::array_t<std::int32_t, py::array::c_style> cells) {
                if (cells.ndim() != 2)
                    throw geo::UsageFailure("cells must be a 2-D array");
                const int rows = static_cast<int>(cells.shape(0)), columns = static_cast<int>(cells.shape(1));
                const std::int32_t *data = cells.data();
                py::gil_scoped_release no_gil;
                const QuietGdal quiet;
                w.write(row, column, rows, columns, data);
            },
            py::arg("row"), py::arg("column"), py::arg("cells").noconvert())
        .def(
            "write",
            [](geo::ProductWriter &w, int row, int column, py::array_t<double, py::array::c_style> cells) {
                if (cells.ndim() != 2)
                    throw geo::UsageFailure("cells must be a 2-D array");
                const int rows = static_cast<int>(cells.shape(0)), columns = static_cast<int>(cells.shape(1));
                const double *data = cells.data();
                py::gil_scoped_release no_gil;
                const QuietGdal quiet;
                w.write(row, column, rows, columns, data);
            },
            py::arg("row"), py::arg("column"), py::arg("cells").noconvert())
        .def(
            "commit",
            [](geo::ProductWriter &w, py::object progress) {
                Progress p{std::move(progress), nullptr, std::chrono::steady_clock::now()};
                {
                    py::gil_scoped_release no_gil;
                    const QuietGdal quiet;
                    try {
                        w.commit(&Progress::call, &p);
                    } catch (const geo::Cancelled &) {
                        py::gil_scoped_acquire gil;
                        p.raise_pending();
                        throw;
                    }
                }
                p.raise_pending();
            },
            py::arg("progress") = py::none())
        .def("discard", &geo::ProductWriter::discard, "Removes what was written; the writer is unusable after it.")
        .def_property_readonly("nodata", &geo::ProductWriter::nodata);
}
