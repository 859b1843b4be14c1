// tolvane._core: the core library on numpy arrays.
//
// The Python side (tolvane/__init__.py) checks the arguments and hands over a
// C-contiguous int32 array; this file only runs the core without the GIL and
// turns its result and errors into Python objects.
#include "as_array.h"

#include <tolvane/tolvane.h>

#include <pybind11/functional.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {


// The progress of a run: Python's pending signals and the caller's callable.
struct Watch {
    explicit Watch(py::object callable) : callable(std::move(callable)) {}
    py::object callable; // None: signals only
    std::unique_ptr<py::error_already_set> error;
    std::atomic<bool> cancel{false};
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();

    void operator()(double fraction)
    {
        const auto now = std::chrono::steady_clock::now();
        if (callable.is_none() && now - last < std::chrono::milliseconds(50))
            return;
        last = now;
        py::gil_scoped_acquire gil;
        if (error)
            return;
        try {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (!callable.is_none())
                callable(fraction);
        } catch (py::error_already_set &e) {
            error = std::make_unique<py::error_already_set>(std::move(e));
            cancel = true;
        }
    }
};

// The cells, or with `report` a dict of the cells and what the core found.
py::object elevation(py::array_t<std::int32_t, py::array::c_style> contours, int lowest, int highest, int interval,
                     int smoothing, py::object progress, int threads, bool report, bool leak_mask)
{
    if (contours.ndim() != 2)
        throw py::value_error("contours must be a 2-D array");
    // The core takes int sizes; larger grids could not be allocated anyway.
    if (contours.shape(0) > INT32_MAX || contours.shape(1) > INT32_MAX)
        throw py::value_error("contours has more than 2147483647 rows or columns");
    const int rows = static_cast<int>(contours.shape(0));
    const int columns = static_cast<int>(contours.shape(1));

    tolvane::Options options;
    options.smoothing = smoothing;
    options.threads = threads;
    options.want_leak_mask = leak_mask;
    // The run is watched from its progress: Ctrl-C (Python's signal handlers run
    // here, on the calling thread, with the GIL taken for a moment at most every
    // 50 ms) or an exception of the progress callable stops the core, and that
    // exception reaches the caller.
    Watch watch(std::move(progress));
    options.progress = std::ref(watch);
    options.cancel = &watch.cancel;

    tolvane::Result result;
    try {
        // contours stays referenced by this frame, so its buffer lives on without the GIL.
        const std::int32_t *cells = contours.data();
        py::gil_scoped_release no_gil;
        result = tolvane::elevation(cells, rows, columns, {lowest, highest, interval}, options);
    } catch (const tolvane::Error &e) {
        if (e.kind() == tolvane::ErrorKind::cancelled && watch.error)
            throw std::move(*watch.error);
        throw;
    }
    py::object cells = as_array(std::move(result.cells), rows, columns);
    if (!report)
        return cells;
    py::dict d;
    d["cells"] = cells;
    d["contour_pixels"] = result.contour_pixels;
    d["off_level_pixels"] = result.off_level_pixels;
    d["missing_levels"] = py::tuple(py::cast(result.missing_levels));
    d["zones"] = result.zones;
    d["zone_pixels"] = result.zone_pixels;
    d["leak_pixels"] = result.leak_pixels;
    d["leak_mask"] = leak_mask ? py::object(as_array(std::move(result.leak_mask), rows, columns)) : py::none();
    return d;
}

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "The tolvane core on numpy arrays; use the tolvane package, which checks the arguments.";
    m.attr("EMPTY") = tolvane::EMPTY;
    m.def("version", &tolvane::version, "The core's version, \"tolvane X.Y.Z\".");
    // The kinds of tolvane::Error, as Python's tolvane.Error.kind names them.
    py::list kinds;
    for (tolvane::ErrorKind k : {tolvane::ErrorKind::bad_size, tolvane::ErrorKind::zero_interval,
                                 tolvane::ErrorKind::too_many_zones, tolvane::ErrorKind::levels_out_of_range,
                                 tolvane::ErrorKind::bad_smoothing, tolvane::ErrorKind::no_altitude,
                                 tolvane::ErrorKind::no_memory,
                                 tolvane::ErrorKind::cancelled, tolvane::ErrorKind::nested_call,
                                 tolvane::ErrorKind::altitude_out_of_range})
        kinds.append(tolvane::kind_name(k));
    m.attr("ERROR_KINDS") = py::tuple(kinds);

    // tolvane.Error is defined in Python; the core's errors become it, with the
    // kind's name and the values involved.
    // The handle keeps its reference for the life of the process (no destructor runs
    // after the interpreter is gone).
    static py::handle error_type;
    m.def("_set_error_type", [](py::object type) { error_type = type.release(); });
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const tolvane::Error &e) {
            if (!error_type) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
                return;
            }
            py::tuple values(e.values().size());
            for (std::size_t i = 0; i < e.values().size(); i++)
                values[i] = py::int_(e.values()[i]);
            py::object error = error_type(e.what(), tolvane::kind_name(e.kind()), values);
            PyErr_SetObject(error_type.ptr(), error.ptr());
        }
    });

    m.def("elevation", &elevation, py::arg("contours").noconvert(), py::arg("lowest"), py::arg("highest"),
          py::arg("interval"), py::arg("smoothing"), py::arg("progress"), py::arg("threads"), py::arg("report"),
          py::arg("leak_mask"),
          "Runs the core on a C-contiguous int32 grid; see tolvane.elevation.");
}
