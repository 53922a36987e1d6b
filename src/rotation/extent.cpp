#include "rotation/extent.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/parallel.h"
#include "rotation/empty_cells.h"

namespace {

using ld = long double;

struct Span {
    int64_t first;
    int64_t last;
};

}  // namespace

Enlargement enlargement_with_margin(int32_t nb_lig, int32_t nb_col, const RotationParameters& p) {
    constexpr int64_t kMargin = 2;
    const ld theta = static_cast<ld>(p.despl_ang) / static_cast<ld>(api);
    const ld c = std::cos(theta);
    const ld s = std::sin(theta);
    Span x{0, nb_col - 1};
    Span y{0, nb_lig - 1};
    for (const ld column : {ld{0}, static_cast<ld>(nb_col - 1)}) {
        for (const ld line : {ld{0}, static_cast<ld>(nb_lig - 1)}) {
            const ld dx = column - p.X1;
            const ld dy = line - p.Y1;
            // Cell indices: the position plus one half, rounded down.
            const auto to = static_cast<int64_t>(std::floor(p.X1 + dx * c - dy * s + 0.5L));
            const auto ty = static_cast<int64_t>(std::floor(p.Y1 + dx * s + dy * c + 0.5L));
            x = {std::min(x.first, to - kMargin), std::max(x.last, to + kMargin)};
            y = {std::min(y.first, ty - kMargin), std::max(y.last, ty + kMargin)};
        }
    }
    Enlargement e;
    e.nb_col = x.last - x.first + 1;
    e.nb_lig = y.last - y.first + 1;
    if (e.nb_col > std::numeric_limits<int32_t>::max() ||
        e.nb_lig > std::numeric_limits<int32_t>::max()) {
        throw Failure("turned about that reference point, the grid would span " +
                      std::to_string(e.nb_lig) + " rows and " + std::to_string(e.nb_col) +
                      " columns, more than a grid can have");
    }
    e.frame = {static_cast<int32_t>(-x.first), static_cast<int32_t>(-y.first)};
    return e;
}

GridWindow occupied_window(DoubleGrid grid, const Enlargement& enlarged, int32_t nb_lig,
                           int32_t nb_col, const Work& work) {
    // Rows and columns of `grid`: the input's own cells first, then every filled cell.
    const int32_t bottom_row = grid.nb_lig - 1 - enlarged.frame.bottom;
    Span rows{bottom_row - (nb_lig - 1), bottom_row};
    Span cols{enlarged.frame.left, enlarged.frame.left + nb_col - 1};
    const unsigned threads = std::max(1u, work.threads);
    std::vector<Span> band_rows(threads, rows);
    std::vector<Span> band_cols(threads, cols);
    for_row_bands(threads, 0, grid.nb_lig, [&](unsigned t, int32_t begin, int32_t end) {
        for (int32_t i = begin; i < end; ++i) {
            const double* row = grid[i];
            int32_t first = 0;
            while (first < grid.nb_col && is_empty(row[first]))
                ++first;
            if (first == grid.nb_col) continue;
            int32_t last = grid.nb_col - 1;
            while (is_empty(row[last]))
                --last;
            band_rows[t] = {std::min<int64_t>(band_rows[t].first, i),
                            std::max<int64_t>(band_rows[t].last, i)};
            band_cols[t] = {std::min<int64_t>(band_cols[t].first, first),
                            std::max<int64_t>(band_cols[t].last, last)};
        }
    });
    for (unsigned t = 0; t < threads; ++t) {
        rows = {std::min(rows.first, band_rows[t].first), std::max(rows.last, band_rows[t].last)};
        cols = {std::min(cols.first, band_cols[t].first), std::max(cols.last, band_cols[t].last)};
    }
    GridWindow window;
    for (int64_t i = rows.first; i <= rows.last; ++i)
        window.rows.push_back(grid[static_cast<int32_t>(i)] + cols.first);
    window.view = {window.rows.data(), static_cast<int32_t>(rows.last - rows.first + 1),
                   static_cast<int32_t>(cols.last - cols.first + 1)};
    window.frame = {static_cast<int32_t>(enlarged.frame.left - cols.first),
                    static_cast<int32_t>(enlarged.frame.bottom - (grid.nb_lig - 1 - rows.last))};
    return window;
}
