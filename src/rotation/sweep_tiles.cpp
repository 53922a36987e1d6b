#include <algorithm>
#include <vector>

#include "rotation/sweep_kernel.h"

namespace terrapivoter {

namespace detail {

// Rows [begin, end), tile by tile. Within a band of rows, one block of columns is done for
// every row before the next block, so a cell in the first two columns of a block comes
// after the cells of the previous block's last two columns in the two rows below it,
// although these are later in row-major order: where one of them reaches the same output
// cell, it keeps it.
void Sweep::sweep_rows(int32_t begin, int32_t end) const {
    // A block of columns spans about its width times |sin| output rows: wider blocks where
    // the turn is shallow keep that near kTileCols rows with fewer block boundaries.
    const double steepness = std::max(std::fabs(s), 1e-9);
    const auto tile_cols = static_cast<int32_t>(
        std::min<double>(in.nb_col, std::max<double>(kTileCols, kTileCols / steepness)));
    RowStart starts[kTileRows];
    Segment readable_of[kTileRows];
    int32_t strip_row[kTileRows][2];
    int32_t strip_col[kTileRows][2];
    int32_t rows[kChunk];
    int32_t cols[kChunk];
    const std::unique_ptr<double[]> buffer = row_buffer();
    for (int32_t band = begin; band < end; band += std::min(kTileRows, end - band)) {
        const int32_t height = std::min(kTileRows, end - band);
        // A band's window bounds the cells read; otherwise only the cells that land are
        // located (an output smaller than the turned grid leaves many out).
        for (int32_t r = 0; r < height; ++r) {
            starts[r] = row_start(band + r);
            readable_of[r] =
                window != nullptr ? columns_of(band + r) : landing_columns(band + r, starts[r]);
        }
        for (int32_t block = 0; block < in.nb_col; block += tile_cols) {
            const int32_t block_end = std::min(block + tile_cols, in.nb_col);
            if (block > 0) {
                for (int32_t r = 0; r < height; ++r) {
                    locate(starts[r], band + r, block - 2, 2, strip_row[r], strip_col[r]);
                }
            }
            auto yields = [&](int32_t r, int32_t row, int32_t col) {
                for (int32_t below = r + 1; below < std::min(r + kReach, height); ++below) {
                    for (int q = 0; q < 2; ++q) {
                        if (strip_col[below][q] == col && strip_row[below][q] == row) return true;
                    }
                }
                return false;
            };
            for (int32_t r = 0; r < height; ++r) {
                const int32_t i = band + r;
                const Segment readable = readable_of[r];
                const int32_t last = std::min(block_end, readable.end);
                int32_t j = std::max(block, readable.first);
                if (j >= last) continue;
                const double* values = row_values(i, j, last, buffer.get());
                const int32_t seam_end = std::min(block + 2, last);
                if (block > 0 && j < seam_end) {
                    const int32_t first = j;
                    locate(starts[r], i, first, seam_end - first, rows, cols);
                    for (; j < seam_end; ++j) {
                        const int32_t k = j - first;
                        if (cols[k] >= 0 && band_row(rows[k]) >= 0 &&
                            !yields(r, rows[k], cols[k])) {
                            out[band_row(rows[k])][cols[k]] = values[j];
                        }
                    }
                }
                // Locals, so that the stores are not taken to alias the row pointers.
                double* const* const out_rows = out.rows;
                const int32_t first_row = frame.first_row;
                const auto band_rows = static_cast<uint32_t>(out.nb_lig);
                sweep_segment(
                    starts[r], i, j, last,
                    [out_rows, values, first_row, band_rows](int32_t row, int32_t col, int32_t jj) {
                        const int32_t held = row - first_row;
                        if (static_cast<uint32_t>(held) < band_rows) {
                            out_rows[held][col] = values[jj];
                        }
                    });
            }
        }
        advance(progress, height);
    }
}

// The rows [boundary - kReach, boundary) held back while the bands were swept, written
// now in row-major order; a cell whose target a row of [boundary, boundary + kReach) also
// reaches is skipped, as that later cell is already written and must stay.
void Sweep::sweep_held_back_rows(int32_t boundary) const {
    std::vector<int64_t> taken;
    const int64_t width = out.nb_col;
    for (int32_t i = boundary; i < boundary + kReach; ++i) {
        sweep_segment(row_start(i), i, 0, in.nb_col, [&](int32_t row, int32_t col, int32_t) {
            taken.push_back(row * width + col);
        });
    }
    std::sort(taken.begin(), taken.end());
    const std::unique_ptr<double[]> buffer = row_buffer();
    for (int32_t i = boundary - kReach; i < boundary; ++i) {
        const Segment readable = columns_of(i);
        if (readable.first >= readable.end) continue;
        const double* values = row_values(i, readable.first, readable.end, buffer.get());
        sweep_segment(row_start(i), i, readable.first, readable.end,
                      [&](int32_t row, int32_t col, int32_t j) {
                          if (band_row(row) >= 0 &&
                              !std::binary_search(taken.begin(), taken.end(), row * width + col)) {
                              out[band_row(row)][col] = values[j];
                          }
                      });
    }
    advance(progress, kReach);
}

}  // namespace detail

}  // namespace terrapivoter
