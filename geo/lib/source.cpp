// The contour source: what was read (lines or a contour raster), the grid over
// it, its level table and the factor its windows are burned at. A source never
// runs the core: the run decides (run.cpp) and sets the factor here.
#include "border.h"
#include "burn.h"
#include "failure.h"
#include "footprint.h"
#include "grid.h"
#include "levels.h"
#include "oversample.h"
#include "parallel.h"
#include "paths.h"
#include "repair.h"
#include "source_impl.h"
#include "timing.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <cpl_string.h>
#include <cpl_vsi.h>

namespace tolvane::geo {

void ContourSource::Impl::open_lines(GDALDatasetH source, const Request &q)
{
    read = read_lines(source, q.source, q.grid);
    table = find_levels(read->values, q.levels);
    grid = place_grid(read->extent, q.grid, read->srs_wkt);
    lines = static_cast<long long>(read->values.size());
    const Extent e = edges(grid), &extent = read->extent;
    if (extent.xmax < e.xmin || extent.xmin > e.xmax || extent.ymax < e.ymin || extent.ymin > e.ymax)
        throw Failure("no contours: none of the " + std::to_string(read->values.size()) + " lines of layer '" +
                      read->layer_name + "' crosses the grid");
    const int level = store_levels(*read, table);
    fine = grid;
    lines_extent = extent;
    sheet = box_on(extent, fine);
    const long long given = OGR_L_GetFeatureCount(lines_layer(*read), TRUE);
    repair_lines(level);
    if (footprint.kind == FootprintKind::drawn && !open_ends.empty()) {
        border = border_joins(lines_layer(*read), std::max(grid.xres, grid.yres), given);
        step_done("edge through the ends");
    }
}

// Gaps closed on the lines before anything is burned: up to the distance given,
// or by default, where lines stop in the open, up to the contour spacing. The
// ends left open are kept for the windows.
void ContourSource::Impl::repair_lines(int level)
{
    OGRLayerH layer = lines_layer(*read);
    const double pixel = std::max(grid.xres, grid.yres);
    const Extent on_grid = edges(grid);
    if (repair.gaps > 0) {
        line_joins = repair_line_gaps(layer, level, repair.gaps * pixel, pixel, on_grid, lines_extent, &open_ends).joins;
        return;
    }
    if (repair.gaps == 0) {
        open_ends = open_line_ends(layer, level, pixel, on_grid, lines_extent);
        return;
    }
    whole.cells = burn_lines(*read, grid, 0, 0, grid.rows, grid.columns, nullptr, nullptr);
    step_done("burn to judge gaps");
    sheet = lines_box(whole.cells, grid.rows, grid.columns);
    open_ends = open_line_ends(layer, level, pixel, on_grid, lines_extent);
    if (open_ends.empty())
        return;
    whole.sites.compute(whole.cells, grid.rows, grid.columns);
    whole.spacing = contour_spacing(whole.cells, grid.rows, grid.columns, whole.sites);
    default_gap = tolvane::geo::gap_distance(whole.spacing);
    step_done("ends, spacing");
    open_ends.clear();
    line_joins = repair_line_gaps(layer, level, default_gap * pixel, pixel, on_grid, lines_extent, &open_ends).joins;
    step_done("repair lines");
    if (line_joins > 0)
        whole.clear();
}

namespace {

// Every file the run reads: the input as GDAL lists it, and the mask's.
std::vector<std::string> files_read(GDALDatasetH source, const Request &q, const Footprint &footprint)
{
    std::vector<std::string> inputs{q.source.path};
    char **list = GDALGetFileList(source);
    for (char **f = list; f && *f; f++)
        inputs.emplace_back(*f);
    CSLDestroy(list);
    if (footprint.kind == FootprintKind::file)
        for (const std::string &f : files_of(footprint.path))
            inputs.push_back(f);
    return inputs;
}

Dataset open_input(const std::string &path)
{
    Dataset source(
        GDALOpenEx(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!source) {
        VSIStatBufL st;
        if (VSIStatL(path.c_str(), &st) != 0)
            throw Failure("cannot open " + path + ": no such file");
        throw Failure("GDAL reads neither lines nor a raster from " + path);
    }
    return source;
}

} // namespace

ContourSource::ContourSource(const Request &q, GDALProgressFunc progress, void *progress_arg)
    : impl_(std::make_unique<Impl>())
{
    Impl &s = *impl_;
    s.input = q.source.path;
    s.threads = q.core.threads;
    const PassThreads threads(q.core.threads);
    s.repair = q.repair;
    s.footprint = footprint_of(q.footprint);
    check_readable_kind(q.source.path, "the lines");
    if (s.footprint.kind == FootprintKind::file)
        check_readable_kind(s.footprint.path, "the footprint");
    Dataset source = open_input(q.source.path);
    // No product may replace a file that this run reads.
    check_outputs_against(q.product, files_read(source.get(), q, s.footprint));
    if (GDALDatasetGetLayerCount(source.get()) > 0) {
        s.open_lines(source.get(), q);
    } else if (GDALGetRasterCount(source.get()) > 0) {
        GDALDatasetH handle = source.get();
        s.contour = open_contour_raster(handle, std::move(source), q.source, q.grid, q.levels, progress, progress_arg);
        s.grid = s.fine = s.contour->grid;
        s.table = s.contour->table;
        s.lines = s.contour->cells;
        s.sheet = s.contour->sheet;
    } else {
        throw Failure(q.source.path + " holds neither layers nor raster bands");
    }
    // The sheet's footprint is decided at the first window prepared, at the
    // factor the run settled by then: decided here at the pixel, it would be
    // decided again on the finer grid.
}

ContourSource::~ContourSource() = default;

const Grid &ContourSource::grid() const { return impl_->grid; }
const LevelTable &ContourSource::table() const { return impl_->table; }
long long ContourSource::lines() const { return impl_->lines; }
int ContourSource::line_joins() const { return impl_->line_joins; }
double ContourSource::gap_distance() const { return impl_->default_gap; }
bool ContourSource::raster() const { return !impl_->read; }
bool ContourSource::like_identifier() const { return impl_->read && impl_->read->like_identifier; }
int ContourSource::oversample() const { return impl_->factor; }
Extent ContourSource::lines_extent() const { return impl_->read ? impl_->lines_extent : edges(impl_->grid); }

const std::vector<long long> &ContourSource::without_altitude() const
{
    static const std::vector<long long> none;
    return impl_->read ? impl_->read->without_altitude : none;
}

const std::vector<long long> &ContourSource::without_geometry() const
{
    static const std::vector<long long> none;
    return impl_->read ? impl_->read->without_geometry : none;
}

double ContourSource::line_spacing(int block) const
{
    if (!impl_->read)
        return std::numeric_limits<double>::infinity();
    // Each window of a tiled run asks again: measured once per block size.
    const auto [kept, fresh] = impl_->line_spacing.try_emplace(block, 0.0);
    if (fresh)
        kept->second = tolvane::geo::line_spacing(lines_layer(*impl_->read), impl_->grid, block);
    return kept->second;
}

int ContourSource::choose_oversample(int requested) const
{
    if (requested > OVERSAMPLE_MAX)
        throw UsageFailure(named("oversample") + ": at most " + std::to_string(OVERSAMPLE_MAX));
    if (raster()) {
        if (requested > 1)
            throw UsageFailure(named("oversample") + ": a contour raster is used on its own pixels; give none", "oversample");
        return 1;
    }
    if (requested > 0)
        return requested;
    const Grid &g = impl_->grid;
    return auto_oversample(line_spacing(), static_cast<double>(g.rows) * g.columns);
}

int ContourSource::decided_oversample() const { return impl_->settled; }
void ContourSource::decide_oversample(int n) { impl_->settled = n; }

bool ContourSource::Impl::footprint_of_sheet() const
{
    return footprint.kind == FootprintKind::hull ||
           (footprint.kind == FootprintKind::drawn && (!read || !open_ends.empty()));
}

namespace {

constexpr int CENTRE_COUNT = 3;

// The pixels of the grid with a shown cell of the grid n times finer under them.
std::vector<std::uint8_t> shown_on_grid(const std::vector<std::uint8_t> &fine, const Grid &grid, int n)
{
    if (n == 1 || fine.empty())
        return fine;
    std::vector<std::uint8_t> shown(static_cast<std::size_t>(grid.rows) * grid.columns, 0);
    const std::size_t columns = static_cast<std::size_t>(grid.columns) * n;
    for (std::size_t k = 0; k < fine.size(); k++)
        if (fine[k])
            shown[(k / columns / n) * grid.columns + (k % columns) / n] = 1;
    return shown;
}

// The pixels of the grid whose centre lies inside, on the grid n times finer:
// those whose middle cell is inside or, for an even n, at least CENTRE_COUNT
// of the four middle cells that meet at the centre (any one of them alone
// would shift the edge by half a cell towards it). The edge traced through the
// lines' ends is the edge of the mapped area itself, and a pixel it cuts
// belongs to it where its centre does.
std::vector<std::uint8_t> centres_inside(const std::vector<std::uint8_t> &fine, const Grid &grid, int n)
{
    if (fine.empty())
        return fine;
    std::vector<std::uint8_t> shown(static_cast<std::size_t>(grid.rows) * grid.columns, 0);
    if (n == 1) {
        std::transform(fine.begin(), fine.end(), shown.begin(), [](std::uint8_t v) { return v ? 1 : 0; });
        return shown;
    }
    const std::size_t columns = static_cast<std::size_t>(grid.columns) * n;
    const auto at = [&](std::size_t i, std::size_t j) { return fine[i * columns + j] ? 1 : 0; };
    for (int i = 0; i < grid.rows; i++)
        for (int j = 0; j < grid.columns; j++) {
            const std::size_t ci = static_cast<std::size_t>(i) * n + n / 2, cj = static_cast<std::size_t>(j) * n + n / 2;
            shown[static_cast<std::size_t>(i) * grid.columns + j] =
                n % 2 ? at(ci, cj) : at(ci, cj) + at(ci - 1, cj) + at(ci, cj - 1) + at(ci - 1, cj - 1) >= CENTRE_COUNT;
        }
    return shown;
}

} // namespace

void ContourSource::decide_footprint(int n)
{
    Impl &s = *impl_;
    // A drawn footprint is drawn on the grid the run burns, while it fits: a
    // pixel's disc of at least 2 pixels would close a coast's narrow inlets
    // that 2 fine cells leave open. Elsewhere the footprint is the pixel's.
    const int m = s.footprint.kind == FootprintKind::drawn &&
                          static_cast<double>(s.grid.rows) * s.grid.columns * n * n <= SHEET_FOOTPRINT_CELLS
                      ? n
                      : 1;
    if (s.on_grid.decided && s.on_grid.factor == m)
        return;
    s.deciding_now = true;
    const int was = s.factor;
    const Grid fine = s.fine;
    const PixelBox sheet = s.sheet;
    if (m != was) {
        s.factor = m;
        s.fine = m == 1 ? s.grid : finer(s.grid, m);
        s.sheet = box_on(s.lines_extent, s.fine);
    }
    s.on_grid.decided = false;
    Window w = prepare(0, 0, s.fine.rows, s.fine.columns);
    s.on_grid.inside = w.inside;
    s.on_grid.shown = s.traced ? centres_inside(w.inside, s.grid, m) : shown_on_grid(w.shown, s.grid, m);
    s.on_grid.radius = w.radius / m;
    s.on_grid.factor = m;
    s.on_grid.decided = true;
    if (s.traced) {
        // The whole grid kept for the run shows what every window shows.
        const auto columns = static_cast<std::size_t>(s.fine.columns), m_ = static_cast<std::size_t>(m);
        for (std::size_t i = 0; i * columns < w.shown.size(); i++) {
            const std::uint8_t *from = s.on_grid.shown.data() + (i / m_) * static_cast<std::size_t>(s.grid.columns);
            std::uint8_t *to = w.shown.data() + i * columns;
            for (std::size_t j = 0; j < columns; j++)
                to[j] = from[m_ == 1 ? j : j / m_];
        }
        w.hidden = std::count(w.shown.begin(), w.shown.end(), std::uint8_t{0});
    }
    s.factor = was;
    s.fine = fine;
    s.sheet = sheet;
    s.deciding_now = false;
    if (m == was)
        s.deciding = std::move(w);
}

void ContourSource::set_oversample(int n)
{
    Impl &s = *impl_;
    if (n == s.factor)
        return;
    if (n > 1 && raster())
        throw UsageFailure(named("oversample") + ": a contour raster is used on its own pixels; give none", "oversample");
    s.factor = n;
    s.fine = n == 1 ? s.grid : finer(s.grid, n);
    check_size(s.fine.rows, s.fine.columns);
    s.sheet = box_on(s.lines_extent, s.fine);
    s.whole.clear();
    s.deciding.reset();
    // The pixels polygons show are those of the grid itself; the polygons' wall
    // is drawn on the finer grid. A drawn footprint or the hull waits for the
    // first window prepared (prepare).
    if (n > 1 && s.footprint.kind == FootprintKind::file)
        decide_footprint(n);
}

std::vector<std::int32_t> ContourSource::burn(int row, int column, int rows, int columns, GDALProgressFunc progress,
                                              void *progress_arg) const
{
    if (rows <= 0 || columns <= 0)
        throw Failure("a window of " + std::to_string(rows) + " x " + std::to_string(columns) + " pixels is empty");
    check_size(rows, columns);
    if (impl_->read)
        return burn_lines(*impl_->read, impl_->fine, row, column, rows, columns, progress, progress_arg);
    return read_contour_raster(*impl_->contour, row, column, rows, columns);
}

} // namespace tolvane::geo
