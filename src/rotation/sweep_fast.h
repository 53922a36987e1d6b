// The fast sweep: the same grid as rotate_reference, bit for bit, at a fraction of the cost.
//
// A rotation is affine, so a cell's position can be had with one multiply-add per axis
// instead of a square root, an arc tangent, a sine and a cosine. The affine position differs
// from the polar formulas by at most `bound` (derived in docs/performance.md); the two can
// only pick different cells where a position lies within `bound` of a cell boundary, and only
// there the polar formulas are evaluated. Collisions are settled as in the plain sweep: the
// later cell in row-major order wins, whatever the number of threads.
#pragma once

#include <cstdint>
#include <optional>

#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"
#include "rotation/bands.h"
#include "rotation/placement.h"

namespace terrapivoter {

// Rotates `in` into the all-empty `out`, which lies at `frame`, on up to `work.threads` threads.
void rotate_fast(DoubleGrid in, DoubleGrid out, const RotationParameters& p, const Work& work = {},
                 OutputFrame frame = {});

// The same for the input rows `rows` only (the other rows of `in` may be absent).
void rotate_fast(DoubleGrid in, IndexRange rows, DoubleGrid out, const RotationParameters& p,
                 const Work& work, OutputFrame frame);

// The same for the cells of `window` only (the other cells of `in` may be absent): a band of
// the output, swept from the input cells that can land in it.
void rotate_window_fast(DoubleGrid in, const InputWindow& window, DoubleGrid out,
                        const RotationParameters& p, const Work& work, OutputFrame frame);

// The same with the input's working values read from `source` as the sweep reaches them, a
// segment of a row at a time (an input mapped from its file: no grid of it is made), from
// every cell, or with `window` from the cells of `window` only.
void rotate_source_fast(GridSource& source, const InputWindow* window, DoubleGrid out,
                        const RotationParameters& p, const Work& work, OutputFrame frame);

// The smallest value below kNoBackground of the input cells that land in an output of
// `total_rows` x `nb_col` cells lying at `frame` (or kNoBackground): the output's background,
// unless every cell holding it is covered by a later one. Nothing where the rotation is by 0 or
// its cells are placed one by one.
std::optional<double> smallest_landing_value(GridSource& source, int32_t total_rows, int32_t nb_col,
                                             const RotationParameters& p, OutputFrame frame,
                                             const Work& work);

namespace detail {
// Counts how many cells of a rotation need the polar formulas (for tests and benchmarks).
int64_t count_exact_fallbacks(int32_t nb_lig, int32_t nb_col, const RotationParameters& p);
}  // namespace detail

}  // namespace terrapivoter
