// The smooth surface over the core's cells: see surface.h for what it keeps.
#include "surface.h"

#include "distance.h"
#include "parallel.h"
#include "strided.h"
#include "timing.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <new>
#include <utility>

namespace tolvane::geo {

namespace {

using Floats = Scratch<float>;

// The weight of the bending against the points, on the finest grid, for points
// about a pixel apart along the lines: small enough that the surface passes
// within a small share of the interval of every line, large enough to keep it
// from rippling between the points of a line.
constexpr double LAMBDA = 0.005;

// Each cell with a value is pulled towards the core's value by this weight: too
// weak to move the surface among the lines (the bending passes it within about
// (LAMBDA / TIE)^(1/4) = 15 cells of a point), it settles the cells beyond the
// lines, where the thin plate alone would run on in a straight slope that the
// whole grid's shape decides, so that a window with its halo gives the cells
// the whole grid does.
constexpr double TIE = 1e-7;

// The grid is halved until neither side passes this many cells; the coarsest
// grid is solved to the end (within STEPS_COARSEST steps), each finer one
// refined by STEPS from the coarser one, the finest (which costs as much as all
// the others) by steps_within_budget() before the cells that left their band are held
// and by STEPS_HELD after. The finer grids only have to add the detail the
// coarser one could not hold, which a few steps reach. The middle grids are
// cheap next to the finest, and at fewer steps they leave a summit low and a
// window's cells apart from the whole grid's.
constexpr int COARSEST = 24;
constexpr int STEPS_COARSEST = 400;
constexpr int STEPS_NEXT = 24;
constexpr int STEPS = 100;
// The first grid, from the finest, that always takes its full STEPS.
constexpr std::size_t FULL_STEPS_FROM = 2;

// On a grid whose finest level takes at least ECHO_FROM_STEPS steps, the grid
// next to the finest sees the zones' middles again, each at the height the
// grid FULL_STEPS_FROM drew it (a smooth shape, not the middle's own guess)
// and at ECHO of its weight: its few steps would otherwise draw the zones of
// one level back towards the level, which the finest grid's steps then keep
// (terraces beside the lines). Where the finest takes fewer steps (Jacksboro at
// 10 m: 4), the next grid's shape passes into the result nearly as it is, and
// the coarser shape held there costs RMSE (1.791 to 1.839 m there): those
// grids keep the next grid free. docs/accuracy.md, the surface.
constexpr int ECHO_FROM_STEPS = 8;
constexpr double ECHO = 0.05;

// The two finest grids' steps: as many as BUDGET cell-steps allow on each,
// from STEPS_FINEST_LEAST on the finest (a grid of millions of cells, where a
// step costs a quarter of a second) up to STEPS, and from STEPS_NEXT on the
// grid next to it up to STEPS_NEXT_MOST. The few steps leave the surface
// between lines some pixels apart a little short of the fit, as the coarser
// grid drew it; a small grid affords the fit itself, which is closer to the
// terrain (docs/accuracy.md, the surface: 1 to 9 % of RMSE on the real sheets
// under 200 000 cells, 0.530 to 0.447 m on the bundled lines inside their
// hull). More on the next grid cost the bundled lines and Jacksboro's 50 m
// contours (70: 1.012 and 8.173 m against 0.994 and 8.137).
constexpr int STEPS_FINEST_LEAST = 4;
constexpr int STEPS_NEXT_MOST = 36;
constexpr double BUDGET = 1.6e7;

int steps_within_budget(std::size_t cells, int least, int most)
{
    const double affordable = BUDGET / static_cast<double>(std::max<std::size_t>(cells, 1));
    return static_cast<int>(std::clamp(std::floor(affordable), static_cast<double>(least), static_cast<double>(most)));
}

// The cells the fit leaves their band for are held by a point at their centre
// a tenth of the interval inside the band's limit, weighing as much as four
// points of a line, and the finest grid refined by STEPS_HELD more steps: the
// surface bends back into the band instead of the clamp piling those cells
// onto the level as a flat patch (a terrace, or a summit's disc). The margin
// keeps them off the level by more than the surface's own reach of it.
constexpr int STEPS_HELD = 8;
constexpr double MARGIN = 10; // the margin: the interval over this
constexpr double HELD_WEIGHT = 4;

// The conjugate gradients stop early once the residual falls this far.
constexpr double CONVERGED = 1e-10;

// A point read bilinearly from the four cells of the block that starts at k
// (Level::at gives the others).
struct Stencil {
    std::size_t k;
    float fr, fc; // the weights of the lower row's and the right column's cells
    float w, value;

    float b(int m) const { return (m & 2 ? fr : 1 - fr) * (m & 1 ? fc : 1 - fc); }
};

// The points that read the same four cells, merged: their share of the normal
// matrix (sum of w b b' over them, b their four bilinear weights) and of its
// right-hand side (sum of w b value). On every grid there is about one point
// per cell block, often more, and a block costs a step one small product
// where its points each cost a read and four scattered writes.
// A block's other corners are k + right, k + down and k + right + down, the
// right and down of its grid's stencils.
struct Block {
    std::size_t k;
    // The symmetric 4 x 4 matrix over corners 0 (k), 1 (right), 2 (down) and
    // 3 (down + right), upper triangle by rows: 00 01 02 03 11 12 13 22 23 33.
    float m[10];
    float rhs[4];

    void add(const Stencil &p)
    {
        float b[4];
        for (int c = 0; c < 4; c++)
            b[c] = p.b(c);
        int e = 0;
        for (int r = 0; r < 4; r++) {
            for (int c = r; c < 4; c++)
                m[e++] += p.w * b[r] * b[c];
            rhs[r] += p.w * b[r] * p.value;
        }
    }
};

Block block_of(const Stencil &p)
{
    Block b{p.k, {}, {}};
    b.add(p);
    return b;
}

// One grid of the cascade: its size and the points it sees.
struct Level {
    int rows, columns;
    double scale;  // pixels of the finest grid per cell
    double lambda; // the bending's weight on this grid
    Scratch<Block> points;              // by row, in a row by the cell they start from
    std::vector<std::size_t> row_start; // the first block of each row, and the end
    Floats anchor;                      // the core's cells about the offset (NaN: none)
    double tie = 0;                     // the weight of each cell's pull towards its anchor

