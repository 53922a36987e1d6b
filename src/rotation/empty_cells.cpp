#include "rotation/empty_cells.h"

#include <algorithm>

#include "base/parallel.h"

namespace terrapivoter {

void mark_empty(DoubleGrid grid, const Work& work) {
    for_row_bands(work.threads, 0, grid.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i)
            std::fill(grid[i], grid[i] + grid.nb_col, empty_cell());
    });
}

Matrix<double> empty_grid(int32_t nb_lig, int32_t nb_col, const Work& work) {
    Matrix<double> grid(nb_lig, nb_col);
    mark_empty(grid.view(), work);
    return grid;
}

}  // namespace terrapivoter
