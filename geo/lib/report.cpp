#include "failure.h"
#include "levels.h"
#include "report.h"

#include <cstdio>

namespace tolvane::geo {


namespace {

std::string level(double whole, const LevelTable &t) { return decimal(unscaled(whole, t)); }

std::string percent(long long part, long long whole)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

// A distance in pixels, to a tenth.
std::string pixels(double d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", d);
    return text;
}

} // namespace

// The core's refusals, in the data's units.
std::string explain(const tolvane::Error &e, const Grid &g, const LevelTable &t)
{
    const tolvane::Levels &l = t.levels;
    switch (e.kind()) {
    case tolvane::ErrorKind::too_many_zones:
        if (e.values().size() >= 2) // from the windows: even the smallest held too many
            return "the levels " + level(l.lowest, t) + " to " + level(l.highest, t) + " every " +
                   decimal(l.interval / t.scale) + " put " + std::to_string(e.values()[0]) + " zones within " +
                   std::to_string(e.values()[1]) + " pixels of a single pixel: the core takes at most 254 in one "
                   "run; give a larger interval with " + named("levels");
        return std::to_string(e.values().empty() ? 0 : e.values()[0]) + " zones between the levels " +
               level(l.lowest, t) + " and " + level(l.highest, t) + " every " + decimal(l.interval / t.scale) +
               ": the core takes at most 254; give a larger interval with " + named("levels");
    case tolvane::ErrorKind::levels_out_of_range:
        return "the levels " + level(l.lowest, t) + " to " + level(l.highest, t) + " leave the core's int range";
    case tolvane::ErrorKind::no_memory:
        return "not enough memory for a grid of " + std::to_string(g.rows) + " rows and " +
               std::to_string(g.columns) + " columns";
    case tolvane::ErrorKind::no_altitude:
        return "no contours: no line crosses the grid";
    default:
        return e.what();
    }
}

std::string leaks_left(const Report &r)
{
    const std::string cause =
        r.ends_left > 0
            ? std::to_string(r.ends_left) + " line ends stop in the open inside the footprint: gaps " +
                  (r.gap_distance > 0 ? "wider than " + pixels(r.gap_distance) + " pixels" : "left open") +
                  " (" + named("repair_gaps") + ") or lines cut short where the footprint does not see it (" + named("mask") + ")"
            : "no line end is open, so lines of different levels touch: a smaller " + named("resolution") + " keeps them apart";
    return std::to_string(r.leak_pixels) + " zone pixels (" + percent(r.leak_pixels, r.zone_pixels) +
           ") lie between contours that are not their zone's; " + cause + "; see where with " + named("leaks");
}

std::vector<std::string> notes(const Report &r, const Request &q)
{
    const Grid &g = r.grid;
    const LevelTable &t = r.table;
    const tolvane::Levels &l = t.levels;
    std::vector<std::string> lines;
    lines.push_back("Grid: " + std::to_string(g.columns) + " x " + std::to_string(g.rows) + " pixels of " +
                    decimal(g.xres) + " x " + decimal(g.yres) + ", top-left corner (" + decimal(g.origin_x) + ", " +
                    decimal(g.origin_y) + ")");
    lines.push_back("Levels: " + level(l.lowest, t) + " to " + level(l.highest, t) + " every " +
                    decimal(l.interval / t.scale) + " (" + std::to_string(t.distinct) + " distinct " +
                    (t.given ? "in the data, levels given" : "found") + ")");
    if (r.oversample > 1 || r.windows > 1)
        lines.push_back("Oversampling: the lines burned " + std::to_string(r.oversample) +
                        " times finer, the core run in " + std::to_string(r.windows) + " window" +
                        (r.windows > 1 ? "s" : "") + ", aggregated to the pixel" +
                        (q.core.oversample > 0 ? "" : " (" + named("oversample") + " 1 turns it off)"));
    if (t.decimals != 1)
        lines.push_back("Scale: the levels were multiplied by " + decimal(t.decimals) +
                        " to make them whole numbers; the result is divided by " + decimal(t.decimals));
    if (r.gap_distance > 0)
        lines.push_back("Gaps: " + std::to_string(r.line_joins + r.grid_joins) + " closed (" +
                        std::to_string(r.line_joins) + " on the lines, " + std::to_string(r.grid_joins) +
                        " on the grid), up to " + pixels(r.gap_distance) + " pixels" +
                        (q.repair.gaps < 0 ? " (the contour spacing)" : ""));
    if (r.radius > 0)
        lines.push_back("Footprint: the area the lines cover, drawn through the " + std::to_string(r.open_ends) +
                        " line ends that stop in the open (radius " + pixels(r.radius) +
                        " pixels); " + named("mask") + " FILE gives it, " + named("mask") + " none turns it off");
    if (r.outside > 0)
        lines.push_back("Outside: " + std::to_string(r.outside) +
                        " pixels beyond the footprint or the lines' extent, walled; " + std::to_string(r.hidden) +
                        " of them nodata in the output");
    if (drains(q))
        lines.push_back("Drainage: " + std::to_string(r.sinks_filled + r.sinks_carved) + " depressions removed (" +
                        std::to_string(r.sinks_filled) + " filled, " + std::to_string(r.sinks_carved) + " carved; " +
                        std::to_string(r.drained_pixels) + " pixels moved, up to " + decimal(r.drained_most) +
                        "), " + std::to_string(r.sinks_kept) + " kept inside pit rings" +
                        (q.points.path.empty() && q.lakes.path.empty() ? "" : ", at spot heights or lakes") + " (" +
                        decimal(r.sinks_area) + " square units); flats slope toward their outlet");
    if (!q.streams.path.empty())
        lines.push_back("Streams: " + std::to_string(r.stream_pixels) + " pixels lowered along them");
    if (!q.lakes.path.empty())
        lines.push_back("Lakes: " + std::to_string(r.lake_pixels) + " pixels held flat at their level" +
                        (r.lakes_without_level > 0
                             ? "; " + std::to_string(r.lakes_without_level) +
                                   " lakes that no line reaches left as drawn: give their altitude with " +
                                   named("lakes_a")
                             : ""));
    if (!q.points.path.empty())
        lines.push_back("Spot heights: " + std::to_string(r.spot_heights) + " pixels hold their altitude" +
                        (r.spot_heights_left > 0
                             ? "; " + std::to_string(r.spot_heights_left) +
                                   " points beyond the grid, on nodata or without an altitude left out"
                             : ""));
    return lines;
}

std::vector<std::string> warnings(const Report &r, const Request &q)
{
    std::vector<std::string> lines;
    auto left_out = [&lines](const std::vector<long long> &fids, const char *what) {
        if (fids.empty())
            return;
        const bool one = fids.size() == 1;
        lines.push_back(std::to_string(fids.size()) + (one ? " line " : " lines ") + what + " (" + fid_list(fids) +
                        (one ? ") was left out" : ") were left out"));
    };
    left_out(r.without_altitude, "without an altitude");
    left_out(r.without_geometry, "without a geometry");
    const tolvane::Levels &l = r.table.levels;
    if (r.like_identifier && !q.source.height_from_z)
        lines.push_back("the attribute '" + q.source.attribute + "' looks like an identifier, not an altitude: its " +
                        std::to_string(r.lines) + " lines hold the whole numbers " + decimal(r.table.lowest_value) +
                        " to " + decimal(r.table.highest_value) + ", each its own; choose the altitude with " +
                        named("attribute"));
    if (l.lowest == l.highest && r.table.distinct <= 1)
        lines.push_back("every line holds the one level " + level(l.lowest, r.table) +
                        ": there is nothing to interpolate between, and the model is flat at it");
    else if (r.off_level_pixels > 0)
        lines.push_back(std::to_string(r.off_level_pixels) +
                        " contour pixels hold an altitude that is no level of the table: they bound no zone");
    if (!r.missing_levels.empty()) {
        std::string list;
        for (std::size_t k = 0; k < r.missing_levels.size() && k < 10; k++)
            list += (k ? ", " : "") + decimal(r.missing_levels[k]);
        lines.push_back("no pixel holds the level" + std::string(r.missing_levels.size() > 1 ? "s " : " ") + list +
                        (r.missing_levels.size() > 10 ? ", ..." : "") + ": its zones are filled, not interpolated");
    }
    if (r.leak_pixels > 0)
        lines.push_back(leaks_left(r));
    if (r.clamped > 0)
        lines.push_back(std::to_string(r.clamped) + " cells outside the range of " + type_name(q.product.type) +
                        " were clamped to it");
    if (r.nodata_in_data > 0)
        lines.push_back(std::to_string(r.nodata_in_data) + " cells hold the nodata value " + decimal(r.nodata) +
                        " as an altitude");
    // Asked for and not done: the smooth surface is drawn from the core's own
    // cells, so a user who asks for both must hear which one holds.
    if (q.core.smoothing > 1 && q.surface == Surface::smooth)
        lines.push_back(named("smoothing") + " " + std::to_string(q.core.smoothing) +
                        " smooths the plain surface only, and the smooth surface (the default) was drawn: add " +
                        named("surface") + " plain to smooth the core's cells");
    return lines;
}

} // namespace tolvane::geo

