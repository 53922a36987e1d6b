#include "rotation/hole_filling.h"

#include <algorithm>
#include <functional>
#include <limits>

#include "base/cpu_dispatch.h"
#include "base/parallel.h"
#include "base/smallest_value.h"
#include "rotation/empty_cells.h"
#include "rotation/lanes.h"

namespace terrapivoter {

bool holes_keep_background(double smallest) {
    // Four values of at least m sum, rounded at each step, to at least 4m (docs/performance.md)
    // as long as no partial sum overflows: so that no mean of them lies below m.
    return smallest >= -std::numeric_limits<double>::max() / 4;
}

namespace {

// Where the empty cells of a row of `cols` cells lie.
TERRAPIVOTER_CLONES
EmptyCells empty_cells_of(const double* row, int32_t cols) {
    EmptyCells e;
    while (e.lead < cols && is_empty(row[e.lead]))
        ++e.lead;
    e.trail = cols;
    while (e.trail > e.lead && is_empty(row[e.trail - 1]))
        --e.trail;
    // Empty cells between the runs are few once the holes are filled: looked for in one pass
    // without a branch, then bounded.
    Flags found = {0, 0, 0, 0};
    int32_t j = e.lead;
    for (; j + kLanes <= e.trail; j += kLanes) {
        Lanes cells;
        load_lanes(row + j, cells);
        found |= reinterpret_cast<LaneBits>(cells) == kEmptyCellBits;
    }
    bool inner = (found[0] | found[1] | found[2] | found[3]) != 0;
    for (; j < e.trail; ++j)
        inner |= is_empty(row[j]);
    if (!inner) {
        e.inner_first = e.inner_end = e.lead;
        return e;
    }
    e.inner_first = e.lead;
    while (!is_empty(row[e.inner_first]))
        ++e.inner_first;
    e.inner_end = e.trail;
    while (!is_empty(row[e.inner_end - 1]))
        --e.inner_end;
    return e;
}

// Runs row(i, dmin) -> dmin for rows [first, first + count) on every thread, and returns the
// smallest result (kNoBackground for no rows).
double over_rows(int64_t first, int64_t count, const Work& work,
                 const std::function<double(int32_t, double)>& row) {
    return smallest_over_row_bands(work.threads, first, count, kNoBackground, row);
}

// The smallest filled value of row i below `dmin`, or dmin (the empty marker is a NaN), and,
// with `empty`, where the row's empty cells lie.
double smallest_noting_empty(DoubleGrid grid, int32_t i, double dmin,
                             std::vector<EmptyCells>* empty) {
    if (empty != nullptr)
        (*empty)[static_cast<std::size_t>(i)] = empty_cells_of(grid[i], grid.nb_col);
    return smallest_value(grid[i], grid.nb_col, dmin);
}

}  // namespace

void fill_holes(DoubleGrid grid, std::optional<double> nodata, const Work& work) {
    over_rows(1, std::max(0, grid.nb_lig - 2), work, [&](int32_t i, double dmin) {
        fill_holes_in_row(grid, i, nodata);
        return dmin;
    });
}

double background_value(DoubleGrid grid, const Work& work, std::vector<EmptyCells>* empty) {
    if (empty != nullptr) empty->assign(static_cast<std::size_t>(grid.nb_lig), {});
    return over_rows(0, grid.nb_lig, work, [&](int32_t i, double dmin) {
        return smallest_noting_empty(grid, i, dmin, empty);
    });
}

double fill_holes_finding_background(DoubleGrid grid, std::optional<double> nodata,
                                     const Work& work, std::vector<EmptyCells>* empty) {
    // Each row is final once its own holes are filled: its minimum is taken while it is in the
    // cache. The first and last rows have no holes to fill.
    if (empty != nullptr) empty->assign(static_cast<std::size_t>(grid.nb_lig), {});
    return over_rows(0, grid.nb_lig, work, [&](int32_t i, double row_min) {
        fill_holes_in_row(grid, i, nodata);
        return smallest_noting_empty(grid, i, row_min, empty);
    });
}

void fill_background(DoubleGrid grid, double dmin, const Work& work,
                     std::span<const EmptyCells> empty) {
    const bool noted = empty.size() == static_cast<std::size_t>(grid.nb_lig);
    for_row_bands(work.threads, 0, grid.nb_lig, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            double* row = grid[i];
            int32_t first = 0;
            int32_t last = grid.nb_col;
            if (noted) {
                const EmptyCells& e = empty[static_cast<std::size_t>(i)];
                std::fill(row, row + e.lead, dmin);
                std::fill(row + e.trail, row + grid.nb_col, dmin);
                first = e.inner_first;
                last = e.inner_end;
            }
            for (int32_t j = first; j < last; ++j) {
                if (is_empty(row[j])) row[j] = dmin;
            }
        }
    });
}

}  // namespace terrapivoter