    std::size_t right() const { return columns > 1 ? 1 : 0; }
    std::size_t down() const { return rows > 1 ? static_cast<std::size_t>(columns) : 0; }
    std::size_t at(const Block &b, int c) const { return b.k + (c & 1 ? right() : 0) + (c & 2 ? down() : 0); }
};

// The cell and the weight of the lower of the two cells around coordinate u
// (in cells, a cell spanning [i, i + 1]) on a side of n cells.
void between(double u, int n, int &i, float &f)
{
    if (n == 1) {
        i = 0;
        f = 0;
        return;
    }
    const double x = u - 0.5;
    i = std::clamp(static_cast<int>(std::floor(x)), 0, n - 2);
    f = static_cast<float>(std::clamp(x - i, 0.0, 1.0));
}

// The point's stencil on level l, and in `row` the row of its block.
Stencil stencil(const SurfacePoint &p, const Level &l, double weight, double offset, std::size_t &row)
{
    int i = 0, j = 0;
    float fr = 0, fc = 0;
    between(p.row / l.scale, l.rows, i, fr);
    between(p.column / l.scale, l.columns, j, fc);
    row = static_cast<std::size_t>(i);
    return {static_cast<std::size_t>(i) * l.columns + j, fr, fc, static_cast<float>(weight),
            static_cast<float>(p.value - offset)};
}

// Rows (or cells) in fixed chunks, the chunks shared among the threads: each
// chunk writes only its own cells, and sums are added chunk by chunk in order,
// so that the cells do not depend on the number of threads.
constexpr std::size_t CHUNK = 1 << 14;

// The least cells a thread is given: a pass starts its threads anew, which on
// a grid of some ten thousand cells costs more than the pass (a hundred steps
// of five passes each on Luxembourg's 21 000 cells).
constexpr std::size_t SLICE_CELLS = 1 << 16;

// The least rows of `columns` cells a thread is given.
std::size_t slice_rows(int columns)
{
    return std::max<std::size_t>(8, SLICE_CELLS / static_cast<std::size_t>(std::max(columns, 1)));
}

void in_chunks(std::size_t count, const std::function<void(std::size_t, std::size_t, std::size_t)> &body)
{
    const std::size_t chunks = (count + CHUNK - 1) / CHUNK;
    in_slices(chunks, SLICE_CELLS / CHUNK, [&](std::size_t first, std::size_t last) {
        for (std::size_t c = first; c < last; c++)
            body(c * CHUNK, std::min(count, (c + 1) * CHUNK), c);
    });
}

// The bending's gradient at cell (i, j): the second differences along the
// row, along the column and across that hold the cell, each times its
// coefficient there; on a grid's two outermost rows and columns some of them
// are missing.
float bending_at_edge(const float *z, int R, int C, int i, int j)
{
    const float *a = z + static_cast<std::size_t>(i) * C + j;
    float s = 0;
    for (int o = -1; o <= 1; o++) {
        const float c = o == 0 ? -2.0F : 1.0F;
        if (j + o >= 1 && j + o <= C - 2)
            s += c * (a[o - 1] - 2 * a[o] + a[o + 1]);
        if (i + o >= 1 && i + o <= R - 2) {
            const float *b = a + static_cast<std::ptrdiff_t>(o) * C;
            s += c * (b[-C] - 2 * b[0] + b[C]);
        }
    }
    for (int r = i - 1; r <= i; r++)
        for (int c = j - 1; c <= j; c++)
            if (r >= 0 && r <= R - 2 && c >= 0 && c <= C - 2) {
                const float *b = z + static_cast<std::size_t>(r) * C + c;
                s += ((i - r) == (j - c) ? 2.0F : -2.0F) * (b[0] - b[1] - b[C] + b[C + 1]);
            }
    return s;
}

// v where keep is not 0, else +0: the same as keep ? v : 0.0F, bit for bit.
inline float kept_if(float v, std::uint8_t keep)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= 0U - static_cast<std::uint32_t>(keep != 0);
    float out = 0;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// q = M z, M the normal matrix of the fit on level l: the bending cell by cell
// (each row writes only itself), then the points; `tied` marks the cells pulled
// towards their anchor. Returns z.q, added row by row in the rows' order (the
// bending's rows, then the points'), which saves the conjugate gradients a
// pass over both grids.
double apply(const Level &l, const Scratch<std::uint8_t> &tied, const Floats &z, Floats &q)
{
    const int R = l.rows, C = l.columns;
    std::vector<double> bent(static_cast<std::size_t>(R), 0.0), pointed(static_cast<std::size_t>(R), 0.0);
    const auto lam = static_cast<float>(l.lambda), tie = static_cast<float>(l.tie);
    const float *zz = z.data();
    in_slices(static_cast<std::size_t>(R), slice_rows(C), [&](std::size_t first, std::size_t last) {
        for (auto i = static_cast<int>(first); i < static_cast<int>(last); i++) {
            float *out = q.data() + static_cast<std::size_t>(i) * C;
            const std::uint8_t *pulled = tied.data() + static_cast<std::size_t>(i) * C;
            const float *a = zz + static_cast<std::size_t>(i) * C;
            const bool inner = i >= 2 && i + 2 < R && C >= 5;
            const int inner_first = inner ? 2 : C, inner_last = inner ? C - 2 : C;
            for (int j = 0; j < C; j = j + 1 == inner_first ? inner_last : j + 1)
                out[j] = lam * bending_at_edge(zz, R, C, i, j) + (pulled[j] ? tie * a[j] : 0.0F);
            if (inner) {
            // Away from the edges: the 13 cells of the biharmonic stencil, in
            // one loop without branches for the vector units (the pull kept
            // by a mask of its bits: a choice between a product and zero is a
            // branch the compiler keeps, since the product may trap).
            const float *n = a - C, *s = a + C, *nn = a - 2 * static_cast<std::ptrdiff_t>(C), *ss = a + 2 * C;
            for (int j = inner_first; j < inner_last; j++)
                out[j] = lam * (20 * a[j] - 8 * (n[j] + s[j] + a[j - 1] + a[j + 1]) +
                                2 * (n[j - 1] + n[j + 1] + s[j - 1] + s[j + 1]) + (nn[j] + ss[j] + a[j - 2] + a[j + 2])) +
                         kept_if(tie * a[j], pulled[j]);
            }
            double sum = 0;
            for (int j = 0; j < C; j++)
                sum += static_cast<double>(a[j]) * out[j];
            bent[static_cast<std::size_t>(i)] = sum;
        }
    });
    // A block writes its row and the next: the blocks of every other row at
    // a time, those of a row in their fixed order.
    for (int half = 0; half < 2; half++) {
        const auto rows = static_cast<std::size_t>((R - half + 1) / 2);
        in_slices(rows, slice_rows(2 * C), [&](std::size_t first, std::size_t last) {
            float *qq = q.data();
            const Block *blocks = l.points.data();
            const std::size_t right = l.right(), down = l.down();
            for (std::size_t m = first; m < last; m++) {
                const std::size_t i = 2 * m + static_cast<std::size_t>(half);
                double sum = 0;
                for (std::size_t k = l.row_start[i]; k < l.row_start[i + 1]; k++) {
                    const Block &b = blocks[k];
                    const float *a = b.m;
                    const std::size_t k0 = b.k, k1 = k0 + right, k2 = k0 + down, k3 = k2 + right;
                    const float z0 = zz[k0], z1 = zz[k1], z2 = zz[k2], z3 = zz[k3];
                    const float q0 = a[0] * z0 + a[1] * z1 + a[2] * z2 + a[3] * z3;
                    const float q1 = a[1] * z0 + a[4] * z1 + a[5] * z2 + a[6] * z3;
                    const float q2 = a[2] * z0 + a[5] * z1 + a[7] * z2 + a[8] * z3;
                    const float q3 = a[3] * z0 + a[6] * z1 + a[8] * z2 + a[9] * z3;
                    qq[k0] += q0;
                    qq[k1] += q1;
                    qq[k2] += q2;
                    qq[k3] += q3;
                    sum += static_cast<double>(z0 * q0 + z1 * q1 + z2 * q2 + z3 * q3);
                }
                pointed[i] = sum;
            }
        });
    }
    double dot = 0;
    for (double v : bent)
        dot += v;
    for (double v : pointed)
        dot += v;
    return dot;
}

// Adds to each cell of `out` its share (share(block, corner)) of each block
// that holds it, in the blocks' order, as one pass over the blocks would: a
// cell takes the shares of the row above's blocks, then of its own row's.
// Rows apart on the threads, each reading the blocks of its row and the one
// above; on a grid of one row or column, whose blocks' corners coincide, in
// one pass.
template <typename Share> void add_blocks(const Level &l, Floats &out, Share share)
{
    if (l.rows < 2 || l.columns < 2) {
        for (const Block &b : l.points)
            for (int c = 0; c < 4; c++)
                out[l.at(b, c)] += share(b, c);
        return;
    }
    const std::size_t right = l.right(), down = l.down();
    in_slices(static_cast<std::size_t>(l.rows), slice_rows(l.columns), [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; i++) {
            if (i > 0)
                for (std::size_t k = l.row_start[i - 1]; k < l.row_start[i]; k++) {
                    const Block &b = l.points[k];
                    out[b.k + down] += share(b, 2);
                    out[b.k + down + right] += share(b, 3);
                }
            for (std::size_t k = l.row_start[i]; k < l.row_start[i + 1]; k++) {
                const Block &b = l.points[k];
                out[b.k] += share(b, 0);
                out[b.k + right] += share(b, 1);
            }
        }
    });
}

// n zeros, set on the threads.
Floats zeros(std::size_t n)
{
    Floats g(n);
    in_chunks(n, [&](std::size_t first, std::size_t last, std::size_t) {
        std::fill(g.data() + first, g.data() + last, 0.0F);
    });
    return g;
}

// The inverse of M's diagonal (0 where a cell is in no term), for Jacobi's
// preconditioner.
Floats inverse_diagonal(const Level &l)
{
    const int R = l.rows, C = l.columns;
    Floats d = zeros(static_cast<std::size_t>(R) * C);
    constexpr int DIAGONAL[4] = {0, 4, 7, 9};
    add_blocks(l, d, [&](const Block &b, int c) { return b.m[DIAGONAL[c]]; });
    // The second differences along a row that hold a cell, with their
    // coefficients squared (1, 4, 1), and the number of cross differences
    // along it that hold it (counted twice with the column's), column by
    // column; the same along a column, row by row.
    const auto along = [](int n, std::vector<double> &second, std::vector<double> &cross) {
        second.assign(static_cast<std::size_t>(n), 0.0);
        cross.assign(static_cast<std::size_t>(n), 0.0);
        for (int j = 0; j < n; j++) {
            for (int o = -1; o <= 1; o++)
                if (j - o - 1 >= 0 && j - o + 1 < n)
                    second[static_cast<std::size_t>(j)] += o == 0 ? 4 : 1;
            for (int b = -1; b <= 0; b++)
                if (j + b >= 0 && j + b + 1 < n)
                    cross[static_cast<std::size_t>(j)] += 1;
        }
    };
    std::vector<double> second_row, cross_row, second_column, cross_column;
    along(C, second_column, cross_column);
    along(R, second_row, cross_row);
    in_slices(static_cast<std::size_t>(R), 8, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; i++)
            for (std::size_t j = 0; j < static_cast<std::size_t>(C); j++) {
                const std::size_t k = i * static_cast<std::size_t>(C) + j;
                const double n = second_column[j] + second_row[i] + 2 * cross_row[i] * cross_column[j];
                const double v = d[k] + l.lambda * n + (std::isnan(l.anchor[k]) ? 0.0 : l.tie);
                d[k] = v > 0 ? static_cast<float>(1 / v) : 0.0F;
            }
    });
    return d;
}

