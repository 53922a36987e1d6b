#include "rotation/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/cpu_dispatch.h"
#include "base/empty_cell.h"
#include "base/parallel.h"
#include "rotation/lanes.h"
#include "rotation/turn.h"

namespace terrapivoter {

namespace {

using ld = long double;

// Keys' cubic convolution kernel with a = -0.5 at distance d from a cell: for 1 <= d < 2,
// a d^3 - 5a d^2 + 8a d - 4a; below 1, (a + 2) d^3 - (a + 3) d^2 + 1; each evaluated in one
// order, for one value or four at once (lanes.h), so that both give the same bits.
template <class V>
[[gnu::always_inline]] inline void cubic_outer(const V& d, V& w) {
    w = ((-0.5 * d + 2.5) * d - 4.0) * d + 2.0;
}
template <class V>
[[gnu::always_inline]] inline void cubic_inner(const V& d, V& w) {
    w = (1.5 * d - 2.5) * d * d + 1.0;
}

// The weights of the taps around a position t cells past the cell floor(position) (0 <= t < 1):
// bilinear's two (that cell and the next), or cubic's four (from the cell before it).
template <int Taps, class V>
[[gnu::always_inline]] inline void tap_weights(const V& t, V* w) {
    if constexpr (Taps == 2) {
        w[0] = 1.0 - t;
        w[1] = t;
    } else {
        cubic_outer(1.0 + t, w[0]);
        cubic_inner(t, w[1]);
        cubic_inner(1.0 - t, w[2]);
        cubic_outer(2.0 - t, w[3]);
    }
}

// How many cells before floor(position) the first tap lies, along each axis: cubic's one.
template <int Taps>
constexpr int kTapsBefore = Taps == 4 ? 1 : 0;

// Whether a cell's value counts: not the no-data value, not a NaN.
inline bool counts(double v, bool has_nodata, double nodata) {
    return v == v && !(has_nodata && v == nodata);
}

struct Grid {
    DoubleGrid in;
    bool has_nodata;
    double nodata;

