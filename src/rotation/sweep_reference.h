// The plain sweep: every cell placed by the polar formulas, one at a time in row-major order.
// The fast sweep is measured against it.
#pragma once

#include "base/grid.h"
#include "rotation/placement.h"

// The plain sweep, one cell at a time in traversal order, straight from the case tables. `out`
// must be all empty (empty_grid) and of the same size as `in`; the cells no input cell reaches
// stay empty. An angle of 0 copies the grid.
void rotate_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p);
