// One way out for the console text of the phases: standard output for the dialog
// (the default), a caller's function or nothing for the library. Progress goes
// the same way.
#ifndef CONSOLE_H
#define CONSOLE_H

#include <cstddef>

struct ConsoleSink {
    // Text as the dialog prints it; null: the text is dropped.
    void (*text)(const char *text, std::size_t size, void *context) = nullptr;
    // Fraction of the current phase done, from 0 to 1; null: not followed.
    void (*progress)(double fraction, void *context) = nullptr;
    void *context = nullptr;
};

// Null puts standard output back.
void set_console_sink(const ConsoleSink *sink);

void console_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The text of console_printf("<prefix>%d<suffix>", n) for n = first, first + step,
// ... while n < end (step > 0), in a few large writes: the progress lines of an
// image of millions of lines would otherwise cost more than the phase itself.
void console_counted_lines(const char *prefix, const char *suffix, int first, int end, int step);
void report_progress(double fraction);

#endif