    bool inside(int64_t i, int64_t j) const {
        return i >= 0 && i < in.nb_lig && j >= 0 && j < in.nb_col;
    }
    // The value of cell (i, j) when it is an input cell that counts.
    bool value(int64_t i, int64_t j, double& v) const {
        if (!inside(i, j)) return false;
        v = in[static_cast<int32_t>(i)][j];
        return counts(v, has_nodata, nodata);
    }
};

// Bilinear's value at (x, r): the four cells around it weighted by distance, those outside the
// input or not counting left out and the others' weights scaled back to one; the empty mark
// when none has weight.
double bilinear_at(const Grid& g, double x, double r) {
    const double fx = std::floor(x);
    const double fr = std::floor(r);
    const auto j0 = static_cast<int64_t>(fx);
    const auto i0 = static_cast<int64_t>(fr);
    double wx[2];
    double wr[2];
    tap_weights<2>(x - fx, wx);
    tap_weights<2>(r - fr, wr);
    double sum = 0;
    double weight = 0;
    bool all = true;
    for (int k = 0; k < 2; ++k) {
        double row_sum = 0;
        double row_weight = 0;
        for (int m = 0; m < 2; ++m) {
            double v = 0;
            if (g.value(i0 + k, j0 + m, v)) {
                row_sum += wx[m] * v;
                row_weight += wx[m];
            } else {
                all = false;
            }
        }
        sum += wr[k] * row_sum;
        weight += wr[k] * row_weight;
    }
    if (all) return sum;
    return weight != 0 ? sum / weight : empty_cell();
}

// Cubic convolution's value at (x, r) over the sixteen cells around it; where one of them lies
// outside the input or does not count, bilinear's, as GDAL's warper does (cubic's weights,
// some negative, scaled back over a part of them could sum to nearly nothing).
double cubic_at(const Grid& g, double x, double r) {
    const double fx = std::floor(x);
    const double fr = std::floor(r);
    const auto j0 = static_cast<int64_t>(fx);
    const auto i0 = static_cast<int64_t>(fr);
    double v[4][4];
    for (int k = 0; k < 4; ++k) {
        for (int m = 0; m < 4; ++m) {
            if (!g.value(i0 - 1 + k, j0 - 1 + m, v[k][m])) return bilinear_at(g, x, r);
        }
    }
    double wx[4];
    double wr[4];
    tap_weights<4>(x - fx, wx);
    tap_weights<4>(r - fr, wr);
    double sum = 0;
    for (int k = 0; k < 4; ++k) {
        double row_sum = 0;
        for (int m = 0; m < 4; ++m)
            row_sum += wx[m] * v[k][m];
        sum += wr[k] * row_sum;
    }
    return sum;
}

// The value at (x, r), by the formulas as written, or the empty mark.
double sample(const Grid& g, Resampling method, double x, double r) {
    const double near_x = std::floor(x + 0.5);
    const double near_r = std::floor(r + 0.5);
    // A position whose nearest cell is not an input cell lies outside the input.
    if (!(near_x >= 0 && near_x < g.in.nb_col && near_r >= 0 && near_r < g.in.nb_lig)) {
        return empty_cell();
    }
    // A position inside a no-data cell is no-data, as GDAL's warper has it.
    double v = 0;
    if (!g.value(static_cast<int64_t>(near_r), static_cast<int64_t>(near_x), v)) {
        return empty_cell();
    }
    switch (method) {
        case Resampling::bilinear:
            return bilinear_at(g, x, r);
        case Resampling::cubic:
            return cubic_at(g, x, r);
        case Resampling::forward:
        case Resampling::nearest:
            break;
    }
    return v;
}

}  // namespace

int32_t resampling_reach(Resampling method) {
    // The cells read lie at most half a cell (nearest), one (bilinear) or two (cubic) from the
    // position along each axis; across both, that times the square root of two.
    switch (method) {
        case Resampling::bilinear:
            return 2;
        case Resampling::cubic:
            return 3;
        case Resampling::forward:
        case Resampling::nearest:
            break;
    }
    return 1;
}

SampleRow sample_row(const RotationParameters& p, OutputFrame frame, int32_t nb_lig, int32_t row,
                     int32_t in_lines) {
    const AffineTurn turn(p.despl_ang);
    const int32_t total = frame.total_rows > 0 ? frame.total_rows : nb_lig;
    // Cell (row, 0) of the output lies at column -left and line (total - 1 - row) - bottom of
    // the input's frame; its source, the offset from the reference point turned back.
    const ld dx = static_cast<ld>(-frame.left) - p.X1;
    const ld dy = static_cast<ld>(total - 1 - (frame.first_row + row) - frame.bottom) - p.Y1;
    const ld x = p.X1 + dx * turn.cos + dy * turn.sin;
    const ld y = p.Y1 - dx * turn.sin + dy * turn.cos;
    return {static_cast<double>(x), static_cast<double>(static_cast<ld>(in_lines - 1) - y),
            static_cast<double>(turn.cos), static_cast<double>(turn.sin)};
}

void resample_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p,
                        OutputFrame frame, Resampling method, std::optional<double> nodata) {
    const Grid g{in, nodata.has_value(), nodata.value_or(0.0)};
    for (int32_t v = 0; v < out.nb_lig; ++v) {
        const SampleRow s = sample_row(p, frame, out.nb_lig, v, in.nb_lig);
        for (int32_t u = 0; u < out.nb_col; ++u) {
            const double x = s.x0 + u * s.dx;
            const double r = s.r0 + u * s.dr;
            out[v][u] = sample(g, method, x, r);
        }
    }
}

