// Worker threads shared by the phases.
//
// A phase hands out the lines of a grid in bands, in increasing order, to the
// calling thread and to the pool's workers; a band's work reads only what no band
// writes, so the grids come out the same whatever the number of threads. With one
// thread everything runs on the calling thread, band after band, in line order.
//
// The number of threads is TOLVANE_THREADS (a whole number of at least 1) or,
// without it, every core; set_thread_count overrides both. The workers start with
// the first parallel phase and stay until the process ends.
#ifndef THREAD_POOL_H
#define THREAD_POOL_H

#include <functional>

// 0 goes back to TOLVANE_THREADS or every core.
void set_thread_count(int threads);
int thread_count();

// Runs body(first, last, worker) over lines 0 .. lines - 1 in bands of at most
// band_lines (fewer on small grids, so that every thread gets some): first..last - 1 are the band's lines and worker,
// 0 .. thread_count() - 1, says which thread runs it (0 is the caller). Each
// thread gets its bands in increasing order, so state kept per worker sees the
// lines ascend. An exception of a body is thrown again here once every thread has
// stopped. `done`, when given, is called on the calling thread with the number
// of lines finished so far. Called from inside a band, it runs its bands on that
// thread, in order, with worker 0.
void for_each_band(int lines, int band_lines, const std::function<void(int first, int last, int worker)> &body,
                   const std::function<void(int lines_done)> &done = nullptr);

// Lines per band for lines of `columns` cells: at least `lines`, and enough for
// some 16384 cells, so that an image of short lines (one column) is not handed
// out a few cells at a time.
int band_lines(int lines, int columns);

#endif
