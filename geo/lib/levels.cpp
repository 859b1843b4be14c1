#include "levels.h"

#include "failure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace tolvane::geo {

namespace {

// Altitudes read from files are decimal numbers in binary: 0.1 x 10 is
// 1.0000000000000002. A product this close to a whole number is that number.
bool whole(double v)
{
    return std::fabs(v - std::nearbyint(v)) <= 1e-9 * std::max(1.0, std::fabs(v));
}

// The core's altitudes run from 0 (the base) to below its empty marker.
constexpr double SPAN = tolvane::EMPTY - 1;
// The interval in the core's units: at least PRECISION, and below 10 x PRECISION
// when a smaller power of ten keeps the levels whole.
constexpr double PRECISION = 1000;

struct Values {
    std::vector<double> all; // the data's altitudes and the given levels, sorted
    double interval = 0;     // the given interval, or the greatest common step of the data
};

bool all_whole(const std::vector<double> &all, double factor)
{
    return std::all_of(all.begin(), all.end(), [factor](double v) { return whole(v * factor); });
}

// The smallest power of ten up to 10^6 that makes every value whole, or the
// factor given. Throws Failure naming the first value that stays fractional.
double whole_factor(const std::vector<double> &all, double given)
{
    double factor = given;
    if (factor == 0) {
        factor = 1;
        while (!all_whole(all, factor) && factor < 1e6)
            factor *= 10;
    }
    const auto bad = std::find_if(all.begin(), all.end(), [factor](double v) { return !whole(v * factor); });
    if (bad != all.end())
        throw Failure("the level " + decimal(*bad) + " times " + decimal(factor) + " is " + decimal(*bad * factor) +
                      ", not a whole number: " +
                      (given == 0 ? "give a factor with " + named("scale") + ", or round the levels"
                                  : "choose another " + named("scale")));
    return factor;
}

double span(const std::vector<double> &all) { return all.back() - all.front(); }

// From the factor that makes the levels whole to the one the core works with:
// the interval brought to between PRECISION and 10 x PRECISION units, as far as
// the levels stay whole and their span stays below the empty marker.
double precise_factor(const Values &v, double factor)
{
    if (span(v.all) * factor > SPAN)
        throw Failure("the levels " + decimal(v.all.front()) + " to " + decimal(v.all.back()) + " times " +
                      decimal(factor) + " are " + decimal(span(v.all) * factor) +
                      " units apart, outside the whole numbers the core can hold (at most " + decimal(SPAN) + ")");
    const double interval = v.interval > 0 ? v.interval : 1 / factor;
    while (interval * factor < PRECISION && span(v.all) * factor * 10 <= SPAN)
        factor *= 10;
    while (interval * factor >= 10 * PRECISION && all_whole(v.all, factor / 10))
        factor /= 10;
    return factor;
}

long long whole_number(double v, double factor) { return std::llround(v * factor); }

// The greatest common step between successive distinct values (0 for one value).
double common_step(const std::vector<double> &sorted, double factor)
{
    long long step = 0;
    for (std::size_t k = 1; k < sorted.size(); k++)
        step = std::gcd(step, whole_number(sorted[k], factor) - whole_number(sorted[k - 1], factor));
    return static_cast<double>(step) / factor;
}

} // namespace

std::string decimal(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::int32_t scaled(double value, const LevelTable &table)
{
    return static_cast<std::int32_t>(std::llround(value * table.scale) - table.base);
}

double unscaled(double whole_value, const LevelTable &table)
{
    return (whole_value + static_cast<double>(table.base)) / table.scale;
}

LevelTable find_levels(const std::vector<double> &values, const LevelRequest &request)
{
    LevelTable t;
    Values v;
    v.all = values;
    if (request.given) {
        v.all.push_back(request.given->lowest);
        v.all.push_back(request.given->highest);
    }
    std::sort(v.all.begin(), v.all.end()); // a refusal names the lowest value at fault
    std::vector<double> checked = v.all;
    if (request.given)
        checked.push_back(request.given->interval);
    t.decimals = whole_factor(checked, request.scale);

    std::vector<double> data(values);
    std::sort(data.begin(), data.end());
    data.erase(std::unique(data.begin(), data.end(),
                           [&t](double a, double b) { return whole_number(a, t.decimals) == whole_number(b, t.decimals); }),
               data.end());
    t.distinct = data.size();
    t.lowest_value = data.front();
    t.highest_value = data.back();
    t.given = request.given.has_value();
    v.interval = t.given ? request.given->interval : common_step(data, t.decimals);
    t.scale = request.scale != 0 ? request.scale : precise_factor(v, t.decimals);
    if (request.scale != 0 && span(v.all) * t.scale > SPAN)
        precise_factor(v, t.scale); // refuses, naming the span
    t.base = whole_number(v.all.front(), t.scale);

    const double lowest = t.given ? request.given->lowest : data.front();
    const double highest = t.given ? request.given->highest : data.back();
    t.levels.lowest = scaled(lowest, t);
    t.levels.highest = scaled(highest, t);
    t.levels.interval = v.interval > 0 ? static_cast<int>(whole_number(v.interval, t.scale)) : 1;
    return t;
}

} // namespace tolvane::geo