// The sum over the cells of f(first, last) for consecutive chunks, added in
// the chunks' order.
double chunk_sum(std::size_t count, const std::function<double(std::size_t, std::size_t)> &f)
{
    std::vector<double> sums((count + CHUNK - 1) / CHUNK, 0.0);
    in_chunks(count, [&](std::size_t first, std::size_t last, std::size_t c) { sums[c] = f(first, last); });
    double s = 0;
    for (double v : sums)
        s += v;
    return s;
}

// Preconditioned conjugate gradients on level l from z, at most `steps` steps.
void solve(const Level &l, Floats &z, int steps)
{
    const std::size_t n = z.size();
    const Floats dinv = inverse_diagonal(l);
    Floats r = zeros(n), p(n), q(n);
    add_blocks(l, r, [](const Block &b, int c) { return b.rhs[c]; });
    Scratch<std::uint8_t> tied(n);
    in_chunks(n, [&](std::size_t a, std::size_t b, std::size_t) {
        for (std::size_t k = a; k < b; k++) {
            tied[k] = std::isnan(l.anchor[k]) ? 0 : 1;
            if (tied[k])
                r[k] += static_cast<float>(l.tie) * l.anchor[k];
        }
    });
    apply(l, tied, z, q);
    double rz = chunk_sum(n, [&](std::size_t a, std::size_t b) {
        double sum = 0;
        for (std::size_t k = a; k < b; k++) {
            r[k] -= q[k];
            p[k] = dinv[k] * r[k];
            sum += static_cast<double>(r[k]) * p[k];
        }
        return sum;
    });
    const double start = rz;
    for (int step = 0; step < steps && rz > CONVERGED * start && rz > 0; step++) {
        const double pq = apply(l, tied, p, q);
        if (!(pq > 0))
            break;
        const auto alpha = static_cast<float>(rz / pq);
        const double next = chunk_sum(n, [&](std::size_t a, std::size_t b) {
            double sum = 0;
            for (std::size_t k = a; k < b; k++) {
                z[k] += alpha * p[k];
                r[k] -= alpha * q[k];
                sum += static_cast<double>(r[k]) * dinv[k] * r[k];
            }
            return sum;
        });
        const auto beta = static_cast<float>(next / rz);
        in_chunks(n, [&](std::size_t a, std::size_t b, std::size_t) {
            for (std::size_t k = a; k < b; k++)
                p[k] = dinv[k] * r[k] + beta * p[k];
        });
        rz = next;
    }
}

