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

namespace {

// A whole number >= 0 in decimal, its digits right-aligned in a buffer, to which
// whole numbers >= 0 are added digit by digit: the numbers of a counted line
// follow each other without a conversion each.
class Decimal {
public:
    explicit Decimal(long long n)
    {
        do {
            digits_[--start_] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n > 0);
    }
    void add(long long n)
    {
        int carry = 0;
        for (int d = SIZE - 1; d >= 0 && (n > 0 || carry > 0); d--) {
            const int digit = (d >= start_ ? digits_[d] - '0' : 0) + static_cast<int>(n % 10) + carry;
            n /= 10;
            digits_[d] = static_cast<char>('0' + digit % 10);
            carry = digit / 10;
            if (d < start_)
                start_ = d;
        }
    }
    const char *begin() const { return digits_ + start_; }
    std::size_t size() const { return static_cast<std::size_t>(SIZE - start_); }

private:
    static constexpr int SIZE = 24;
    char digits_[SIZE] = {};
    int start_ = SIZE;
};

} // namespace

void console_counted_lines(const char *prefix, const char *suffix, int first, int end, int step)
{
    if (current != nullptr && current->text == nullptr)
        return;
    const auto emit = [](const char *text, std::size_t size) {
        if (size == 0)
            return;
        if (current == nullptr)
            std::fwrite(text, 1, size, stdout);
        else
            current->text(text, size, current->context);
    };
    constexpr std::size_t CHUNK = 1 << 16;
    const std::size_t before = std::strlen(prefix), after = std::strlen(suffix);
    std::vector<char> text(CHUNK + before + after + 32);
    std::size_t size = 0;
    const auto append = [&](const char *p, std::size_t n) {
        if (size + n > text.size())
            text.resize(size + n);
        std::memcpy(text.data() + size, p, n);
        size += n;
    };
    long long n = first;
    if (first >= 0 && step > 0) {
        Decimal digits(first);
        for (; n < end; n += step, digits.add(step)) {
            append(prefix, before);
            append(digits.begin(), digits.size());
            append(suffix, after);
            if (size >= CHUNK) {
                emit(text.data(), size);
                size = 0;
            }
        }
    }
    char digits[24];
    for (; n < end; n += step) {
        const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, n);
        append(prefix, before);
        append(digits, static_cast<std::size_t>(r.ptr - digits));
        append(suffix, after);
        if (size >= CHUNK) {
            emit(text.data(), size);
            size = 0;
        }
    }
    emit(text.data(), size);
}

void report_progress(double fraction)
{
    if (current != nullptr && current->progress != nullptr)
        current->progress(fraction, current->context);
}
