#include "rotation/sweep_reference.h"

#include <cstring>

void rotate_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p) {
    if (p.despl_ang == 0) {
        // A rotation by 0 leaves every cell where it is.
        for (int32_t i = 0; i < in.nb_lig; ++i) {
            std::memcpy(out[i], in[i], sizeof(double) * static_cast<std::size_t>(in.nb_col));
        }
        return;
    }
    for (int32_t i = 0; i < in.nb_lig; ++i) {
        for (int32_t j = 0; j < in.nb_col; ++j) {
            const auto cell =
                target_cell(rotated_position(i, j, in.nb_lig, p), in.nb_lig, in.nb_col);
            if (cell) out[cell->row][cell->col] = in[i][j];
        }
    }
}