// The cells of level `fine` read bilinearly from those of `coarse`, one cell of
// coarse over two of fine.
Floats finer(const Level &coarse, const Floats &z, const Level &fine)
{
    Floats out(static_cast<std::size_t>(fine.rows) * fine.columns);
    std::vector<int> c0(fine.columns), c1(fine.columns);
    Floats fc(fine.columns);
    for (int j = 0; j < fine.columns; j++) {
        between((j + 0.5) / 2, coarse.columns, c0[j], fc[j]);
        c1[j] = std::min(c0[j] + 1, coarse.columns - 1);
    }
    in_slices(static_cast<std::size_t>(fine.rows), slice_rows(fine.columns), [&](std::size_t first, std::size_t last) {
        for (auto i = static_cast<int>(first); i < static_cast<int>(last); i++) {
            int r0 = 0;
            float fr = 0;
            between((i + 0.5) / 2, coarse.rows, r0, fr);
            const int r1 = std::min(r0 + 1, coarse.rows - 1);
            const float *a = z.data() + static_cast<std::size_t>(r0) * coarse.columns;
            const float *b = z.data() + static_cast<std::size_t>(r1) * coarse.columns;
            for (int j = 0; j < fine.columns; j++)
                out[static_cast<std::size_t>(i) * fine.columns + j] =
                    (1 - fr) * ((1 - fc[j]) * a[c0[j]] + fc[j] * a[c1[j]]) +
                    fr * ((1 - fc[j]) * b[c0[j]] + fc[j] * b[c1[j]]);
        }
    });
    return out;
}

// The points' mean value by weight, about which the fit works so that floats
// keep the digits of a thousandth of the interval; NaN without weight.
double mean_value(const std::vector<SurfacePoint> &points)
{
    double offset = 0, total = 0;
    for (const SurfacePoint &p : points) {
        offset += p.weight * p.value;
        total += p.weight;
    }
    return total > 0 ? offset / total : NAN;
}

// The level one coarser than `f`: each cell's anchor the mean of those of its
// (up to) four cells.
Level coarser(const Level &f)
{
    Level c{(f.rows + 1) / 2, (f.columns + 1) / 2, f.scale * 2, f.lambda / 4, {}, {}, {}, f.tie * 4};
    c.anchor.resize(static_cast<std::size_t>(c.rows) * c.columns);
    in_slices(static_cast<std::size_t>(c.rows), slice_rows(c.columns), [&](std::size_t first, std::size_t last) {
        for (auto i = static_cast<int>(first); i < static_cast<int>(last); i++)
            for (int j = 0; j < c.columns; j++) {
                double sum = 0;
                int count = 0;
                for (int a = 2 * i; a < std::min(2 * i + 2, f.rows); a++)
                    for (int b = 2 * j; b < std::min(2 * j + 2, f.columns); b++)
                        if (const float v = f.anchor[static_cast<std::size_t>(a) * f.columns + b]; !std::isnan(v)) {
                            sum += v;
                            count++;
                        }
                c.anchor[static_cast<std::size_t>(i) * c.columns + j] = count ? static_cast<float>(sum / count) : NAN;
            }
    });
    return c;
}

// A set of points for the cascade, with the indices of those that weigh more
// than a line's points: spot heights, which stand alone.
struct PointSet {
    const std::vector<SurfacePoint> *points;
    std::vector<std::size_t> alone;
};

PointSet point_set(const std::vector<SurfacePoint> &points)
{
    return {&points, standing_alone(points, [](const SurfacePoint &p) { return p.weight > 1; })};
}

// The points level `l` of the cascade sees, of `sets` taken one after the
// other (every 2^l-th, weighing as much more, and every point that stands
// alone), row by row and each row's in the order of the lines, for the
// threads and the cache.
void place_points(Level &v, std::size_t l, std::initializer_list<const PointSet *> sets, double offset)
{
    const std::size_t stride = std::size_t{1} << std::min<std::size_t>(l, 20);
    const auto R = static_cast<std::size_t>(v.rows);
    // Each point the level sees, in the sets' order.
    const auto each_seen = [&](const auto &f) {
        std::size_t base = 0;
        for (const PointSet *set : sets) {
            const std::vector<SurfacePoint> &points = *set->points;
            each_strided(points.size(), base, stride, set->alone, [&](std::size_t i) {
                const SurfacePoint &p = points[i];
                if (p.weight > 0)
                    f(p, p.weight > 1 ? p.weight : p.weight * stride);
            });
            base += points.size();
        }
    };
    // By row (counted first, then each stencil put in its row's place in the
    // points' order), a row's by the cell they start from and then in the
    // lines' order (a stable sort), merged cell by cell in that order.
    std::vector<std::size_t> first(R + 1, 0);
    each_seen([&](const SurfacePoint &p, double) {
        int i = 0;
        float f = 0;
        between(p.row / v.scale, v.rows, i, f);
        first[static_cast<std::size_t>(i) + 1]++;
    });
    for (std::size_t i = 0; i < R; i++)
        first[i + 1] += first[i];
    Scratch<Stencil> stencils(first[R]);
    {
        std::vector<std::size_t> next(first.begin(), first.end() - 1);
        each_seen([&](const SurfacePoint &p, double weight) {
            std::size_t row = 0;
            const Stencil s = stencil(p, v, weight, offset, row);
            stencils[next[row]++] = s;
        });
    }
    // Each row's stencils sorted and its blocks counted, then each row's
    // blocks merged into their place, rows apart on the threads: a block adds
    // its points in the same order whatever the thread.
    const auto by_cell = [](const Stencil &a, const Stencil &b) { return a.k < b.k; };
    v.row_start.assign(R + 1, 0);
    in_slices(R, 8, [&](std::size_t a, std::size_t b) {
        for (std::size_t i = a; i < b; i++) {
            const auto begin = stencils.begin() + static_cast<std::ptrdiff_t>(first[i]);
            const auto end = stencils.begin() + static_cast<std::ptrdiff_t>(first[i + 1]);
            std::stable_sort(begin, end, by_cell);
            for (auto s = begin; s != end; ++s)
                v.row_start[i + 1] += s == begin || s->k != (s - 1)->k ? 1 : 0;
        }
    });
    for (std::size_t i = 0; i < R; i++)
        v.row_start[i + 1] += v.row_start[i];
    v.points.resize(v.row_start[R]);
    in_slices(R, 8, [&](std::size_t a, std::size_t b) {
        for (std::size_t i = a; i < b; i++) {
            Block *block = v.points.data() + v.row_start[i] - 1;
            for (std::size_t k = first[i]; k < first[i + 1]; k++) {
                const Stencil &p = stencils[k];
                if (k > first[i] && block->k == p.k)
                    block->add(p);
                else
                    *++block = block_of(p);
            }
        }
    });
}

