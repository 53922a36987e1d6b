// The output in horizontal bands: which cells of the input can land in a band. A band's cells
// come from a parallelogram of the input (a range of rows, a range of columns in each); sweeping
// those rows in row-major order places every cell that lands in the band exactly where, and
// over whatever, the sweep of the whole grid places it.
#pragma once

#include <cstdint>
#include <vector>

#include "rotation/placement.h"

namespace terrapivoter {

// What a band needs of the input: its rows, and in each of them the columns to read (a few
// cells more than can land in the band, on every side). `columns[k]` is row rows.first + k's.
struct InputWindow {
    IndexRange rows;
    std::vector<IndexRange> columns;
    int64_t cells() const;
};

// The input cells (of an nb_lig x nb_col input) that can land in output rows [first, end) of an
// output of frame.total_rows rows lying at `frame`, and those within `reach` cells more of them
// (what a resampling kernel reads around the positions the band's cells take back).
InputWindow input_window(int32_t nb_lig, int32_t nb_col, const RotationParameters& p,
                         OutputFrame frame, int32_t first, int32_t end, int32_t reach = 0);

}  // namespace terrapivoter