namespace {

// Cells [first, end) of a row whose every cell read lies inside the input, for a method that
// reads from floor(position) - reach to floor(position) + reach + 1 along each axis.
struct InnerCells {
    int32_t first;
    int32_t end;
};

InnerCells inner_cells(const SampleRow& s, int32_t cols, DoubleGrid in, int32_t reach) {
    auto inner = [&](int32_t u) {
        const double x = s.x0 + u * s.dx;
        const double r = s.r0 + u * s.dr;
        return std::floor(x) - reach >= 0 && std::floor(x) + reach + 1 < in.nb_col &&
               std::floor(r) - reach >= 0 && std::floor(r) + reach + 1 < in.nb_lig;
    };
    // The positions move steadily along the row: the inner cells are one run of them, found
    // from the bounds of each axis (a cell's margin inside) and then checked at its ends.
    double low = 0;
    double high = cols;
    auto within = [&](double start, double step, double least, double most) {
        if (std::fabs(step) < 1e-12) {
            if (!(start >= least && start <= most)) high = low = 0;
            return;
        }
        double a = (least - start) / step;
        double b = (most - start) / step;
        if (a > b) std::swap(a, b);
        low = std::max(low, std::ceil(a) + 1);
        high = std::min(high, std::floor(b) - 1);
    };
    within(s.x0, s.dx, reach + 1.0, in.nb_col - reach - 2.0);
    within(s.r0, s.dr, reach + 1.0, in.nb_lig - reach - 2.0);
    if (!(low < high)) return {0, 0};
    auto first = static_cast<int32_t>(low);
    auto end = static_cast<int32_t>(high);
    while (first < end && !inner(first))
        ++first;
    while (end > first && !inner(end - 1))
        --end;
    return {first, end};
}

// The Taps cells from column j[l] of row i[l], for each lane l: v[m] holds each lane's m-th.
// Each lane's cells lie side by side in memory: they are read at once and transposed.
template <int Taps>
[[gnu::always_inline]] inline void load_taps(DoubleGrid in, const Indices& i, const Indices& j,
                                             Lanes* v) {
    if constexpr (Taps == 2) {
        using Pair = double __attribute__((vector_size(16)));
        Pair p[kLanes];
        for (int l = 0; l < kLanes; ++l)
            std::memcpy(&p[l], in[i[l]] + j[l], sizeof(Pair));
        const Lanes low = __builtin_shufflevector(p[0], p[1], 0, 1, 2, 3);   // a0 b0 a1 b1
        const Lanes high = __builtin_shufflevector(p[2], p[3], 0, 1, 2, 3);  // a2 b2 a3 b3
        v[0] = __builtin_shufflevector(low, high, 0, 2, 4, 6);
        v[1] = __builtin_shufflevector(low, high, 1, 3, 5, 7);
    } else {
        Lanes q[kLanes];
        for (int l = 0; l < kLanes; ++l)
            std::memcpy(&q[l], in[i[l]] + j[l], sizeof(Lanes));
        const Lanes t0 = __builtin_shufflevector(q[0], q[1], 0, 4, 2, 6);  // a0 a1 c0 c1
        const Lanes t1 = __builtin_shufflevector(q[0], q[1], 1, 5, 3, 7);  // b0 b1 d0 d1
        const Lanes t2 = __builtin_shufflevector(q[2], q[3], 0, 4, 2, 6);  // a2 a3 c2 c3
        const Lanes t3 = __builtin_shufflevector(q[2], q[3], 1, 5, 3, 7);  // b2 b3 d2 d3
        v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
        v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
        v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
        v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
    }
}

// The values of four inner cells at positions (x, r), in lanes, by the formulas `sample` uses
// (the positions being inside, floor is truncation); false, with nothing stored, when one of the
// cells read does not count (sample then values each of the four). A NaN among them makes its
// lane's sum NaN, whatever its weight, so the sums tell it; the no-data value, when the input
// has one (Nodata), is looked for among the cells.
template <int Taps, bool Nodata>
[[gnu::always_inline]] inline bool sample_lanes(const Grid& g, const Lanes& x, const Lanes& r,
                                                double* out) {
    Flags counted = Lanes{} == Lanes{};
    auto keep_counted = [&](const Lanes& v) {
        if constexpr (Nodata) counted &= v != g.nodata;
    };
    Lanes result;
    if constexpr (Taps == 1) {
        const Indices j = __builtin_convertvector(x + 0.5, Indices);
        const Indices i = __builtin_convertvector(r + 0.5, Indices);
        result = Lanes{g.in[i[0]][j[0]], g.in[i[1]][j[1]], g.in[i[2]][j[2]], g.in[i[3]][j[3]]};
        keep_counted(result);
    } else {
        constexpr int before = kTapsBefore<Taps>;
        const Indices j0 = __builtin_convertvector(x, Indices);
        const Indices i0 = __builtin_convertvector(r, Indices);
        Lanes wx[4];
        Lanes wr[4];
        tap_weights<Taps>(x - __builtin_convertvector(j0, Lanes), wx);
        tap_weights<Taps>(r - __builtin_convertvector(i0, Lanes), wr);
        result = Lanes{0, 0, 0, 0};
        for (int k = 0; k < Taps; ++k) {
            Lanes v[4];
            load_taps<Taps>(g.in, i0 - before + k, j0 - before, v);
            Lanes row_sum = {0, 0, 0, 0};
            for (int m = 0; m < Taps; ++m) {
                keep_counted(v[m]);
                row_sum += wx[m] * v[m];
            }
            result += wr[k] * row_sum;
        }
    }
    counted &= result == result;  // NOLINT(misc-redundant-expression)
    if (!all_set(counted)) return false;
    for (int l = 0; l < kLanes; ++l)
        out[l] = result[l];
    return true;
}

// How many cells ahead along a row the input cells are asked for: a turned row crosses a new
// input row every few cells, each one a cache line the hardware does not foresee, so they are
// asked for while the cells before them are worked out.
constexpr int32_t kAhead = 64;

// Asks for the cache lines of the cells read at (x, r) for each lane (positions of inner cells).
template <int Taps>
[[gnu::always_inline]] inline void prefetch_taps(DoubleGrid in, const Lanes& x, const Lanes& r) {
    constexpr int before = kTapsBefore<Taps>;
    const Indices j = __builtin_convertvector(x, Indices);
    const Indices i = __builtin_convertvector(r, Indices);
    for (int l = 0; l < kLanes; ++l) {
        for (int k = 0; k < Taps; ++k)
            __builtin_prefetch(in[i[l] - before + k] + j[l]);
    }
}

// Cells [first, end) of a row, all inner: four at a time in lanes, the rest (and any four with
// a cell read that does not count) one at a time by `sample`. The row's inner cells go on to
// `inner_end`, as far as its input is asked for ahead of time.
template <int Taps, bool Nodata>
TERRAPIVOTER_CLONES void resample_inner(const Grid& g, Resampling method, const SampleRow& s,
                                        int32_t first, int32_t end, int32_t inner_end,
                                        double* out) {
    int32_t u = first;
    for (; u + kLanes <= end; u += kLanes) {
        const Lanes at = {static_cast<double>(u), static_cast<double>(u + 1),
                          static_cast<double>(u + 2), static_cast<double>(u + 3)};
        const Lanes x = s.x0 + at * s.dx;
        const Lanes r = s.r0 + at * s.dr;
        if (u + kAhead + kLanes <= inner_end) {
            // The cells' own positions, to the bit: those of inner cells, whose taps all exist.
            const Lanes later = at + kAhead;
            prefetch_taps<Taps>(g.in, s.x0 + later * s.dx, s.r0 + later * s.dr);
        }
        if (sample_lanes<Taps, Nodata>(g, x, r, out + u)) continue;
        for (int l = 0; l < kLanes; ++l)
            out[u + l] = sample(g, method, x[l], r[l]);
    }
    for (; u < end; ++u)
        out[u] = sample(g, method, s.x0 + u * s.dx, s.r0 + u * s.dr);
}

// The lanes' code for a method's taps, with the no-data value looked for or not.
template <int Taps>
auto inner_for(bool nodata) {
    return nodata ? &resample_inner<Taps, true> : &resample_inner<Taps, false>;
}

// Output cells are taken a tile at a time, so that the input cells they read, a parallelogram
// of rows, stay in the caches from one output row to the next. The tile's rows are taken in the
// order in which each meets every input row left of where the one before met it (top down when
// the turned rows descend through the input, bottom up when they climb): measured, the other
// order costs up to half as much again.
constexpr int32_t kTileRows = 32;
constexpr int32_t kTileColumns = 512;

}  // namespace

