// tolvane._geo: the GIS library (include/tolvane/geo.h) for Python. The keyword
// arguments of Request are the Python names of the library's option table
// (<tolvane/geo_options.h>), whose parser checks them as it checks tolvane-geo's
// command line; tolvane.geo and tolvane.tiles build on them.
#include "as_array.h"

#include <tolvane/geo.h>
#include <tolvane/geo_options.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
namespace geo = tolvane::geo;

namespace {

// A request with the settings it was made of: they are what a pickled request
// carries (Dask sends requests to its workers), read back by the same parser.
struct PyRequest {
    std::vector<geo::Setting> settings;
    geo::Request request;
};

PyRequest from_settings(std::vector<geo::Setting> settings)
{
    PyRequest r{std::move(settings), {}};
    r.request = geo::parse_settings(r.settings);
    return r;
}

std::string number_word(const py::handle &v, const geo::Option &o)
{
    if (py::isinstance<py::str>(v)) // from a command line: the parser reads it
        return v.cast<std::string>();
    if (py::isinstance<py::int_>(v) && !py::isinstance<py::bool_>(v))
        return py::str(v).cast<std::string>(); // exact, however large
    PyObject *f = PyNumber_Float(v.ptr());
    if (!f) {
        PyErr_Clear();
        throw py::type_error(std::string(o.keyword) + " takes numbers, not " +
                             py::str(py::type::of(v).attr("__name__")).cast<std::string>());
    }
    const double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return geo::exact_text(d);
}

std::string text_word(const py::handle &v, const geo::Option &o)
{
    py::object t = py::reinterpret_borrow<py::object>(v);
    if (o.kind == geo::ValueKind::path)
        t = py::module_::import("os").attr("fspath")(v);
    if (!py::isinstance<py::str>(t))
        throw py::type_error(std::string(o.keyword) + " takes a str" +
                             (o.kind == geo::ValueKind::path ? " or a path" : "") + ", not " +
                             py::str(py::type::of(v).attr("__name__")).cast<std::string>());
    return t.cast<std::string>();
}

// The settings of one keyword: none for None, False or the option's default (a
// keyword at its default is as if not given, so that attribute="elev" goes with
// z=True), one for each item of a repeatable option.
void add_settings(std::vector<geo::Setting> &out, const geo::Option &o, const py::handle &v)
{
    if (v.is_none())
        return;
    std::vector<std::vector<std::string>> given;
    switch (o.kind) {
    case geo::ValueKind::flag:
        if (PyObject_IsTrue(v.ptr()))
            given.push_back({});
        break;
    case geo::ValueKind::number:
    case geo::ValueKind::whole: {
        std::vector<std::string> words;
        if (py::isinstance<py::str>(v) || !py::isinstance<py::sequence>(v))
            // One number for an option of two stands for both (resolution=10).
            words.assign(o.values.size() == 2 ? 2 : 1, number_word(v, o));
        else
            for (const py::handle &item : v.cast<py::sequence>())
                words.push_back(number_word(item, o));
        given.push_back(words);
        break;
    }
    default:
        if (o.repeatable) {
            if (py::isinstance<py::str>(v) || !py::isinstance<py::sequence>(v))
                throw py::type_error(std::string(o.keyword) + " takes a list of str");
            for (const py::handle &item : v.cast<py::sequence>())
                given.push_back({text_word(item, o)});
        } else {
            given.push_back({text_word(v, o)});
        }
    }
    for (std::vector<std::string> &words : given)
        if (!(words.size() == 1 && *o.default_value && words[0] == o.default_value))
            out.push_back({o.key, std::move(words)});
}

// The request of these keywords, checked by the library's parser as tolvane-geo's
// command line is.
PyRequest make_request(const py::object &source, const py::object &output, const py::object &resolution,
                       const py::object &attribute, const py::kwargs &options)
{
    std::vector<geo::Setting> settings;
    const std::pair<const char *, py::object> positional[] = {
        {"source", source}, {"output", output}, {"resolution", resolution}, {"attribute", attribute}};
    for (const auto &[keyword, value] : positional)
        add_settings(settings, *geo::find_option(keyword), value);
    for (const auto &[name, value] : options) {
        const std::string keyword = py::str(name).cast<std::string>();
        const geo::Option *o = nullptr;
        for (const geo::Option &c : geo::options())
            if (*c.keyword && keyword == c.keyword)
                o = &c;
        if (!o || keyword == "source" || keyword == "output" || keyword == "resolution" || keyword == "attribute")
            throw py::type_error("Request() got an unexpected keyword argument '" + keyword + "'");
        add_settings(settings, *o, value);
    }
    return from_settings(std::move(settings));
}

// The same request with one option's values replaced (none: dropped).
PyRequest replaced(const PyRequest &q, const std::vector<std::string> &keys, const geo::Setting &setting)
{
    std::vector<geo::Setting> s;
    for (const geo::Setting &old : q.settings)
        if (std::find(keys.begin(), keys.end(), old.key) == keys.end())
            s.push_back(old);
    s.push_back(setting);
    return from_settings(std::move(s));
}

py::list state_of(const PyRequest &q)
{
    py::list l;
    for (const geo::Setting &s : q.settings)
        l.append(py::make_tuple(s.key, py::tuple(py::cast(s.values))));
    return l;
}

PyRequest from_state(const py::list &l)
{
    std::vector<geo::Setting> s;
    for (const py::handle &item : l) {
        const auto t = item.cast<py::tuple>();
        s.push_back({t[0].cast<std::string>(), t[1].cast<std::vector<std::string>>()});
    }
    return from_settings(std::move(s));
}

const char *kind_name(geo::ValueKind k)
{
    switch (k) {
    case geo::ValueKind::flag: return "flag";
    case geo::ValueKind::text: return "text";
    case geo::ValueKind::path: return "path";
    case geo::ValueKind::number: return "number";
    case geo::ValueKind::whole: return "whole";
    case geo::ValueKind::choice: return "choice";
    }
    return "";
}

geo::Naming naming_of(const std::string &name)
{
    if (name == "flag")
        return geo::Naming::flag;
    if (name == "keyword")
        return geo::Naming::keyword;
    if (name == "parameter")
        return geo::Naming::parameter;
    throw py::value_error("naming is \"flag\", \"keyword\" or \"parameter\", not \"" + name + "\"");
}

py::list option_dicts()
{
    py::list l;
    for (const geo::Option &o : geo::options()) {
        py::dict d;
        d["key"] = o.key;
        d["flag"] = o.flag;
        d["keyword"] = o.keyword;
        d["parameter"] = o.parameter;
        d["kind"] = kind_name(o.kind);
        d["values"] = py::tuple(py::cast(o.values));
        d["lowest"] = o.lowest;
        d["highest"] = o.highest;
        d["words"] = py::tuple(py::cast(o.words));
        d["default"] = *o.default_value ? py::object(py::str(o.default_value)) : py::object(py::none());
        d["repeatable"] = o.repeatable;
        d["help"] = o.help;
        l.append(d);
    }
    return l;
}

// A Python progress callable in GDAL's form: called with the fraction done; a
// false answer (or an exception, raised again when the run ends) stops the run. Python's
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
            // Any false answer stops the run (False, 0, numpy's False_); None, the
            // answer of a function that returns nothing, goes on.
            py::object answer = p->callable(fraction);
            if (answer.is_none())
                return TRUE;
            const int truth = PyObject_IsTrue(answer.ptr());
            if (truth < 0)
                throw py::error_already_set();
            return truth ? TRUE : FALSE;
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
            // Worded with Python's keywords; text keeps the tokens for front ends
            // that name the options otherwise (QGIS).
            py::object error = error_type(geo::worded(e.text(), geo::Naming::keyword), kind, py::tuple(), e.key(),
                                          e.text());
            PyErr_SetObject(error_type.ptr(), error.ptr());
        }
    });

    m.def("options", &option_dicts,
          "The option table: a dict for each option (key, flag, keyword, parameter, kind, values, lowest, "
          "highest, words, default, repeatable, help).");
    m.def(
        "worded",
        [](const std::string &text, const std::string &naming) { return geo::worded(text, naming_of(naming)); },
        py::arg("text"), py::arg("naming"),
        "text with the options it names worded as tolvane-geo's flags (\"flag\"), Python's keywords "
        "(\"keyword\") or QGIS's parameters (\"parameter\").");

    py::class_<PyRequest>(m, "Request",
                          "A run of tolvane-geo: its options under the Python names of tolvane.geo.options() "
                          "(source, output, resolution and attribute also by position).")
        .def(py::init(&make_request), py::arg("source"), py::arg("output") = py::none(),
             py::arg("resolution") = py::none(), py::arg("attribute") = py::none())
        .def_property_readonly("source", [](const PyRequest &q) { return q.request.source.path; })
        .def_property_readonly("output", [](const PyRequest &q) { return q.request.product.output; })
        .def_property_readonly("smoothing", [](const PyRequest &q) { return q.request.core.smoothing; })
        .def_property_readonly("threads", [](const PyRequest &q) { return q.request.core.threads; })
        .def_property_readonly("settings", [](const PyRequest &q) { return state_of(q); },
                               "The options given, as (key, values) with the values as the parser reads them.")
        .def("with_grid", [](const PyRequest &q, const geo::Grid &g) {
            // The same request on an exact grid (the tiles' workers place no grid of their own).
            return replaced(q, {"extent", "tap"},
                            {"extent", {geo::exact_text(g.origin_x), geo::exact_text(g.origin_y - g.rows * g.yres),
                                        geo::exact_text(g.origin_x + g.columns * g.xres), geo::exact_text(g.origin_y)}});
        })
        .def("with_gaps", [](const PyRequest &q, double gaps) {
            // The same request with the gap distance the whole sheet chose.
            return replaced(q, {"repair_gaps"}, {"repair_gaps", {geo::exact_text(gaps)}});
        })
        .def(py::pickle([](const PyRequest &q) { return state_of(q); },
                        [](py::list l) { return from_state(l); }));

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
        [](const PyRequest &pq, py::object progress) {
            const geo::Request &q = pq.request;
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
        .def(py::init([](const PyRequest &q) {
                 gdal_once();
                 py::gil_scoped_release no_gil;
                 const QuietGdal quiet;
                 return std::make_unique<geo::ContourSource>(q.request);
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
                // What reading the lines left out, in the words of the report,
                // and what their level table says (a default table would hold
                // the one level 0).
                geo::Report r;
                r.table = s.table();
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
            [](geo::ContourSource &s, const PyRequest &pq, int row, int column, int rows, int columns, int halo) {
                const geo::Request &q = pq.request;
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
        .def(py::init([](const PyRequest &q, const geo::ContourSource &s) {
                 gdal_once();
                 const QuietGdal quiet;
                 return std::make_unique<geo::ProductWriter>(q.request.product, s.grid(), s.table());
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