// Adds the stencils `extra` to level l's blocks, row by row and block by
// block: a block's points first, then the extra ones that read its cells in
// their order (as if they had been placed with the others, after them).
void merge_points(Level &l, std::vector<Stencil> &extra)
{
    const auto C = static_cast<std::size_t>(l.columns);
    std::stable_sort(extra.begin(), extra.end(), [](const Stencil &a, const Stencil &b) { return a.k < b.k; });
    Scratch<Block> merged;
    merged.reserve(l.points.size() + extra.size());
    std::vector<std::size_t> starts(l.row_start.size(), 0);
    std::size_t e = 0;
    for (std::size_t i = 0; i + 1 < l.row_start.size(); i++) {
        starts[i] = merged.size();
        std::size_t b = l.row_start[i];
        const std::size_t end = l.row_start[i + 1];
        while (b < end || (e < extra.size() && extra[e].k / C == i)) {
            const bool fresh = e < extra.size() && extra[e].k / C == i && (b == end || extra[e].k < l.points[b].k);
            if (fresh)
                merged.push_back(block_of(extra[e++]));
            else
                merged.push_back(l.points[b++]);
            for (; e < extra.size() && extra[e].k == merged.back().k; e++)
                merged.back().add(extra[e]);
        }
    }
    starts.back() = merged.size();
    l.points = std::move(merged);
    l.row_start = std::move(starts);
}

// Whether the core left cell k exactly at a level of the table.
bool at_a_level(const std::vector<double> &cells, std::size_t k, double lowest, double interval)
{
    const double t = (cells[k] - lowest) / interval;
    return !std::isnan(t) && t == std::floor(t);
}

// The cells the core left flat at a level that a path of cells at that same
// level joins to the grid's edge or to cells without value that reach the
// edge (1): the flats beyond the outermost lines, towards the edge or a sea
// left without value. The others at a level (0 here) are summits' and pits'
// discs, inside a ring of their level, whether or not a hole without value
// cuts into them.
std::vector<std::uint8_t> open_flats(const std::vector<double> &cells, int rows, int columns, double lowest,
                                     double interval)
{
    std::vector<std::uint8_t> open(cells.size(), 0);
    std::vector<std::size_t> stack;
    const auto C = static_cast<std::size_t>(columns);
    const auto passable = [&](std::size_t k) { return std::isnan(cells[k]) || at_a_level(cells, k, lowest, interval); };
    for (int i = 0; i < rows; i++)
        for (int j = 0; j < columns; j++) {
            const std::size_t k = static_cast<std::size_t>(i) * C + j;
            if ((i == 0 || j == 0 || i + 1 == rows || j + 1 == columns) && passable(k)) {
                open[k] = 1;
                stack.push_back(k);
            }
        }
    // Out of a cell without value into any cell a flat or a hole holds; out of
    // a flat's cell along its own level only.
    while (!stack.empty()) {
        const std::size_t k = stack.back();
        stack.pop_back();
        const std::size_t i = k / C, j = k % C;
        const bool hole = std::isnan(cells[k]);
        const auto spread = [&](std::size_t n) {
            if (!open[n] && (hole ? passable(n) : cells[n] == cells[k])) {
                open[n] = 1;
                stack.push_back(n);
            }
        };
        if (i > 0)
            spread(k - C);
        if (i + 1 < static_cast<std::size_t>(rows))
            spread(k + C);
        if (j > 0)
            spread(k - 1);
        if (j + 1 < C)
            spread(k + 1);
    }
    for (std::size_t k = 0; k < cells.size(); k++)
        open[k] = open[k] && !std::isnan(cells[k]);
    return open;
}

// The cells from first to last that the core left flat at a level inside a
// ring of it (a summit's or a pit's disc) lose their pull towards the core's
// value: there the core's flat disc is what the surface is to replace, and on
// a fine grid, where the disc spans more than the pull's reach, the pull would
// hold the summit near the line's level. The flats that reach the edge
// (beyond the outermost lines) keep it.
void untie_enclosed_flats(Floats &anchor, const std::vector<double> &cells,
                          const std::vector<std::uint8_t> &open, double lowest, double interval, std::size_t first,
                          std::size_t last)
{
    for (std::size_t k = first; k < last; k++)
        if (!open[k] && at_a_level(cells, k, lowest, interval))
            anchor[k] = NAN;
}

// The cascade, finest first, through the lines' `points` and then the zones'.
// A coarser grid sees every other point of the one before, weighing twice as
// much: it only gives the finer its start. The grids from FULL_STEPS_FROM on
// see `coarse_only`'s points too, after the others.
std::vector<Level> cascade(const std::vector<double> &cells, int rows, int columns,
                           const std::vector<SurfacePoint> &points, const std::vector<SurfacePoint> &zones,
                           const std::vector<SurfacePoint> &coarse_only, const std::vector<std::uint8_t> &open,
                           double offset, double lowest, double interval)
{
    std::vector<Level> levels;
    levels.push_back({rows, columns, 1.0, LAMBDA, {}, {}, {}, TIE});
    levels[0].anchor.resize(cells.size());
    Floats &anchor = levels[0].anchor;
    in_chunks(cells.size(), [&](std::size_t first, std::size_t last, std::size_t) {
        for (std::size_t k = first; k < last; k++)
            anchor[k] = static_cast<float>(cells[k] - offset);
        untie_enclosed_flats(anchor, cells, open, lowest, interval, first, last);
    });
    while (levels.back().rows > COARSEST || levels.back().columns > COARSEST)
        levels.push_back(coarser(levels.back()));
    // The grids placed side by side, the finest (about as long as all the
    // others) first.
    const std::vector<SurfacePoint> none;
    const PointSet lines = point_set(points), middles = point_set(zones), coarser_only = point_set(coarse_only),
                   nothing = point_set(none);
    in_tasks(levels.size(), [&](std::size_t l) {
        place_points(levels[l], l, {&lines, &middles, l >= FULL_STEPS_FROM ? &coarser_only : &nothing}, offset);
    });
    return levels;
}

// The fit solved on the coarsest level, then each finer one started from the
// coarser's result; before level l is started, before_finer(l, level l + 1,
// its result).
using Solved = std::function<void(std::size_t, const Level &, const Floats &)>;

Floats solve_cascade(std::vector<Level> &levels, const Solved &before_finer)
{
    Floats z(static_cast<std::size_t>(levels.back().rows) * levels.back().columns, 0.0F);
    solve(levels.back(), z, STEPS_COARSEST);
    for (std::size_t l = levels.size() - 1; l-- > 0;) {
        before_finer(l, levels[l + 1], z);
        z = finer(levels[l + 1], z, levels[l]);
        levels[l + 1].points = {};
        levels[l + 1].anchor = {};
        solve(levels[l], z,
              l == 0   ? steps_within_budget(z.size(), STEPS_FINEST_LEAST, STEPS)
              : l == 1 ? steps_within_budget(z.size(), STEPS_NEXT, STEPS_NEXT_MOST)
                       : STEPS);
    }
    return z;
}