void resample_fast(DoubleGrid in, DoubleGrid out, const RotationParameters& p, OutputFrame frame,
                   Resampling method, std::optional<double> nodata, const Work& work) {
    const Grid g{in, nodata.has_value(), nodata.value_or(0.0)};
    const int32_t reach = method == Resampling::cubic ? 1 : 0;
    const auto inner = method == Resampling::nearest    ? inner_for<1>(g.has_nodata)
                       : method == Resampling::bilinear ? inner_for<2>(g.has_nodata)
                                                        : inner_for<4>(g.has_nodata);
    for_row_bands(work.threads, 0, out.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        SampleRow rows[kTileRows];
        InnerCells cells[kTileRows];
        for (int32_t top = begin; top < end; top += kTileRows) {
            const int32_t height = std::min(kTileRows, end - top);
            for (int32_t k = 0; k < height; ++k) {
                rows[k] = sample_row(p, frame, out.nb_lig, top + k, in.nb_lig);
                cells[k] = inner_cells(rows[k], out.nb_col, in, reach);
            }
            const bool bottom_up = rows[0].dr < 0;
            for (int32_t left = 0; left < out.nb_col; left += kTileColumns) {
                const int32_t right = std::min(out.nb_col, left + kTileColumns);
                for (int32_t taken = 0; taken < height; ++taken) {
                    const int32_t k = bottom_up ? height - 1 - taken : taken;
                    const SampleRow& s = rows[k];
                    double* row = out[top + k];
                    const int32_t first = std::clamp(cells[k].first, left, right);
                    const int32_t last = std::clamp(cells[k].end, first, right);
                    for (int32_t u = left; u < first; ++u)
                        row[u] = sample(g, method, s.x0 + u * s.dx, s.r0 + u * s.dr);
                    inner(g, method, s, first, last, cells[k].end, row);
                    for (int32_t u = last; u < right; ++u)
                        row[u] = sample(g, method, s.x0 + u * s.dx, s.r0 + u * s.dr);
                }
            }
        }
    });
}

}  // namespace terrapivoter
