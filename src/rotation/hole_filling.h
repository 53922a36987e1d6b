// After the sweep: the holes it left inside the turned terrain, and the background.
#pragma once

#include <optional>

#include "base/grid.h"
#include "base/work.h"

namespace terrapivoter {

// A cell is empty when no input cell reached it (empty_cells.h); a value of 0 is filled like any
// other. Each empty interior cell whose four neighbours are all filled takes their mean; a
// neighbour holding the no-data value, when there is one, or a NaN, does not count as filled.
// The result does not depend on the number of threads.
void fill_holes(DoubleGrid grid, std::optional<double> nodata, const Work& work = {});

// fill_holes for row i alone (nothing in the first and last rows): rows may be filled in any
// order, on any threads at once, and give the grid fill_holes gives.
void fill_holes_in_row(DoubleGrid grid, int32_t i, std::optional<double> nodata);

// Whether filling the holes leaves background_value as it was, `smallest`, before: every mean
// of four filled values lies at or above the smallest of them, unless their sums overflow.
bool holes_keep_background(double smallest);

// What background_value gives when no value lies below it.
inline constexpr double kNoBackground = 10000000.0;

// The smallest value of the grid's filled cells (NaN never is), or kNoBackground when none lies
// below that.
double background_value(DoubleGrid grid, const Work& work = {});

// fill_holes, then background_value of the grid it leaves, in one pass over the grid.
double fill_holes_finding_background(DoubleGrid grid, std::optional<double> nodata,
                                     const Work& work = {});

// Gives every empty cell the value `dmin`.
void fill_background(DoubleGrid grid, double dmin, const Work& work = {});

}  // namespace terrapivoter