// Level l (the l-th from the finest) sees `middles` again, every 2^l-th
// after `before` other points as the cascade takes them, each at the height
// level c drew it (cz, about the offset) and at ECHO of its weight.
void echo_middles(Level &v, std::size_t l, const std::vector<SurfacePoint> &middles, std::size_t before,
                  const Level &c, const Floats &cz, double offset)
{
    const std::size_t stride = std::size_t{1} << l;
    const auto at = [&](std::size_t k) { return static_cast<double>(cz[k]); };
    std::vector<Stencil> extra;
    each_strided(middles.size(), before, stride, {}, [&](std::size_t k) {
        SurfacePoint p = middles[k];
        if (!(p.weight > 0))
            return;
        std::size_t row = 0;
        const Stencil s = stencil(p, c, 0, 0, row); // where p falls on level c
        const std::size_t right = c.right(), down = c.down();
        p.value = (1 - s.fr) * ((1 - s.fc) * at(s.k) + s.fc * at(s.k + right)) +
                  s.fr * ((1 - s.fc) * at(s.k + down) + s.fc * at(s.k + down + right)) + offset;
        extra.push_back(stencil(p, v, p.weight * ECHO * static_cast<double>(stride), offset, row));
    });
    merge_points(v, extra);
}

// The lowest and highest level of the lines through each cell, above the
// lowest level (below > above: no line).
struct LinesThrough {
    Floats below, above;
};

// The points of each row of cells, from which the lines through the cells of
// a few rows are found without a pass over every point. The passes after the
// fit read them a chunk of rows at a time, and so need no grid of the lines
// through every cell (two floats a cell, 72 MB on Jacksboro at 10 m, every
// page of it faulted in fresh).
struct RowPoints {
    std::vector<std::size_t> start; // each row's first in `of`, and the end
    std::vector<std::uint32_t> of;  // the points in the grid, row by row, each row's in their order
};

RowPoints points_by_row(int rows, int columns, const std::vector<SurfacePoint> &points)
{
    if (points.size() > UINT32_MAX)
        throw std::bad_alloc();
    const auto row_of = [&](const SurfacePoint &p) {
        const double i = std::floor(p.row), j = std::floor(p.column);
        return i >= 0 && i < rows && j >= 0 && j < columns ? static_cast<int>(i) : -1;
    };
    RowPoints r;
    r.start.assign(static_cast<std::size_t>(rows) + 1, 0);
    for (const SurfacePoint &p : points)
        if (const int i = row_of(p); i >= 0)
            r.start[static_cast<std::size_t>(i) + 1]++;
    for (std::size_t i = 0; i < static_cast<std::size_t>(rows); i++)
        r.start[i + 1] += r.start[i];
    r.of.resize(r.start.back());
    std::vector<std::size_t> next(r.start.begin(), r.start.end() - 1);
    for (std::size_t n = 0; n < points.size(); n++)
        if (const int i = row_of(points[n]); i >= 0)
            r.of[next[static_cast<std::size_t>(i)]++] = static_cast<std::uint32_t>(n);
    return r;
}

// The least and the greatest of the points in each cell of rows [r0, r1) of
// `columns` cells, above the lowest level, into below and above from that of
// (r0, 0) on; INFINITY and -INFINITY where no point lies. They do not depend
// on the points' order.
void lines_in_rows(const std::vector<SurfacePoint> &points, const RowPoints &by_row, std::size_t r0, std::size_t r1,
                   std::size_t columns, double lowest, float *below, float *above)
{
    const std::size_t first = r0 * columns;
    std::fill(below, below + (r1 - r0) * columns, INFINITY);
    std::fill(above, above + (r1 - r0) * columns, -INFINITY);
    for (std::size_t n = by_row.start[r0]; n < by_row.start[r1]; n++) {
        const SurfacePoint &p = points[by_row.of[n]];
        const std::size_t k =
            static_cast<std::size_t>(std::floor(p.row)) * columns + static_cast<std::size_t>(std::floor(p.column)) - first;
        below[k] = std::min(below[k], static_cast<float>(p.value - lowest));
        above[k] = std::max(above[k], static_cast<float>(p.value - lowest));
    }
}

LinesThrough lines_through(int rows, int columns, const std::vector<SurfacePoint> &points, double lowest)
{
    const auto C = static_cast<std::size_t>(columns);
    const RowPoints by_row = points_by_row(rows, columns, points);
    LinesThrough t{Floats(static_cast<std::size_t>(rows) * C), Floats(static_cast<std::size_t>(rows) * C)};
    in_slices(static_cast<std::size_t>(rows), slice_rows(columns), [&](std::size_t first, std::size_t last) {
        lines_in_rows(points, by_row, first, last, C, lowest, t.below.data() + first * C, t.above.data() + first * C);
    });
    return t;
}

// The band cell k is held to, above the lowest level: the core's, or for a
// cell a line crosses, the two bands on either side of each line through it.
void band_of(double v, float below, float above, double lowest, double interval, double &low, double &high)
{
    const double u = (v - lowest) / interval, b = std::floor(u);
    low = b * interval;
    high = low + interval;
    if (u == b) // at a level off the lines: a summit's or a pit's
        low -= interval;
    if (below <= above) {
        low = std::min(low, static_cast<double>(below) - interval);
        high = std::max(high, static_cast<double>(above) + interval);
    }
}

// The cells of a chunk of the passes after the fit, in whole rows.
constexpr std::size_t NEAR_CELLS = 1 << 18;

std::size_t near_rows(int columns) { return std::max<std::size_t>(1, NEAR_CELLS / static_cast<std::size_t>(columns)); }
std::size_t near_chunks(int rows, int columns)
{
    return (static_cast<std::size_t>(rows) + near_rows(columns) - 1) / near_rows(columns);
}

// Runs body(chunk, first, last, near) for each chunk of near_rows() rows, the
// chunks shared among the threads: [first, last) the chunk's cells, and
// near.below[k - first], near.above[k - first] what lines_through gives cell
// k.
void with_lines_near(int rows, int columns, const std::vector<SurfacePoint> &points, const RowPoints &by_row,
                     double lowest,
                     const std::function<void(std::size_t, std::size_t, std::size_t, const LinesThrough &)> &body)
{
    const auto C = static_cast<std::size_t>(columns);
    const std::size_t R = near_rows(columns);
    in_slices(near_chunks(rows, columns), std::max<std::size_t>(1, slice_rows(columns) / R),
              [&](std::size_t a, std::size_t b) {
                  LinesThrough near{Floats(R * C), Floats(R * C)};
                  for (std::size_t c = a; c < b; c++) {
                      const std::size_t r0 = c * R, r1 = std::min(static_cast<std::size_t>(rows), r0 + R);
                      lines_in_rows(points, by_row, r0, r1, C, lowest, near.below.data(), near.above.data());
                      body(c, r0 * C, r1 * C, near);
                  }
              });
}

