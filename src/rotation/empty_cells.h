// Which cells of a turned grid no input cell reached. Such a cell holds a NaN with a bit pattern
// of its own, which no reader stores (input values are finite, and an input NaN is stored as the
// C library's quiet NaN), so every value a grid can hold, 0 and -0 among them, is an elevation.
#pragma once

#include <bit>
#include <cstdint>

#include "base/grid.h"
#include "base/work.h"

// A quiet NaN with a payload of its own.
inline constexpr uint64_t kEmptyCellBits = 0x7ffc0e0d0e0d0e0dULL;

inline double empty_cell() {
    return std::bit_cast<double>(kEmptyCellBits);
}

inline bool is_empty(double v) {
    return std::bit_cast<uint64_t>(v) == kEmptyCellBits;
}

// Marks every cell of `grid` empty, on up to `work.threads` threads (which is also where the
// pages of a fresh grid are first touched).
void mark_empty(DoubleGrid grid, const Work& work = {});

// A grid of that size with every cell empty, ready for a sweep.
Matrix<double> empty_grid(int32_t nb_lig, int32_t nb_col, const Work& work = {});
