// The bands of lines handed to the threads: every line once, ascending for each
// thread, a failure of one band thrown to the caller, progress on the caller.
#include "thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(ThreadPool, EveryLineOnceAscendingForEachThread)
{
    for (int threads : {1, 2, 7}) {
        set_thread_count(threads);
        for (int lines : {0, 1, 5, 64, 1001}) {
            std::mutex m;
            std::vector<int> count(static_cast<std::size_t>(lines), 0);
            std::vector<int> last(static_cast<std::size_t>(threads), -1);
            std::vector<int> done;
            const std::thread::id caller = std::this_thread::get_id();
            for_each_band(
                lines, 16,
                [&](int first, int end, int worker) {
                    const std::lock_guard<std::mutex> lock(m);
                    ASSERT_TRUE(worker >= 0 && worker < threads);
                    EXPECT_LT(last[worker], first) << "worker " << worker << " went back";
                    EXPECT_LE(end - first, 16);
                    last[worker] = end - 1;
                    for (int i = first; i < end; i++)
                        count[i]++;
                },
                [&](int sofar) {
                    EXPECT_EQ(std::this_thread::get_id(), caller);
                    done.push_back(sofar);
                });
            EXPECT_EQ(std::count(count.begin(), count.end(), 1), lines) << threads << " threads, " << lines << " lines";
            EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
            EXPECT_TRUE(done.empty() || done.back() <= lines);
        }
    }
    set_thread_count(0);
}

TEST(ThreadPool, AFailingBandIsThrownToTheCaller)
{
    for (int threads : {1, 2, 7}) {
        set_thread_count(threads);
        EXPECT_THROW(for_each_band(100, 4,
                                   [](int first, int, int) {
                                       if (first == 48)
                                           throw std::runtime_error("band 48");
                                   }),
                     std::runtime_error);
        int lines = 0; // the pool still works afterwards
        std::mutex m;
        for_each_band(100, 4, [&](int first, int end, int) {
            const std::lock_guard<std::mutex> lock(m);
            lines += end - first;
        });
        EXPECT_EQ(lines, 100);
    }
    set_thread_count(0);
}

TEST(ThreadPool, BandsWithinABandRunOnItsThread)
{
    set_thread_count(2);
    std::mutex m;
    long long cells = 0;
    for_each_band(8, 1, [&](int, int, int) {
        const std::thread::id outer = std::this_thread::get_id();
        for_each_band(10, 2, [&](int first, int end, int worker) {
            EXPECT_EQ(worker, 0);
            EXPECT_EQ(std::this_thread::get_id(), outer);
            const std::lock_guard<std::mutex> lock(m);
            cells += end - first;
        });
    });
    EXPECT_EQ(cells, 80);
    set_thread_count(0);
}
