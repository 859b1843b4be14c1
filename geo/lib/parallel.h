// The library's own passes over a grid (the distance fields of the footprint,
// the gaps and the wall) cut into slices run on several threads. Each slice
// writes only its own part of the result, so the result is the same whatever the
// number of threads.
#ifndef TOLVANE_GEO_PARALLEL_H
#define TOLVANE_GEO_PARALLEL_H

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tolvane::geo {

// Threads for the passes: those given to the innermost PassThreads of this
// thread, else TOLVANE_THREADS, else every core.
int pass_threads();

// While it lives, the passes called from this thread run on `threads` threads
// (0 or less: TOLVANE_THREADS, else every core), as the request's core.threads
// asks of the core.
class PassThreads {
public:
    explicit PassThreads(int threads);
    ~PassThreads();
    PassThreads(const PassThreads &) = delete;
    PassThreads &operator=(const PassThreads &) = delete;

private:
    int before_;
};

// Runs body(first, last) over consecutive slices of [0, count), one slice a
// thread, on pass_threads() threads at most and no more than count / least
// (one slice when count < 2 x least); the calling thread takes the first. An
// exception of a slice is thrown again here once every slice has ended.
void in_slices(std::size_t count, std::size_t least, const std::function<void(std::size_t, std::size_t)> &body);

// Runs task(t) for every t in [0, count) on pass_threads() threads at most,
// each thread taking the next task in order as soon as it is free (the
// calling thread among them), for tasks of unequal cost. The passes a task
// runs stay on its own thread, so that the threads do not multiply. An
// exception of a task is thrown again here once every thread has ended.
void in_tasks(std::size_t count, const std::function<void(std::size_t)> &task);

// Runs `other` on a thread of its own, its passes on that thread alone, while
// `mine` runs here with the passes' threads; both here, one after the other,
// when the passes have one thread or the system starts none. An exception of
// either is thrown again here once both have ended (mine's first).
void side_by_side(const std::function<void()> &mine, const std::function<void()> &other);

// Runs `other` on a thread of its own, its passes on that thread alone, at the
// same time as `mine` here, for two halves of a pass that wait on each
// other's progress; neither may throw. Returns false, having run neither,
// when the passes have one thread or the system starts none: the caller then
// runs the pass whole.
bool in_lockstep(const std::function<void()> &mine, const std::function<void()> &other);

// Whether `count` threads can run at once, tried now by starting them. GDAL's
// pool of compressing threads waits for ever on a thread the system refused
// to start, so it is given only as many as the system has just allowed.
bool threads_can_start(int count);

// Memory for `count` cells of T, not cleared: every cell is written before it
// is read.
template <typename T> std::unique_ptr<T[]> uncleared(std::size_t count)
{
    return std::unique_ptr<T[]>(new T[count]);
}

// The same for a vector: vector(n) and resize(n) leave the cells unset, for
// grids that a pass on the threads then writes whole. A std::vector would
// first clear every cell on this thread alone, and take the page faults of the
// whole grid there (a fifth of the smooth surface's time on Jacksboro at
// 10 m, on a machine where a fault costs some microseconds).
template <typename T> struct Unset : std::allocator<T> {
    template <typename U> struct rebind {
        using other = Unset<U>;
    };
    Unset() = default;
    template <typename U> Unset(const Unset<U> &) noexcept {}
    template <typename U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <typename U, typename... A> void construct(U *p, A &&...a)
    {
        ::new (static_cast<void *>(p)) U(std::forward<A>(a)...);
    }
};

template <typename T> using Scratch = std::vector<T, Unset<T>>;

} // namespace tolvane::geo

#endif
