// tolvane as a library: a contour grid in memory in, an elevation model out.
#include <tolvane/tolvane.h>

#include <cstdint>
#include <cstdio>
#include <vector>

int main()
{
    const int rows = 40, columns = 60;
    std::vector<std::int32_t> grid(rows * columns, tolvane::EMPTY);
    for (int i = 0; i < rows; i++) { // contour 100 down the left edge, 200 down the right
        grid[i * columns] = 100;
        grid[i * columns + columns - 1] = 200;
    }
    tolvane::Options options;
    options.smoothing = 3;
    try {
        const tolvane::Result r = tolvane::elevation(grid.data(), rows, columns, {100, 200, 100}, options);
        std::printf("%d x %d cells, %d in the middle\n", r.rows, r.columns, r.cells[rows / 2 * columns + columns / 2]);
    } catch (const tolvane::Error &e) { // bad size, levels or smoothing
        std::fprintf(stderr, "tolvane: %s\n", e.what());
        return 1;
    }
}
