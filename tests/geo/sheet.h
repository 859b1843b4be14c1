// A burned grid built in a test: tolvane::EMPTY everywhere but the lines drawn in it.
#ifndef TOLVANE_TESTS_SHEET_H
#define TOLVANE_TESTS_SHEET_H

#include <tolvane/tolvane.h>

#include <cstdint>
#include <vector>

constexpr std::int32_t E = tolvane::EMPTY;

struct Sheet {
    int rows, columns;
    std::vector<std::int32_t> cells;

    Sheet(int rows_, int columns_)
        : rows(rows_), columns(columns_), cells(static_cast<std::size_t>(rows_) * columns_, E)
    {
    }
    std::int32_t &at(int i, int j) { return cells[static_cast<std::size_t>(i) * columns + j]; }
};

#endif
