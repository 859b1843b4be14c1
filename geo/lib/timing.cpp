#include "timing.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <sys/resource.h>
#include <unistd.h>

namespace tolvane::geo {

namespace {

struct Clock {
    double wall = 0, cpu = 0;
};

Clock now()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const double cpu = u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return {wall, cpu};
}

// Resident and peak resident memory, MiB.
void memory(double &resident, double &peak)
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    peak = u.ru_maxrss / 1024.0;
    resident = 0;
    if (std::FILE *f = std::fopen("/proc/self/statm", "r")) {
        long size = 0, pages = 0;
        if (std::fscanf(f, "%ld %ld", &size, &pages) == 2)
            resident = static_cast<double>(pages) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024);
        std::fclose(f);
    }
}

} // namespace

void step_done(const char *name)
{
    static const bool wanted = std::getenv("TOLVANE_TIMES") != nullptr;
    if (!wanted)
        return;
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    const Clock t = now();
    static Clock last{t.wall, 0}; // the first step: CPU since the process started
    double resident = 0, peak = 0;
    memory(resident, peak);
    std::fprintf(stderr, "times: %-22s wall %7.3f s  cpu %7.3f s  resident %6.0f MiB  peak %6.0f MiB\n", name,
                 t.wall - last.wall, t.cpu - last.cpu, resident, peak);
    last = t;
}

} // namespace tolvane::geo