// The wide zones between two lines of one level (a valley whose floor stays
// above the next level down, a ridge below the next up): the thin plate
// through points of that level on both sides lies flat near it, where the
// terrain goes on down (or up) as the bands outside slope. Each cell along
// such a zone's middle becomes a weak point at the depth (or the height) the
// band outside the nearer line extrapolates to it, eased so that it stays
// within ZONE_DEPTH of the interval of the level, and at least the core's
// (whose band, drawn towards the next line down or up, may reach deeper); the
// bending draws the zone between its lines and that middle. A cell the core
// drew deeper than ZONE_DEPTH has the next line near: no zone of one level
// (a saddle between two hills of the bundled lines, where such points cost
// 14 % of RMSE inside the hull). The middle of a zone only a few pixels wide
// is left to the lines' points: there the guess is no better than the thin
// plate's and its points ripple the slopes.
// The flats the core left at a level between the outermost lines and the
// grid's edge (a lowland below the lowest line, the slope beyond a sheet's
// last line) are such zones with one side open: the thin plate there lies on
// the level out to the edge, held by the pull towards the core's flat (on
// R's volcano at 2 m, the lowland around it: 1 % of the cells within a
// fortieth of the interval of 95 m where the DEM goes on down to 94), or
// where the slope inside eases outwards carries the easing on and rises back
// above the line. Every other cell of such a flat, in rows and in columns,
// becomes a point as a zone's middle does, eased to OPEN_FLAT_DEPTH: the slope
// beyond the line goes on down (or up) and levels out, no deeper than the band
// allows. The bending fills between them; a point at every cell adds as many
// blocks to the fit (100 MB on Jacksboro at 10 m) for no closer surface.
constexpr double ZONE_DEPTH = 0.4;   // the deepest a zone's point goes, in intervals
constexpr double ZONE_WEIGHT = 0.1;  // a tenth of a line's point: the middle guessed, not drawn
constexpr double ZONE_NEAREST = 2.2; // the least distance of a zone's point from its line, in pixels
constexpr double ZONE_REACH = 3;     // how far beyond the line the band outside is read, in pixels
constexpr double OPEN_FLAT_DEPTH = 0.7; // the deepest an open flat's point goes, in intervals

constexpr std::uint32_t NO_CELL = SWEPT_NONE;

// The rows a thread takes at a time in the search for the zones' points.
constexpr std::size_t ZONE_ROWS = 64;

// The nearest cell a line crosses of each cell (NO_CELL: none), as the
// sweeps of swept_nearest() pass it on.
std::vector<std::uint32_t> nearest_line_cells(const LinesThrough &t, int rows, int columns)
{
    std::vector<std::uint8_t> crossed(t.below.size());
    for (std::size_t k = 0; k < crossed.size(); k++)
        crossed[k] = t.below[k] <= t.above[k];
    return swept_nearest(crossed, rows, columns);
}

// Whether cell (i, j), whose nearest line cell is f, lies on the middle of a
// zone of one level: a neighbour's nearest line cell, of f's level, lies
// across from f, their directions from the cell at least 107 degrees apart
// (a cosine of -0.3). Less, and the concave side of a curved line, whose
// nearest cells step along its pixels, passes for a middle (the paraboloid's
// rings at 81 pixels, 101 degrees).
bool on_zone_middle(const std::vector<std::uint32_t> &near, const LinesThrough &t, int rows, std::int64_t columns,
                    std::int64_t i, std::int64_t j, std::uint32_t f)
{
    const std::int64_t fi = f / columns, fj = f % columns;
    constexpr std::int64_t DI[4] = {-1, 1, 0, 0}, DJ[4] = {0, 0, -1, 1};
    for (int m = 0; m < 4; m++) {
        const std::int64_t a = i + DI[m], b = j + DJ[m];
        if (a < 0 || b < 0 || a >= rows || b >= columns)
            continue;
        const std::uint32_t g = near[static_cast<std::size_t>(a * columns + b)];
        if (g == NO_CELL || g == f || t.below[g] != t.above[g] || t.below[g] != t.below[f])
            continue;
        const std::int64_t gi = g / columns, gj = g % columns;
        const std::int64_t dot = (fi - i) * (gi - i) + (fj - j) * (gj - j);
        const std::int64_t ff = (fi - i) * (fi - i) + (fj - j) * (fj - j), gg = (gi - i) * (gi - i) + (gj - j) * (gj - j);
        if (dot < 0 && 100 * dot * dot >= 9 * ff * gg)
            return true;
    }
    return false;
}

// The point of zone cell (i, j), its nearest line cell f at level L above the
// lowest: the band outside f read ZONE_REACH pixels beyond it, away from the
// cell, gives the side (outside above the level: a valley) and the slope. No
// point where that band is missing or level, or where the core drew the cell
// on the other side of the level (not a zone of this line); a cell of an open
// flat, which the core left on the level, takes the side the band outside
// gives.
bool zone_point(const std::vector<double> &cells, int rows, std::int64_t columns, std::int64_t i, std::int64_t j,
                std::uint32_t f, double L, double lowest, double interval, bool open_flat, SurfacePoint &p)
{
    const std::int64_t fi = f / columns, fj = f % columns;
    const double d = std::hypot(static_cast<double>(fi - i), static_cast<double>(fj - j));
    const auto oi = static_cast<std::int64_t>(std::lround(fi + ZONE_REACH * (fi - i) / d));
    const auto oj = static_cast<std::int64_t>(std::lround(fj + ZONE_REACH * (fj - j) / d));
    if (oi < 0 || oj < 0 || oi >= rows || oj >= columns)
        return false;
    const double outside = cells[static_cast<std::size_t>(oi * columns + oj)] - lowest - L;
    const double v = cells[static_cast<std::size_t>(i * columns + j)] - lowest - L;
    const double cap = (open_flat ? OPEN_FLAT_DEPTH : ZONE_DEPTH) * interval;
    if (std::isnan(outside) || outside == 0 || !(open_flat || v * outside < 0) || std::abs(v) >= cap)
        return false;
    const double reach = std::hypot(static_cast<double>(oi - fi), static_cast<double>(oj - fj));
    const double slope = std::abs(outside) / std::max(reach, 1.0);
    const double depth = std::max(cap * (1 - std::exp(-slope * d / cap)), std::abs(v));
    p = {static_cast<double>(i) + 0.5, static_cast<double>(j) + 0.5, lowest + L + (outside > 0 ? -depth : depth),
         ZONE_WEIGHT};
    return true;
}

