// The sink of the phases' console text (console.h).
#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

const ConsoleSink *current = nullptr;

} // namespace

void set_console_sink(const ConsoleSink *sink) { current = sink; }

void console_printf(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    if (current == nullptr) {
        std::vprintf(format, args);
    } else if (current->text != nullptr) {
        char small[256];
        std::va_list again;
        va_copy(again, args);
        const int n = std::vsnprintf(small, sizeof small, format, args);
        if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
            current->text(small, static_cast<std::size_t>(n), current->context);
        } else if (n >= 0) {
            std::vector<char> big(static_cast<std::size_t>(n) + 1);
            std::vsnprintf(big.data(), big.size(), format, again);
            current->text(big.data(), static_cast<std::size_t>(n), current->context);
        }
        va_end(again);
    }
    va_end(args);
}

void report_progress(double fraction)
{
    if (current != nullptr && current->progress != nullptr)
        current->progress(fraction, current->context);
}
