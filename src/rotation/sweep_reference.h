// The plain sweep: every cell placed by the polar formulas, one at a time in row-major order.
// The fast sweep is measured against it.
#pragma once

#include <functional>

#include "base/grid.h"
#include "rotation/placement.h"

namespace terrapivoter {

// The plain sweep, one cell at a time in traversal order, straight from the case tables. `out`
// lies at `frame` (the input's own grid unless told otherwise) and must be all empty
// (empty_grid); the cells no input cell reaches stay empty. An angle of 0 copies the grid.
void rotate_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p,
                      OutputFrame frame = {});

// The same for the input rows `rows` only (the other rows of `in` may be absent).
void rotate_reference(DoubleGrid in, IndexRange rows, DoubleGrid out, const RotationParameters& p,
                      OutputFrame frame);

// An angle of 0: every cell of input rows [begin, end) where it stands, as far as `out`
// reaches.
void copy_unturned(DoubleGrid in, DoubleGrid out, OutputFrame frame, int32_t begin, int32_t end);

// The same for an input of nb_lig x nb_col cells whose rows `read(i, first, end, cells)` gives:
// row i's columns [first, end) into cells[0 .. end - first).
void copy_unturned(int32_t nb_lig, int32_t nb_col, DoubleGrid out, OutputFrame frame, int32_t begin,
                   int32_t end,
                   const std::function<void(int32_t, int32_t, int32_t, double*)>& read);

}  // namespace terrapivoter
