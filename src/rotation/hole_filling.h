// After the sweep: the holes it left inside the turned terrain, and the background.
#pragma once

#include <optional>
#include <span>
#include <vector>

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

// fill_holes_in_row cell by cell, each sum in extended precision: what the fast code, which
// sums four holes at once in doubles, gives bit for bit.
void fill_holes_in_row_plain(DoubleGrid grid, int32_t i, std::optional<double> nodata);

// Whether filling the holes leaves background_value as it was, `smallest`, before: every mean
// of four filled values lies at or above the smallest of them, unless their sums overflow.
bool holes_keep_background(double smallest);

// What background_value gives when no value lies below it.
inline constexpr double kNoBackground = 10000000.0;

// Where the empty cells of a row lie: every cell of [0, lead) and of [trail, nb_col), and any
// others within [inner_first, inner_end). Noted while the background is found, so that giving
// it visits those cells alone (the turned terrain's corners are runs at the rows' ends).
struct EmptyCells {
    int32_t lead = 0;
    int32_t trail = 0;
    int32_t inner_first = 0;
    int32_t inner_end = 0;
};

// The smallest value of the grid's filled cells (NaN never is), or kNoBackground when none lies
// below that; with `empty`, each row's EmptyCells noted in it, a row each.
double background_value(DoubleGrid grid, const Work& work = {},
                        std::vector<EmptyCells>* empty = nullptr);

// fill_holes, then background_value of the grid it leaves, in one pass over the grid.
double fill_holes_finding_background(DoubleGrid grid, std::optional<double> nodata,
                                     const Work& work = {},
                                     std::vector<EmptyCells>* empty = nullptr);

// Gives every empty cell the value `dmin`; with `empty`, the grid's rows' EmptyCells (as
// background_value noted them, a row each), only the cells they name are visited.
void fill_background(DoubleGrid grid, double dmin, const Work& work = {},
                     std::span<const EmptyCells> empty = {});

}  // namespace terrapivoter
