#include "rotation/hole_filling.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "base/parallel.h"
#include "base/smallest_value.h"
#include "rotation/empty_cells.h"
#include "rotation/extended.h"

namespace terrapivoter {

// A cell is filled only when its four neighbours are already filled, so no cell filled here is
// the neighbour of another: rows may be done in any order, on any thread, and give the grid a
// single pass in row-major order gives.
void fill_holes_in_row(DoubleGrid grid, int32_t i, std::optional<double> nodata) {
    if (i <= 0 || i >= grid.nb_lig - 1) return;
    const bool has_nodata = nodata.has_value();
    const double nodata_value = nodata.value_or(0.0);
    // A NaN is no-data whatever the no-data value (and the empty marker is one of them).
    auto filled = [&](double v) { return v == v && !(has_nodata && v == nodata_value); };
    for (int32_t j = 1; j < grid.nb_col - 1; ++j) {
        if (!is_empty(grid[i][j])) continue;
        int ico = 0;
        double dtot = 0.0;
        for (double neighbour : {grid[i - 1][j], grid[i][j + 1], grid[i + 1][j], grid[i][j - 1]}) {
            if (filled(neighbour)) {
                ++ico;
                dtot = extended::sum(dtot, neighbour);
            }
        }
        if (ico == 4) grid[i][j] = static_cast<double>(static_cast<extended::ld>(dtot) * 0.25L);
    }
}

bool holes_keep_background(double smallest) {
    // Four values of at least m sum, rounded at each step, to at least 4m (docs/performance.md)
    // as long as no partial sum overflows: so that no mean of them lies below m.
    return smallest >= -std::numeric_limits<double>::max() / 4;
}

namespace {

// The smallest filled value of row i below `dmin`, or dmin (the empty marker is a NaN).
double smallest_in_row(DoubleGrid grid, int32_t i, double dmin) {
    return smallest_value(grid[i], grid.nb_col, dmin);
}

// Runs row(i, dmin) -> dmin for rows [first, first + count) on every thread, and returns the
// smallest result (kNoBackground for no rows).
double over_rows(int64_t first, int64_t count, const Work& work,
                 const std::function<double(int32_t, double)>& row) {
    return smallest_over_row_bands(work.threads, first, count, kNoBackground, row);
}

}  // namespace

void fill_holes(DoubleGrid grid, std::optional<double> nodata, const Work& work) {
    over_rows(1, std::max(0, grid.nb_lig - 2), work, [&](int32_t i, double dmin) {
        fill_holes_in_row(grid, i, nodata);
        return dmin;
    });
}

double background_value(DoubleGrid grid, const Work& work) {
    return over_rows(0, grid.nb_lig, work,
                     [&](int32_t i, double dmin) { return smallest_in_row(grid, i, dmin); });
}

double fill_holes_finding_background(DoubleGrid grid, std::optional<double> nodata,
                                     const Work& work) {
    // Each row is final once its own holes are filled: its minimum is taken while it is in the
    // cache. The first and last rows have no holes to fill.
    return over_rows(0, grid.nb_lig, work, [&](int32_t i, double row_min) {
        fill_holes_in_row(grid, i, nodata);
        return smallest_in_row(grid, i, row_min);
    });
}

void fill_background(DoubleGrid grid, double dmin, const Work& work) {
    for_row_bands(work.threads, 0, grid.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            for (int32_t j = 0; j < grid.nb_col; ++j) {
                if (is_empty(grid[i][j])) grid[i][j] = dmin;
            }
        }
    });
}

}  // namespace terrapivoter
