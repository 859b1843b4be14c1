#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tolvane::geo {

namespace {

thread_local int given = 0;

int from_environment()
{
    if (const char *t = std::getenv("TOLVANE_THREADS")) {
        char *end = nullptr;
        const long n = std::strtol(t, &end, 10);
        if (end != t && *end == '\0' && n >= 1)
            return static_cast<int>(std::min(n, 1024L));
    }
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

} // namespace

int pass_threads() { return given > 0 ? given : from_environment(); }

PassThreads::PassThreads(int threads) : before_(given) { given = std::max(threads, 0); }

PassThreads::~PassThreads() { given = before_; }

bool threads_can_start(int count)
{
    // Each waits until all have been asked for, so that they run at once.
    std::promise<void> asked;
    const std::shared_future<void> all_asked = asked.get_future().share();
    std::vector<std::thread> started;
    try {
        for (int k = 0; k < count; k++)
            started.emplace_back([all_asked] { all_asked.wait(); });
    } catch (const std::system_error &) {
    }
    asked.set_value();
    for (std::thread &t : started)
        t.join();
    return static_cast<int>(started.size()) == count;
}

namespace {

// run(s) for s in [0, count): with `start`, s from 1 on threads of their own
// and 0 on this one, each s whose thread the system refused on this one too;
// else every s here, in order. Then the first exception of a run (by s) is
// thrown again.
void on_threads(std::size_t count, const std::function<void(std::size_t)> &run, bool start = true)
{
    std::vector<std::exception_ptr> failed(count);
    const auto guarded = [&](std::size_t s) {
        try {
            run(s);
        } catch (...) {
            failed[s] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    std::size_t here = 1; // the first s left to this thread after the others
    if (start) {
        threads.reserve(count - 1);
        try {
            for (std::size_t s = 1; s < count; s++)
                threads.emplace_back(guarded, s);
        } catch (...) { // no thread to be had: the rest on this one
        }
        here = threads.size() + 1;
    }
    guarded(0);
    for (std::size_t s = here; s < count; s++)
        guarded(s);
    for (std::thread &t : threads)
        t.join();
    for (const std::exception_ptr &e : failed)
        if (e)
            std::rethrow_exception(e);
}

} // namespace

void in_slices(std::size_t count, std::size_t least, const std::function<void(std::size_t, std::size_t)> &body)
{
    const std::size_t most = least > 0 ? count / least : count;
    const std::size_t slices = std::max<std::size_t>(1, std::min<std::size_t>(pass_threads(), most));
    if (slices == 1) {
        body(0, count);
        return;
    }
    on_threads(slices, [&](std::size_t s) { body(count * s / slices, count * (s + 1) / slices); });
}

void in_tasks(std::size_t count, const std::function<void(std::size_t)> &task)
{
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(pass_threads(), count));
    if (threads == 1) {
        for (std::size_t t = 0; t < count; t++)
            task(t);
        return;
    }
    // Each task's failure kept, so that the others still run and the first
    // task's is the one thrown, whichever thread ran it.
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> failed(count);
    on_threads(threads, [&](std::size_t) {
        const PassThreads alone(1);
        for (std::size_t t = next++; t < count; t = next++) {
            try {
                task(t);
            } catch (...) {
                failed[t] = std::current_exception();
            }
        }
    });
    for (const std::exception_ptr &e : failed)
        if (e)
            std::rethrow_exception(e);
}

void side_by_side(const std::function<void()> &mine, const std::function<void()> &other)
{
    on_threads(
        2,
        [&](std::size_t s) {
            if (s == 0) {
                mine();
            } else {
                const PassThreads alone(1);
                other();
            }
        },
        pass_threads() >= 2);
}

bool in_lockstep(const std::function<void()> &mine, const std::function<void()> &other)
{
    if (pass_threads() < 2)
        return false;
    std::thread alongside;
    try {
        alongside = std::thread([&other] {
            const PassThreads alone(1);
            other();
        });
    } catch (const std::system_error &) {
        return false;
    }
    mine();
    alongside.join();
    return true;
}

} // namespace tolvane::geo
