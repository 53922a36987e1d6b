#include <algorithm>
#include <vector>

#include "rotation/sweep_kernel.h"

namespace terrapivoter {

namespace detail {

namespace {

// The rows of a tile (rows [band, band + height) of a band): where each row's positions start,
// the columns it reads, and, for each block of columns after the first, where the previous
// block's last two columns land in it.
struct TileRows {
    int32_t band = 0;
    int32_t height = 0;
    RowStart starts[kTileRows];
    IndexRange readable[kTileRows];
    int32_t strip_row[kTileRows][2];
    int32_t strip_col[kTileRows][2];

    // Whether a cell of row r landing on (row, col) yields to one of those cells in the rows
    // below, which come later in row-major order.
    bool yields(int32_t r, int32_t row, int32_t col) const {
        for (int32_t below = r + 1; below < std::min(r + kReach, height); ++below) {
            for (int q = 0; q < 2; ++q) {
                if (strip_col[below][q] == col && strip_row[below][q] == row) return true;
            }
        }
        return false;
    }
};

// Row r of the tile, columns [block, block_end); `buffer` is the sweep's row_buffer.
void sweep_tile_row(const Sweep& sweep, const TileRows& tile, int32_t r, int32_t block,
                    int32_t block_end, double* buffer) {
    const int32_t i = tile.band + r;
    const IndexRange readable = tile.readable[r];
    const int32_t last = std::min(block_end, readable.end);
    int32_t j = std::max(block, readable.first);
    if (j >= last) return;
    const double* values = sweep.row_values(i, j, last, buffer);
    const int32_t seam_end = std::min(block + 2, last);
    if (block > 0 && j < seam_end) {
        int32_t rows[2];
        int32_t cols[2];
        const int32_t first = j;
        sweep.locate(tile.starts[r], i, first, seam_end - first, rows, cols);
        for (; j < seam_end; ++j) {
            const int32_t k = j - first;
            const int32_t row = cols[k] >= 0 ? sweep.band_row(rows[k]) : -1;
            if (row >= 0 && !tile.yields(r, rows[k], cols[k])) sweep.out[row][cols[k]] = values[j];
        }
    }
    // Locals, so that the stores are not taken to alias the row pointers.
    double* const* const out_rows = sweep.out.rows;
    const int32_t first_row = sweep.frame.first_row;
    const auto band_rows = static_cast<uint32_t>(sweep.out.nb_lig);
    sweep.sweep_segment(
        tile.starts[r], i, j, last,
        [out_rows, values, first_row, band_rows](int32_t row, int32_t col, int32_t jj) {
            const int32_t held = row - first_row;
            if (static_cast<uint32_t>(held) < band_rows) out_rows[held][col] = values[jj];
        });
}

}  // namespace

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
    TileRows tile;
    const std::unique_ptr<double[]> buffer = row_buffer();
    for (int32_t band = begin; band < end; band += std::min(kTileRows, end - band)) {
        tile.band = band;
        tile.height = std::min(kTileRows, end - band);
        // A band's window bounds the cells read; otherwise only the cells that land are
        // located (an output smaller than the turned grid leaves many out).
        for (int32_t r = 0; r < tile.height; ++r) {
            tile.starts[r] = row_start(band + r);
            tile.readable[r] = window != nullptr ? columns_of(band + r)
                                                 : landing_columns(band + r, tile.starts[r]);
        }
        for (int32_t block = 0; block < in.nb_col; block += tile_cols) {
            const int32_t block_end = std::min(block + tile_cols, in.nb_col);
            for (int32_t r = 0; block > 0 && r < tile.height; ++r) {
                locate(tile.starts[r], band + r, block - 2, 2, tile.strip_row[r],
                       tile.strip_col[r]);
            }
            for (int32_t r = 0; r < tile.height; ++r)
                sweep_tile_row(*this, tile, r, block, block_end, buffer.get());
        }
        advance(progress, tile.height);
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
        const IndexRange readable = columns_of(i);
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
