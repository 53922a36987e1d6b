#include "rotation/sweep_reference.h"

#include <algorithm>
#include <cstring>

namespace terrapivoter {

void copy_unturned(int32_t nb_lig, int32_t nb_col, DoubleGrid out, OutputFrame frame, int32_t begin,
                   int32_t end,
                   const std::function<void(int32_t, int32_t, int32_t, double*)>& read) {
    // Input cell (line y, column j) is output cell (line y + bottom, column j + left).
    const int32_t first_col = std::max(0, -frame.left);
    const int32_t last_col = std::min(nb_col, out.nb_col - frame.left);
    if (first_col >= last_col) return;
    const int64_t total = frame.total_rows > 0 ? frame.total_rows : out.nb_lig;
    for (int32_t i = begin; i < end; ++i) {
        const int64_t line = int64_t{nb_lig} - 1 - i + frame.bottom;
        const int64_t row = total - 1 - line - frame.first_row;
        if (line < 0 || line >= total || row < 0 || row >= out.nb_lig) continue;
        read(i, first_col, last_col, out[static_cast<int32_t>(row)] + first_col + frame.left);
    }
}

void copy_unturned(DoubleGrid in, DoubleGrid out, OutputFrame frame, int32_t begin, int32_t end) {
    copy_unturned(in.nb_lig, in.nb_col, out, frame, begin, end,
                  [&in](int32_t i, int32_t first, int32_t last, double* cells) {
                      std::memcpy(cells, in[i] + first,
                                  sizeof(double) * static_cast<std::size_t>(last - first));
                  });
}

void rotate_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p,
                      OutputFrame frame) {
    rotate_reference(in, {0, in.nb_lig}, out, p, frame);
}

void rotate_reference(DoubleGrid in, IndexRange rows, DoubleGrid out, const RotationParameters& p,
                      OutputFrame frame) {
    if (p.despl_ang == 0) {
        // A rotation by 0 leaves every cell where it is.
        copy_unturned(in, out, frame, rows.first, rows.end);
        return;
    }
    const int32_t total = frame.total_rows > 0 ? frame.total_rows : out.nb_lig;
    for (int32_t i = rows.first; i < rows.end; ++i) {
        for (int32_t j = 0; j < in.nb_col; ++j) {
            const auto cell =
                target_cell(rotated_position(i, j, in.nb_lig, p), total, out.nb_col, frame);
            if (!cell) continue;
            const int32_t row = cell->row - frame.first_row;
            if (row >= 0 && row < out.nb_lig) out[row][cell->col] = in[i][j];
        }
    }
}

}  // namespace terrapivoter
