// Grids whose every cell is empty (base/empty_cell.h), ready for a sweep.
#pragma once

#include "base/empty_cell.h"
#include "base/grid.h"
#include "base/work.h"

namespace terrapivoter {

// Marks every cell of `grid` empty, on up to `work.threads` threads (which is also where the
// pages of a fresh grid are first touched).
void mark_empty(DoubleGrid grid, const Work& work = {});

// A grid of that size with every cell empty, ready for a sweep.
Matrix<double> empty_grid(int32_t nb_lig, int32_t nb_col, const Work& work = {});

}  // namespace terrapivoter
