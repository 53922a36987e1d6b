// An output that loses no cell: the input's grid enlarged by whole cells on each side, so that
// every turned cell falls inside, and the input's own cells stay inside too (the terrain keeps
// its place on the map, the corner moves by the cells added).
#pragma once

#include <cstdint>
#include <vector>

#include "base/grid.h"
#include "base/work.h"
#include "rotation/placement.h"

namespace terrapivoter {

// An output grid of nb_lig x nb_col cells, lying at `frame` in the input's frame.
struct Enlargement {
    OutputFrame frame;
    int64_t nb_lig = 0;
    int64_t nb_col = 0;
};

// Holds every turned cell with two cells to spare on each side. A rotation moves cells
// affinely, so the extreme positions are those of the corner cells; the margin covers the
// rounding of the placement formulas many times over.
Enlargement enlargement_with_margin(int32_t nb_lig, int32_t nb_col, const RotationParameters& p);

struct GridWindow {
    std::vector<double*> rows;
    DoubleGrid view;
    OutputFrame frame;  // where the input's grid lies in the window
};

// Rows [first_row, end_row) and columns [first_col, end_col) of an output.
struct CellBox {
    int64_t first_row = 0;
    int64_t end_row = 0;
    int64_t first_col = 0;
    int64_t end_col = 0;
};

// The input's own nb_lig x nb_col cells in an output lying at `enlarged`.
CellBox input_box(const Enlargement& enlarged, int32_t nb_lig, int32_t nb_col);

// `box` widened to hold every filled cell of `rows`, which are the output's rows from
// `first_row`.
void widen_to_filled(DoubleGrid rows, int64_t first_row, CellBox& box, const Work& work);

// A part of `rows` (the output's rows from `first_row`): its rows and columns within `box`,
// and where the input's grid lies in it.
GridWindow window_of(DoubleGrid rows, int64_t first_row, const CellBox& box,
                     const Enlargement& enlarged);

// The smallest part of a grid swept at `enlarged` that holds every filled cell and the input's
// own nb_lig x nb_col cells, as a view into the grid's rows.
GridWindow occupied_window(DoubleGrid grid, const Enlargement& enlarged, int32_t nb_lig,
                           int32_t nb_col, const Work& work = {});

}  // namespace terrapivoter
