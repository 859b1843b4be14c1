// The library entry point gives the dialog's `_m4.raw` cells for the same image
// and answers, says nothing unless asked, and refuses bad input with an Error.
#include "run_tolvane.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using prueba::Carpeta;

struct Sheet {
    int rows, columns, levels, interval, seed, smoothing;
};

// The dialog's files for a generated sheet, and the library's cells for its image.
TEST(Library, SameCellsAsTheDialog)
{
    for (const Sheet &s : {Sheet{60, 80, 8, 25, 3, 1}, Sheet{90, 70, 12, 10, 5, 5}, Sheet{2, 300, 4, 10, 2, 1},
                           Sheet{41, 57, 20, -5, 9, 9}}) {
        Carpeta carpeta;
        const auto base = carpeta.imagen("zona", "dem").string();
        const std::string gen = std::string("'" GENERA_BIN "' '") + base + "' " + std::to_string(s.rows) + " "
                                + std::to_string(s.columns) + " " + std::to_string(s.levels) + " "
                                + std::to_string(std::abs(s.interval)) + " " + std::to_string(s.seed) + " > /dev/null";
        ASSERT_EQ(std::system(gen.c_str()), 0);
        const std::vector<std::int32_t> image = prueba::enteros(prueba::lee(base + "_c4.raw"), 4);
        const int lowest = s.interval > 0 ? s.interval : s.levels * -s.interval;
        const int highest = s.interval > 0 ? s.levels * s.interval : -s.interval;
        const std::string answers = "zona dem 0 " + std::to_string(lowest) + " " + std::to_string(highest) + " "
                                    + std::to_string(s.interval) + " " + std::to_string(s.smoothing) + "\n";
        ASSERT_EQ(prueba::ejecuta(carpeta, answers).estado, 0);
        const auto dialog = prueba::enteros(prueba::lee(carpeta.imagen("zona", "dem_m4.raw")), 4);

        std::string first_text;
        for (int threads : prueba::HILOS) {
            std::string text;
            std::vector<double> progress;
            tolvane::Options options;
            options.smoothing = s.smoothing;
            options.threads = threads;
            options.console = [&](const std::string &t) { text += t; };
            options.progress = [&](double f) { progress.push_back(f); };
            const tolvane::Result r = tolvane::elevation(image.data(), s.rows, s.columns,
                                                         {lowest, highest, s.interval}, options);
            EXPECT_EQ(r.cells, dialog) << s.rows << " x " << s.columns << ", " << threads << " thread(s)";
            EXPECT_GT(r.contour_pixels, 0);
            EXPECT_EQ(r.off_level_pixels, 0);
            EXPECT_EQ(r.zones, (highest - lowest) / s.interval);
            EXPECT_EQ(r.zone_pixels > 0, s.interval > 0); // a descending table labels nothing
            EXPECT_NE(text.find("Tratamiento por dilatacion"), std::string::npos);
            if (threads == prueba::HILOS[0])
                first_text = text;
            EXPECT_EQ(text, first_text) << threads << " thread(s)";
            ASSERT_FALSE(progress.empty());
            EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
            EXPECT_DOUBLE_EQ(progress.back(), 1.0);
        }

        // Silent, and the same again from two threads at once.
        testing::internal::CaptureStdout();
        tolvane::Result a, b;
        tolvane::Options quiet;
        quiet.smoothing = s.smoothing;
        std::thread other([&] { a = tolvane::elevation(image.data(), s.rows, s.columns, {lowest, highest, s.interval}, quiet); });
        b = tolvane::elevation(image.data(), s.rows, s.columns, {lowest, highest, s.interval}, quiet);
        other.join();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(a.cells, dialog);
        EXPECT_EQ(b.cells, dialog);

        // In place: the same cells, in the caller's grid, and the same counts.
        std::vector<std::int32_t> cells = image;
        tolvane::Options mask = quiet;
        mask.want_leak_mask = true;
        const tolvane::Result copied = tolvane::elevation(image.data(), s.rows, s.columns, {lowest, highest, s.interval}, mask);
        const tolvane::Result in_place =
            tolvane::elevation_in_place(cells.data(), s.rows, s.columns, {lowest, highest, s.interval}, mask);
        EXPECT_EQ(cells, dialog);
        EXPECT_TRUE(in_place.cells.empty());
        EXPECT_EQ(in_place.leak_mask, copied.leak_mask);
        EXPECT_EQ(in_place.contour_pixels, copied.contour_pixels);
        EXPECT_EQ(in_place.zone_pixels, copied.zone_pixels);
        EXPECT_EQ(in_place.leak_pixels, copied.leak_pixels);
        EXPECT_EQ(in_place.missing_levels, copied.missing_levels);
    }
}