// The points over the open flats, added to `out`, and along the middles of
// the zones of one level, added to `middles` (which may be `out`), row by row.
void add_zone_points(std::vector<SurfacePoint> &out, std::vector<SurfacePoint> &middles,
                     const std::vector<double> &cells, int rows, int columns, const LinesThrough &t,
                     const std::vector<std::uint8_t> &open, double lowest, double interval)
{
    if (cells.size() >= NO_CELL)
        return;
    const std::vector<std::uint32_t> near = nearest_line_cells(t, rows, columns);
    const auto C = static_cast<std::int64_t>(columns);
    // Found in slices of rows, each point with whether it is an open flat's,
    // the slices' points joined in their order.
    const std::size_t slices = (static_cast<std::size_t>(rows) + ZONE_ROWS - 1) / ZONE_ROWS;
    std::vector<std::vector<std::pair<SurfacePoint, bool>>> found(slices);
    in_tasks(slices, [&](std::size_t s) {
        const auto last = std::min<std::int64_t>(rows, static_cast<std::int64_t>((s + 1) * ZONE_ROWS));
        for (auto i = static_cast<std::int64_t>(s * ZONE_ROWS); i < last; i++)
            for (std::int64_t j = 0; j < C; j++) {
                const auto k = static_cast<std::size_t>(i * C + j);
                const std::uint32_t f = near[k];
                if (std::isnan(cells[k]) || f == NO_CELL || f == k || t.below[f] != t.above[f])
                    continue;
                const std::int64_t di = f / C - i, dj = f % C - j;
                const bool open_flat = open[k] && cells[k] - lowest == t.below[f] && i % 2 == 0 && j % 2 == 0;
                if (static_cast<double>(di * di + dj * dj) < ZONE_NEAREST * ZONE_NEAREST ||
                    !(open_flat || on_zone_middle(near, t, rows, C, i, j, f)))
                    continue;
                SurfacePoint p;
                if (zone_point(cells, rows, C, i, j, f, t.below[f], lowest, interval, open_flat, p))
                    found[s].emplace_back(p, open_flat);
            }
    });
    for (const auto &slice : found)
        for (const auto &[p, open_flat] : slice)
            (open_flat ? out : middles).push_back(p);
}

// The cells where the fit leaves its band, as points at the cell's centre a
// margin inside the band's limit, added to the finest level's points so that a
// few more steps bend the surface back into the band (rather than the clamp
// alone piling those cells onto the level in a flat patch).
std::size_t hold_inside(Level &l, const std::vector<double> &cells, const Floats &z,
                        const std::vector<SurfacePoint> &points, const RowPoints &by_row, double offset, double lowest,
                        double interval)
{
    const double margin = interval / MARGIN;
    const auto C = static_cast<std::size_t>(l.columns);
    // Found chunk by chunk, the chunks' cells joined in the chunks' order.
    std::vector<std::vector<Stencil>> found(near_chunks(l.rows, l.columns));
    with_lines_near(l.rows, l.columns, points, by_row, lowest, [&](std::size_t chunk, std::size_t first,
                                                                   std::size_t last, const LinesThrough &near) {
        for (std::size_t k = first; k < last; k++) {
            if (std::isnan(cells[k]))
                continue;
            double low = 0, high = 0;
            band_of(cells[k], near.below[k - first], near.above[k - first], lowest, interval, low, high);
            const double v = static_cast<double>(z[k]) + offset - lowest;
            if (v >= low && v <= high)
                continue;
            const double target = v < low ? low + margin : high - margin;
            // The cell as a corner of the block its row and column start (the
            // one before on the last row or column), so that it merges with the
            // lines' points there.
            const std::size_t i = k / C, j = k % C;
            const std::size_t bi = l.rows > 1 ? std::min<std::size_t>(i, l.rows - 2) : 0;
            const std::size_t bj = l.columns > 1 ? std::min<std::size_t>(j, l.columns - 2) : 0;
            found[chunk].push_back({bi * C + bj, static_cast<float>(i - bi), static_cast<float>(j - bj),
                                    static_cast<float>(HELD_WEIGHT), static_cast<float>(target + lowest - offset)});
        }
    });
    std::vector<Stencil> extra;
    for (const std::vector<Stencil> &f : found)
        extra.insert(extra.end(), f.begin(), f.end());
    if (extra.empty())
        return 0;
    merge_points(l, extra);
    return extra.size();
}

// Each cell of the fit `z` held to its band: the few the steps did not bring
// back in are clamped to it.
void hold_to_bands(std::vector<double> &cells, int rows, int columns, const Floats &z,
                   const std::vector<SurfacePoint> &points, const RowPoints &by_row, double offset, double lowest,
                   double interval)
{
    with_lines_near(rows, columns, points, by_row, lowest, [&](std::size_t, std::size_t first, std::size_t last,
                                                               const LinesThrough &near) {
        for (std::size_t k = first; k < last; k++) {
            const double v = cells[k];
            if (std::isnan(v))
                continue;
            double low = 0, high = 0;
            band_of(v, near.below[k - first], near.above[k - first], lowest, interval, low, high);
            cells[k] = std::clamp(static_cast<double>(z[k]) + offset, low + lowest, high + lowest);
        }
    });
}

} // namespace

void smooth_surface(std::vector<double> &cells, int rows, int columns, const std::vector<SurfacePoint> &points,
                    double lowest, double interval)
{
    if (!(interval > 0) || rows < 1 || columns < 1 || points.empty() ||
        cells.size() != static_cast<std::size_t>(rows) * columns)
        return;
    const double offset = mean_value(points);
    if (std::isnan(offset))
        return;
    // The zones' middles on every grid where the finest takes its full steps.
    // On a larger one, the two finest grids' few steps would leave each
    // middle's guess a bump (Jacksboro at 10 m: 5 % more RMSE, 11 % more slope
    // RMSE): there the middles shape the coarser grids only, which take their
    // full steps, and the two finest refine that shape near the lines. The
    // open flats, broad and without a line inside, take theirs on every grid.
    const int finest_steps = steps_within_budget(cells.size(), STEPS_FINEST_LEAST, STEPS);
    const bool everywhere = finest_steps == STEPS;
    std::vector<std::uint8_t> open = open_flats(cells, rows, columns, lowest, interval);
    std::vector<SurfacePoint> zones, coarse_only;
    add_zone_points(zones, everywhere ? zones : coarse_only, cells, rows, columns,
                    lines_through(rows, columns, points, lowest), open, lowest, interval);
    std::vector<Level> levels =
        cascade(cells, rows, columns, points, zones, coarse_only, open, offset, lowest, interval);
    const std::size_t before_middles = points.size() + zones.size();
    zones = {};
    open = {};
    if (finest_steps < ECHO_FROM_STEPS)
        coarse_only = {};
    step_done("surface: cascade");
    Floats z = solve_cascade(levels, [&](std::size_t l, const Level &c, const Floats &cz) {
        if (l + 1 == FULL_STEPS_FROM && !coarse_only.empty()) {
            echo_middles(levels[l], l, coarse_only, before_middles, c, cz, offset);
            coarse_only = {};
        }
    });
    step_done("surface: fit");
    // The points by row, found again for the clamp rather than kept through
    // the steps, where they would add to the peak.
    if (hold_inside(levels[0], cells, z, points, points_by_row(rows, columns, points), offset, lowest, interval) > 0)
        solve(levels[0], z, STEPS_HELD);
    levels.clear();
    step_done("surface: held");
    hold_to_bands(cells, rows, columns, z, points, points_by_row(rows, columns, points), offset, lowest, interval);
}

} // namespace tolvane::geo
