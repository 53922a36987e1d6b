#include "rotation/extent.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/parallel.h"
#include "rotation/empty_cells.h"
#include "rotation/turn.h"

namespace terrapivoter {

namespace {

using ld = long double;

// Cells [first, end) of an axis.
struct Cells {
    int64_t first;
    int64_t end;
};

}  // namespace

Enlargement enlargement_with_margin(int32_t nb_lig, int32_t nb_col, const RotationParameters& p) {
    constexpr int64_t kMargin = 2;
    const AffineTurn turn(p.despl_ang);
    Cells x{0, nb_col};
    Cells y{0, nb_lig};
    for (const ld column : {ld{0}, static_cast<ld>(nb_col - 1)}) {
        for (const ld line : {ld{0}, static_cast<ld>(nb_lig - 1)}) {
            const ld dx = column - p.X1;
            const ld dy = line - p.Y1;
            const ld c = turn.cos;
            const ld s = turn.sin;
            // Cell indices: the position plus one half, rounded down.
            const auto to = static_cast<int64_t>(std::floor(p.X1 + dx * c - dy * s + 0.5L));
            const auto ty = static_cast<int64_t>(std::floor(p.Y1 + dx * s + dy * c + 0.5L));
            x = {std::min(x.first, to - kMargin), std::max(x.end, to + kMargin + 1)};
            y = {std::min(y.first, ty - kMargin), std::max(y.end, ty + kMargin + 1)};
        }
    }
    Enlargement e;
    e.nb_col = x.end - x.first;
    e.nb_lig = y.end - y.first;
    if (e.nb_col > std::numeric_limits<int32_t>::max() ||
        e.nb_lig > std::numeric_limits<int32_t>::max()) {
        throw Failure("turned about that reference point, the grid would span " +
                      std::to_string(e.nb_lig) + " rows and " + std::to_string(e.nb_col) +
                      " columns, more than a grid can have");
    }
    e.frame = {static_cast<int32_t>(-x.first), static_cast<int32_t>(-y.first)};
    return e;
}

CellBox input_box(const Enlargement& enlarged, int32_t nb_lig, int32_t nb_col) {
    const int64_t bottom_row = enlarged.nb_lig - 1 - enlarged.frame.bottom;
    return {bottom_row - (nb_lig - 1), bottom_row + 1, enlarged.frame.left,
            int64_t{enlarged.frame.left} + nb_col};
}

void widen_to_filled(DoubleGrid rows, int64_t first_row, CellBox& box, const Work& work) {
    const unsigned threads = std::max(1u, work.threads);
    std::vector<CellBox> found(threads, box);
    for_row_bands(threads, 0, rows.nb_lig, [&](unsigned t, int32_t begin, int32_t end) {
        CellBox& b = found[t];
        for (int32_t i = begin; i < end; ++i) {
            const double* row = rows[i];
            int32_t first = 0;
            while (first < rows.nb_col && is_empty(row[first]))
                ++first;
            if (first == rows.nb_col) continue;
            int32_t last = rows.nb_col - 1;
            while (is_empty(row[last]))
                --last;
            b = {std::min(b.first_row, first_row + i), std::max(b.end_row, first_row + i + 1),
                 std::min<int64_t>(b.first_col, first), std::max<int64_t>(b.end_col, last + 1)};
        }
    });
    for (const CellBox& b : found) {
        box = {std::min(box.first_row, b.first_row), std::max(box.end_row, b.end_row),
               std::min(box.first_col, b.first_col), std::max(box.end_col, b.end_col)};
    }
}

GridWindow window_of(DoubleGrid rows, int64_t first_row, const CellBox& box,
                     const Enlargement& enlarged) {
    GridWindow window;
    for (int64_t i = std::max(box.first_row, first_row);
         i < std::min<int64_t>(box.end_row, first_row + rows.nb_lig); ++i) {
        window.rows.push_back(rows[static_cast<int32_t>(i - first_row)] + box.first_col);
    }
    window.view = {window.rows.data(), static_cast<int32_t>(window.rows.size()),
                   static_cast<int32_t>(box.end_col - box.first_col)};
    window.frame = {static_cast<int32_t>(enlarged.frame.left - box.first_col),
                    static_cast<int32_t>(enlarged.frame.bottom - (enlarged.nb_lig - box.end_row)),
                    0, 0};
    return window;
}

GridWindow occupied_window(DoubleGrid grid, const Enlargement& enlarged, int32_t nb_lig,
                           int32_t nb_col, const Work& work) {
    CellBox box = input_box(enlarged, nb_lig, nb_col);
    widen_to_filled(grid, 0, box, work);
    return window_of(grid, 0, box, enlarged);
}

}  // namespace terrapivoter
