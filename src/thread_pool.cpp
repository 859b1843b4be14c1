// The worker threads of the phases (thread_pool.h).
#include "thread_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr int MOST_THREADS = 256;

int from_environment()
{
    const char *v = std::getenv("TOLVANE_THREADS");
    if (v != nullptr && *v != '\0') {
        char *end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (*end == '\0' && n >= 1)
            return static_cast<int>(std::min<long>(n, MOST_THREADS));
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, MOST_THREADS));
}

std::atomic<int> chosen{0}; // set_thread_count; 0: the environment decides

// Set while a thread runs a band: a for_each_band inside one runs on that thread.
thread_local bool in_band = false;

// Workers 1 .. n - 1 of a run; the caller is worker 0. One run at a time.
class Pool {
public:
    ~Pool()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread &t : workers_)
            t.join();
    }

    // job(worker) on threads 0 .. n - 1; returns when all are done.
    void run(int n, const std::function<void(int)> &job)
    {
        const std::lock_guard<std::mutex> one(one_run_);
        std::unique_lock<std::mutex> lock(mutex_);
        // A thread the system will not start leaves its share to the others:
        // the bands are the same whoever runs them.
        while (static_cast<int>(workers_.size()) < n - 1) {
            const int index = static_cast<int>(workers_.size()) + 1;
            try {
                workers_.emplace_back([this, index] { work(index); });
            } catch (const std::system_error &) {
                break;
            }
        }
        n = std::min(n, static_cast<int>(workers_.size()) + 1);
        job_ = &job;
        active_ = n;
        pending_ = n - 1;
        error_ = nullptr;
        generation_++;
        lock.unlock();
        wake_.notify_all();

        std::exception_ptr mine;
        try {
            job(0);
        } catch (...) {
            mine = std::current_exception();
        }
        lock.lock();
        done_.wait(lock, [this] { return pending_ == 0; });
        job_ = nullptr;
        const std::exception_ptr theirs = error_;
        lock.unlock();
        if (mine)
            std::rethrow_exception(mine);
        if (theirs)
            std::rethrow_exception(theirs);
    }

private:
    void work(int index)
    {
        unsigned seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_)
                return;
            seen = generation_;
            if (index >= active_)
                continue;
            const std::function<void(int)> *job = job_;
            lock.unlock();
            std::exception_ptr failure;
            try {
                (*job)(index);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure && !error_)
                error_ = failure;
            if (--pending_ == 0)
                done_.notify_one();
        }
    }

    std::mutex one_run_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> workers_;
    const std::function<void(int)> *job_ = nullptr;
    int active_ = 0, pending_ = 0;
    unsigned generation_ = 0;
    bool stop_ = false;
    std::exception_ptr error_;
};

Pool &pool()
{
    static Pool p;
    return p;
}

} // namespace

void set_thread_count(int threads) { chosen = std::max(0, std::min(threads, MOST_THREADS)); }

int thread_count()
{
    const int n = chosen;
    if (n > 0)
        return n;
    static const int environment = from_environment();
    return environment;
}

int band_lines(int lines, int columns)
{
    constexpr int CELLS = 1 << 14;
    return columns > 0 ? std::max(lines, CELLS / columns) : lines;
}

void for_each_band(int lines, int band_lines, const std::function<void(int, int, int)> &body,
                   const std::function<void(int)> &done)
{
    if (lines <= 0)
        return;
    // At least four bands per thread where the lines allow it, so that a thread
    // slowed down by its lines or by the machine leaves the rest to the others.
    const int wanted = thread_count();
    band_lines = std::max(1, std::min(band_lines, lines / (4 * wanted)));
    const int bands = (lines + band_lines - 1) / band_lines;
    const int threads = std::min(wanted, bands);
    if (threads <= 1 || in_band) {
        for (int first = 0; first < lines; first += band_lines) {
            const int last = std::min(lines, first + band_lines);
            body(first, last, 0);
            if (done)
                done(last);
        }
        return;
    }
    std::atomic<int> next{0}, finished{0};
    pool().run(threads, [&](int worker) {
        for (;;) {
            const int band = next.fetch_add(1);
            if (band >= bands)
                return;
            const int first = band * band_lines;
            const int last = std::min(lines, first + band_lines);
            in_band = true;
            try {
                body(first, last, worker);
            } catch (...) {
                in_band = false;
                next = bands; // the others take no further band
                throw;
            }
            in_band = false;
            const int sofar = finished.fetch_add(last - first) + (last - first);
            if (worker == 0 && done) {
                try {
                    done(sofar);
                } catch (...) {
                    next = bands; // a run stopped from its progress
                    throw;
                }
            }
        }
    });
}
