#include "rotation/sweep_kernel.h"

#include "rotation/turn.h"

namespace terrapivoter {

namespace detail {

FastSweep plan_fast_sweep(int32_t nb_lig, int32_t nb_col, const RotationParameters& p,
                          OutputFrame frame) {
    FastSweep f;
    const AffineTurn turn(p.despl_ang);
    f.cos_theta = turn.cos;
    f.sin_theta = turn.sin;
    // Every error of either evaluation is a small multiple of 2^-52 times a magnitude no larger
    // than this sum (positions move by the frame's offsets); 2^-40 leaves a wide margin
    // (docs/performance.md).
    const ld magnitude = std::fabs(static_cast<ld>(p.X1)) + std::fabs(static_cast<ld>(p.Y1)) +
                         nb_col + nb_lig + 2 + std::abs(static_cast<ld>(frame.left)) +
                         std::abs(static_cast<ld>(frame.bottom));
    const ld bound = magnitude * 0x1p-40L;
    f.bound = static_cast<double>(bound);
    f.usable = std::isfinite(p.X1) && std::isfinite(p.Y1) && bound < kLargestUsefulBound;
    return f;
}

// The columns of row i from its first cell that lands in the output to its last (the
// cells in between land too, their positions moving steadily along the row): the range
// the affine positions give, widened by two cells, then narrowed from either end by
// placing cells until one lands; `start` is row_start(i).
IndexRange Sweep::landing_columns(int32_t i, RowStart start) const {
    IndexRange range{0, in.nb_col};
    const auto columns = static_cast<double>(in.nb_col);
    auto keep_within = [&range, columns](double from, double step, double limit) {
        // Positions from + j step within (-1, limit), to a cell or two.
        if (std::fabs(step) < 1e-12) {
            if (from < -3.0 || from > limit + 2.0) range = {0, 0};
            return;
        }
        double low = (-1.0 - from) / step;
        double high = (limit - from) / step;
        if (low > high) std::swap(low, high);
        range.first = std::max(
            range.first, static_cast<int32_t>(std::clamp(std::floor(low) - 2.0, 0.0, columns)));
        range.end = std::min(range.end,
                             static_cast<int32_t>(std::clamp(std::ceil(high) + 3.0, 0.0, columns)));
    };
    keep_within(start.ax, c, static_cast<double>(out.nb_col));
    keep_within(start.ay, s, static_cast<double>(total_rows()));
    constexpr int32_t kStep = 8;
    int32_t rows[kStep];
    int32_t cols[kStep];
    auto lands = [&](int32_t j0, int32_t count, bool last) {
        locate(start, i, j0, count, rows, cols);
        for (int32_t k = 0; k < count; ++k) {
            const int32_t at = last ? count - 1 - k : k;
            if (cols[at] >= 0) return j0 + at;
        }
        return -1;
    };
    int32_t first = -1;
    for (int32_t j = range.first; first < 0 && j < range.end; j += kStep)
        first = lands(j, std::min(kStep, range.end - j), false);
    if (first < 0) return {0, 0};
    int32_t last = -1;
    for (int32_t j = range.end; last < 0 && j > first; j -= kStep) {
        const int32_t from = std::max(first, j - kStep);
        last = lands(from, j - from, true);
    }
    return {first, last + 1};
}

}  // namespace detail

}  // namespace terrapivoter
