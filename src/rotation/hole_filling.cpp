#include "rotation/hole_filling.h"

#include <algorithm>
#include <vector>

#include "base/parallel.h"
#include "rotation/empty_cells.h"
#include "rotation/extended.h"

void fill_holes(DoubleGrid grid, std::optional<double> nodata, const Work& work) {
    const bool has_nodata = nodata.has_value();
    const double nodata_value = nodata.value_or(0.0);
    // A NaN is no-data whatever the no-data value (and the empty marker is one of them).
    auto filled = [&](double v) { return v == v && !(has_nodata && v == nodata_value); };
    // A cell is filled only when its four neighbours are already filled, so no cell filled here
    // is the neighbour of another: the bands of rows read and write disjoint cells and give the
    // grid a single pass in row-major order gives.
    const int64_t interior = std::max(0, grid.nb_lig - 2);
    for_row_bands(work.threads, 1, interior, [&](unsigned, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            for (int32_t j = 1; j < grid.nb_col - 1; ++j) {
                if (!is_empty(grid[i][j])) continue;
                int ico = 0;
                double dtot = 0.0;
                for (double neighbour :
                     {grid[i - 1][j], grid[i][j + 1], grid[i + 1][j], grid[i][j - 1]}) {
                    if (filled(neighbour)) {
                        ++ico;
                        dtot = extended::sum(dtot, neighbour);
                    }
                }
                if (ico == 4)
                    grid[i][j] = static_cast<double>(static_cast<extended::ld>(dtot) * 0.25L);
            }
        }
    });
}

double background_value(DoubleGrid grid, const Work& work) {
    const unsigned threads = std::max(1u, work.threads);
    std::vector<double> smallest(threads, 10000000.0);
    for_row_bands(threads, 0, grid.nb_lig, [&](unsigned t, int32_t begin, int32_t end) {
        double dmin = 10000000.0;
        for (int32_t i = begin; i < end; ++i) {
            for (int32_t j = 0; j < grid.nb_col; ++j) {
                const double v = grid[i][j];
                if (!is_empty(v) && v < dmin) dmin = v;
            }
        }
        smallest[t] = dmin;
    });
    return *std::min_element(smallest.begin(), smallest.end());
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
