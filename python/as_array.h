// A vector handed to numpy without a copy, for both of the module's extensions.
#ifndef TOLVANE_PYTHON_AS_ARRAY_H
#define TOLVANE_PYTHON_AS_ARRAY_H

#include <pybind11/numpy.h>

#include <memory>
#include <utility>
#include <vector>

// The vector moves into a capsule that the returned rows x columns array owns.
template <typename T>
pybind11::array_t<T> as_array(std::vector<T> &&v, pybind11::ssize_t rows, pybind11::ssize_t columns)
{
    auto cells = std::make_unique<std::vector<T>>(std::move(v));
    T *data = cells->data();
    pybind11::capsule owner(cells.get(), [](void *p) { delete static_cast<std::vector<T> *>(p); });
    cells.release();
    return pybind11::array_t<T>({rows, columns},
                                {columns * pybind11::ssize_t(sizeof(T)), pybind11::ssize_t(sizeof(T))}, data, owner);
}

#endif