TEST(Library, RefusesWithAKindAndTheValues)
{
    const std::vector<std::int32_t> grid = {tolvane::EMPTY, 100, tolvane::EMPTY, 110};
    const std::vector<std::int32_t> empty(4, tolvane::EMPTY);
    // Contour cells past the marker, or on the far side of zero from it.
    const std::vector<std::int32_t> above = {tolvane::EMPTY, 20000100, tolvane::EMPTY, 10000001};
    const std::vector<std::int32_t> below = {100, tolvane::EMPTY, -10000000, tolvane::EMPTY};
    struct Case {
        const std::int32_t *cells;
        int rows, columns;
        tolvane::Levels levels;
        int smoothing;
        tolvane::ErrorKind kind;
        std::vector<long long> values;
    };
    const Case cases[] = {
        {grid.data(), 0, 4, {100, 110, 10}, 1, tolvane::ErrorKind::bad_size, {0, 4}},
        {nullptr, 1, 4, {100, 110, 10}, 1, tolvane::ErrorKind::bad_size, {1, 4}},
        {grid.data(), 1, 4, {100, 110, 0}, 1, tolvane::ErrorKind::zero_interval, {}},
        {grid.data(), 1, 4, {0, 25500, 100}, 1, tolvane::ErrorKind::too_many_zones, {255}},
        {grid.data(), 1, 4, {2147483600, 2147483647, 100}, 1, tolvane::ErrorKind::levels_out_of_range,
         {2147483600, 2147483647, 100}},
        {grid.data(), 1, 4, {100, 110, 10}, 4, tolvane::ErrorKind::bad_smoothing, {4}},
        {grid.data(), 1, 4, {100, 110, 10}, 11, tolvane::ErrorKind::bad_smoothing, {11}},
        {empty.data(), 2, 2, {100, 110, 10}, 1, tolvane::ErrorKind::no_altitude, {}},
        // A level at the marker would be no contour; every level must stay clear of it.
        {grid.data(), 1, 4, {9999950, 10000000, 50}, 1, tolvane::ErrorKind::levels_out_of_range,
         {9999950, 10000000, 50}},
        {grid.data(), 1, 4, {9999950, 9999990, 50}, 1, tolvane::ErrorKind::levels_out_of_range,
         {9999950, 9999990, 50}}, // no zone, but the level above the lowest is 10000000
        {grid.data(), 1, 4, {-10000000, -9999900, 100}, 1, tolvane::ErrorKind::levels_out_of_range,
         {-10000000, -9999900, 100}},
        {above.data(), 2, 2, {100, 110, 10}, 1, tolvane::ErrorKind::altitude_out_of_range, {2, 0, 1, 20000100}},
        {below.data(), 2, 2, {100, 110, 10}, 1, tolvane::ErrorKind::altitude_out_of_range, {1, 1, 0, -10000000}},
    };
    for (const Case &c : cases) {
        tolvane::Options options;
        options.smoothing = c.smoothing;
        try {
            tolvane::elevation(c.cells, c.rows, c.columns, c.levels, options);
            ADD_FAILURE() << "accepted " << c.rows << " x " << c.columns;
        } catch (const tolvane::Error &e) {
            EXPECT_EQ(e.kind(), c.kind) << e.what();
            EXPECT_EQ(e.values(), c.values) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
    }
    // A failed run leaves nothing behind: the next one works.
    EXPECT_EQ(tolvane::elevation(grid.data(), 1, 4, {100, 110, 10}).cells.size(), 4u);
    // The largest altitudes either way pass.
    const std::vector<std::int32_t> edge = {-9999999, tolvane::EMPTY, tolvane::EMPTY, 9999999};
    EXPECT_EQ(tolvane::elevation(edge.data(), 1, 4, {-9999999, 9999999, 9999999}).cells.size(), 4u);
}

// A run stopped halfway through its progress (on 1 and 2 threads), and a call
// from its own progress, end with their kind; the next run gives the same cells.
TEST(Library, CancelledAndNestedRuns)
{
    const int rows = 300, columns = 200;
    std::vector<std::int32_t> grid(rows * columns, tolvane::EMPTY);
    for (int i = 0; i < rows; i++)
        for (int k = 0; k < 5; k++)
            grid[i * columns + 10 + 45 * k] = 100 + 10 * k;
    const tolvane::Levels levels{100, 140, 10};
    const std::vector<std::int32_t> whole = tolvane::elevation(grid.data(), rows, columns, levels).cells;
    for (int threads : {1, 2}) {
        std::atomic<bool> stop{false};
        double last = 0;
        tolvane::Options options;
        options.threads = threads;
        options.smoothing = 5;
        options.cancel = &stop;
        options.progress = [&](double f) {
            last = f;
            stop = stop || f > 0.5;
        };
        try {
            tolvane::elevation(grid.data(), rows, columns, levels, options);
            ADD_FAILURE() << "not cancelled on " << threads << " threads";
        } catch (const tolvane::Error &e) {
            EXPECT_EQ(e.kind(), tolvane::ErrorKind::cancelled);
        }
        EXPECT_LT(last, 1.0);
    }
    tolvane::Options nested;
    nested.progress = [&](double) { tolvane::elevation(grid.data(), rows, columns, levels); };
    try {
        tolvane::elevation(grid.data(), rows, columns, levels, nested);
        ADD_FAILURE() << "a nested call was accepted";
    } catch (const tolvane::Error &e) {
        EXPECT_EQ(e.kind(), tolvane::ErrorKind::nested_call);
    }
    EXPECT_EQ(tolvane::elevation(grid.data(), rows, columns, levels).cells, whole);
}

} // namespace
