#include "rotation/sweep_fast.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "base/parallel.h"
#include "base/progress.h"
#include "rotation/hole_filling.h"
#include "rotation/sweep_kernel.h"
#include "rotation/sweep_reference.h"

namespace terrapivoter {

using detail::FastSweep;
using detail::kReach;
using detail::plan_fast_sweep;
using detail::Sweep;

void rotate_fast(DoubleGrid in, DoubleGrid out, const RotationParameters& p, const Work& work,
                 OutputFrame frame) {
    rotate_fast(in, IndexRange{0, in.nb_lig}, out, p, work, frame);
}

namespace {

// The polar formulas cell by cell in row-major order, as rotate_reference places them, for
// rotations whose error bound is too coarse for the fast path; only the window's cells are
// read.
void place_one_by_one(const Sweep& sweep, IndexRange range) {
    const std::unique_ptr<double[]> buffer = sweep.row_buffer();
    for (int32_t i = range.first; i < range.end; ++i) {
        const IndexRange readable = sweep.columns_of(i);
        if (readable.first >= readable.end) continue;
        const double* values = sweep.row_values(i, readable.first, readable.end, buffer.get());
        for (int32_t j = readable.first; j < readable.end; ++j) {
            const auto cell = target_cell(rotated_position(i, j, sweep.in.nb_lig, sweep.p),
                                          sweep.total_rows(), sweep.out.nb_col, sweep.frame);
            if (!cell) continue;
            const int32_t row = sweep.band_row(cell->row);
            if (row >= 0) sweep.out[row][cell->col] = values[j];
        }
        advance(sweep.progress, 1);
    }
}

// `in` gives the input's size, and its rows unless they come from `source`.
void rotate_rows(DoubleGrid in, GridSource* source, IndexRange range, const InputWindow* window,
                 DoubleGrid out, const RotationParameters& p, const Work& work, OutputFrame frame) {
    const unsigned threads = std::max(1u, work.threads);
    const int32_t rows = range.end - range.first;
    if (rows <= 0) return;
    if (p.despl_ang == 0) {
        for_row_bands(threads, range.first, rows, [&](unsigned, int32_t begin, int32_t end) {
            if (source == nullptr) {
                copy_unturned(in, out, frame, begin, end);
            } else {
                copy_unturned(in.nb_lig, in.nb_col, out, frame, begin, end,
                              [source](int32_t i, int32_t first, int32_t last, double* cells) {
                                  source->read(i, first, last, cells);
                              });
            }
        });
        return;
    }
    const FastSweep f = plan_fast_sweep(in.nb_lig, in.nb_col, p, frame);
    Progress progress(work, "rotating", rows, int64_t{rows} * in.nb_col);
    const Sweep sweep{in,
                      out,
                      frame,
                      p,
                      f,
                      static_cast<double>(f.cos_theta),
                      static_cast<double>(f.sin_theta),
                      &progress,
                      window,
                      source};
    if (!f.usable) {
        place_one_by_one(sweep, range);
        return;
    }
    if (sweep_quarter_turn(sweep, range, threads)) return;
    // Each band of rows is swept by one thread, all but its last kReach rows first: bands then
    // lie at least kReach + 1 rows apart and cannot meet. The rows held back are written
    // afterwards, yielding to the next band's first rows.
    const auto bands =
        static_cast<unsigned>(std::clamp<int64_t>(rows / (2 * kReach), 1, std::max(1u, threads)));
    auto band_start = [&](unsigned t) {
        return range.first + static_cast<int32_t>(piece_start(rows, bands, t));
    };
    run_tasks(threads, bands, [&](unsigned t) {
        sweep.sweep_rows(band_start(t), band_start(t + 1) - (t + 1 < bands ? kReach : 0));
    });
    run_tasks(threads, bands - 1,
              [&](unsigned t) { sweep.sweep_held_back_rows(band_start(t + 1)); });
}

}  // namespace

void rotate_fast(DoubleGrid in, IndexRange range, DoubleGrid out, const RotationParameters& p,
                 const Work& work, OutputFrame frame) {
    rotate_rows(in, nullptr, range, nullptr, out, p, work, frame);
}

void rotate_window_fast(DoubleGrid in, const InputWindow& window, DoubleGrid out,
                        const RotationParameters& p, const Work& work, OutputFrame frame) {
    rotate_rows(in, nullptr, window.rows, &window, out, p, work, frame);
}

void rotate_source_fast(GridSource& source, const InputWindow* window, DoubleGrid out,
                        const RotationParameters& p, const Work& work, OutputFrame frame) {
    const DoubleGrid size{nullptr, source.nb_lig(), source.nb_col()};
    rotate_rows(size, &source, window != nullptr ? window->rows : IndexRange{0, source.nb_lig()},
                window, out, p, work, frame);
}

std::optional<double> smallest_landing_value(GridSource& source, int32_t total_rows, int32_t nb_col,
                                             const RotationParameters& p, OutputFrame frame,
                                             const Work& work) {
    const int32_t in_rows = source.nb_lig();
    const int32_t in_cols = source.nb_col();
    if (p.despl_ang == 0 || in_rows <= 0 || in_cols <= 0) return std::nullopt;
    frame.first_row = 0;
    frame.total_rows = total_rows;
    const FastSweep f = plan_fast_sweep(in_rows, in_cols, p, frame);
    if (!f.usable) return std::nullopt;
    const Sweep sweep{{nullptr, in_rows, in_cols},
                      {nullptr, total_rows, nb_col},
                      frame,
                      p,
                      f,
                      static_cast<double>(f.cos_theta),
                      static_cast<double>(f.sin_theta),
                      nullptr,
                      nullptr,
                      &source};
    return smallest_over_row_bands(
        work.threads, 0, in_rows, kNoBackground, [&](int32_t i, double least) {
            const IndexRange landing = sweep.landing_columns(i, sweep.row_start(i));
            return source.smallest(i, landing.first, landing.end, least);
        });
}

int64_t detail::count_exact_fallbacks(int32_t nb_lig, int32_t nb_col, const RotationParameters& p) {
    const FastSweep f = plan_fast_sweep(nb_lig, nb_col, p, {});
    if (!f.usable) return static_cast<int64_t>(nb_lig) * nb_col;
    const Sweep sweep{
        {nullptr, nb_lig, nb_col},        {nullptr, nb_lig, nb_col},        {},     p, f,
        static_cast<double>(f.cos_theta), static_cast<double>(f.sin_theta), nullptr};
    int64_t exact = 0;
    for (int32_t i = 0; i < nb_lig; ++i) {
        exact +=
            sweep.sweep_segment(sweep.row_start(i), i, 0, nb_col, [](int32_t, int32_t, int32_t) {});
    }
    return exact;
}

}  // namespace terrapivoter
