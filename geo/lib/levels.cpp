#include "levels.h"

#include "failure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace geo {

namespace {

// Altitudes read from files are decimal numbers in binary: 0.1 x 10 is
// 1.0000000000000002. A product this close to a whole number is that number.
bool whole(double v)
{
    return std::fabs(v - std::nearbyint(v)) <= 1e-9 * std::max(1.0, std::fabs(v));
}

bool fits(double v)
{
    const double r = std::nearbyint(v);
    return r >= -2147483648.0 && r <= 2147483647.0 && r != tolvane::EMPTY;
}

} // namespace

std::string decimal(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::int32_t scaled(double value, double scale)
{
    return static_cast<std::int32_t>(std::nearbyint(value * scale));
}

double find_scale(const std::vector<double> &values, const GivenLevels *given, double scale)
{
    std::vector<double> all(values);
    if (given) {
        all.push_back(given->lowest);
        all.push_back(given->highest);
        all.push_back(given->interval);
    }
    std::sort(all.begin(), all.end()); // a refusal names the lowest value at fault
    auto first_fractional = [&all](double f) {
        return std::find_if(all.begin(), all.end(), [f](double v) { return !whole(v * f); });
    };
    double factor = scale;
    if (factor == 0) {
        factor = 1;
        while (first_fractional(factor) != all.end() && factor < 1e6)
            factor *= 10;
    }
    const auto bad = first_fractional(factor);
    if (bad != all.end())
        throw Failure("the level " + decimal(*bad) + " times " + decimal(factor) + " is " + decimal(*bad * factor) +
                      ", not a whole number: " +
                      (scale == 0 ? "give a factor with -scale, or round the levels"
                                  : "choose another -scale"));
    for (double v : all)
        if (!fits(v * factor))
            throw Failure("the level " + decimal(v) + " times " + decimal(factor) + " is " + decimal(v * factor) +
                          ", outside the whole numbers the core can hold (the int range but 10000000)");
    return factor;
}

LevelTable level_table(std::vector<double> values, const GivenLevels *given, double scale)
{
    LevelTable t;
    t.scale = find_scale(values, given, scale);
    std::vector<long long> whole_levels;
    for (double v : values)
        whole_levels.push_back(scaled(v, t.scale));
    std::sort(whole_levels.begin(), whole_levels.end());
    whole_levels.erase(std::unique(whole_levels.begin(), whole_levels.end()), whole_levels.end());
    t.distinct = whole_levels.size();
    if (given) {
        t.levels = {scaled(given->lowest, t.scale), scaled(given->highest, t.scale), scaled(given->interval, t.scale)};
        return t;
    }
    long long step = 0;
    for (std::size_t k = 1; k < whole_levels.size(); k++)
        step = std::gcd(step, whole_levels[k] - whole_levels[k - 1]);
    t.levels.lowest = static_cast<int>(whole_levels.front());
    t.levels.highest = static_cast<int>(whole_levels.back());
    // Steps between int levels fit in int unless the levels span more than the
    // int range, which the core refuses anyway.
    t.levels.interval = step == 0 ? 1 : static_cast<int>(std::min<long long>(step, 2147483647));
    return t;
}

} // namespace geo
