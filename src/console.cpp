// The sink of the phases' console text (console.h).
#include "console.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
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

void console_counted_lines(const char *prefix, const char *suffix, int first, int end, int step)
{
    if (current != nullptr && current->text == nullptr)
        return;
    const auto emit = [](const std::string &text) {
        if (text.empty())
            return;
        if (current == nullptr)
            std::fwrite(text.data(), 1, text.size(), stdout);
        else
            current->text(text.data(), text.size(), current->context);
    };
    constexpr std::size_t CHUNK = 1 << 16;
    const std::size_t before = std::strlen(prefix), after = std::strlen(suffix);
    std::string text;
    text.reserve(CHUNK + 64);
    char digits[16];
    for (long long n = first; n < end; n += step) {
        const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, n);
        text.append(prefix, before).append(digits, r.ptr).append(suffix, after);
        if (text.size() >= CHUNK) {
            emit(text);
            text.clear();
        }
    }
    emit(text);
}

void report_progress(double fraction)
{
    if (current != nullptr && current->progress != nullptr)
        current->progress(fraction, current->context);
}
