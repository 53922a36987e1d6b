// The fast sweep's parts, shared by the files that hold them: the affine kernel that locates a
// row's cells (sweep_kernel.cpp), the tiles and seams that sweep bands of rows
// (sweep_tiles.cpp), the quarter turn (sweep_quarter_turn.cpp), and the entry points
// (sweep_fast.cpp). Internal to the fast sweep.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "base/cpu_dispatch.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "base/progress.h"
#include "rotation/bands.h"
#include "rotation/placement.h"

namespace terrapivoter {

namespace detail {

using ld = long double;

struct FastSweep {
    bool usable = false;  // false when the bound is too coarse to pay (a far reference point)
    long double cos_theta = 1.0L;
    long double sin_theta = 0.0L;
    double bound = 0.0;
};

// The turn's constants and error bound for an nb_lig x nb_col input swept into an output at
// `frame`.
FastSweep plan_fast_sweep(int32_t nb_lig, int32_t nb_col, const RotationParameters& p,
                          OutputFrame frame);

// (w + 1.5 * 2^52) - 1.5 * 2^52 rounds w to the nearest integer for |w| < 2^51.
constexpr double kRounder = 6755399441055744.0;

// Cells this far apart (in rows or in columns) can never land in the same output cell:
// rotated cells keep their distances (up to the bound), and one output cell gathers positions
// less than 2 apart in each axis (the band of index 0 is two cells wide), so less than 2.83
// apart.
constexpr int32_t kReach = 3;

// Beyond this the error bound makes the fast path pointless; the plain sweep is used.
constexpr double kLargestUsefulBound = 1e-3;

// Rows are swept in tiles, so that the writes of a tile, which follow the turned rows through
// the output, stay within about a thousand output rows (pages) instead of crossing all of them:
// near 90 degrees whole rows are a quarter slower. Blocks spanning 256 output rows were as
// fast where the turn is steep and a quarter slower where it is shallow (bench/, 4000 x 4000).
constexpr int32_t kTileRows = 64;
constexpr int32_t kTileCols = 1024;

// Cells are located in chunks: a vectorisable pass computes the targets, a plain pass stores.
constexpr int32_t kChunk = 256;
constexpr int32_t kOutside = -1;
constexpr int32_t kNearBoundary = -2;

// Where the affine positions of a row start, plus one half (a cell index is the truncation of
// its position plus one half).
struct RowStart {
    double ax;
    double ay;
};

// For j0 + k, k < count: the target (row[k], col[k]), or col[k] = kOutside, or kNearBoundary
// where the affine position is too close to a cell boundary to decide. Returns whether any is
// (hardly ever: a scan of the chunk for them cost a sixth of the sweep).
// Defined here, in every file that calls it: the clones of a function defined elsewhere are
// not found by the linker.
TERRAPIVOTER_CLONES
inline bool locate_affine(RowStart start, double c, double s, int32_t j0, int32_t count,
                          int32_t nb_lig, int32_t nb_col, double bound, int32_t* row,
                          int32_t* col) {
    const double cols = nb_col;
    const double lines = nb_lig;
    for (int32_t k = 0; k < count; ++k) {
        const double jd = static_cast<double>(j0 + k);
        const double wx = start.ax + jd * c;
        const double wy = start.ay + jd * s;
        const double off_x = wx - ((wx + kRounder) - kRounder);
        const double off_y = wy - ((wy + kRounder) - kRounder);
        const bool near = (std::fabs(off_x) <= bound) | (std::fabs(off_y) <= bound);
        const bool inside = (wx > -1.0) & (wx < cols) & (wy > -1.0) & (wy < lines);
        // Decided in doubles and converted once, which keeps the loop vectorisable.
        const double column = near ? kNearBoundary : (inside ? wx : kOutside);
        const double line = inside ? wy : 0.0;
        col[k] = static_cast<int32_t>(column);
        row[k] = nb_lig - 1 - static_cast<int32_t>(line);
    }
    int32_t near = 0;
    for (int32_t k = 0; k < count; ++k)
        near |= col[k] == kNearBoundary ? 1 : 0;
    return near != 0;
}

// One rotation's constants.
struct Sweep {
    DoubleGrid in;
    DoubleGrid out;
    OutputFrame frame;
    RotationParameters p;
    FastSweep f;
    double c;
    double s;
    Progress* progress;
    // The band's input cells, when the output is a band: only they are read (a cell outside
    // its row's segment cannot land in the band).
    const InputWindow* window = nullptr;
    // Where the input's working values come from when `in` has no rows: read as the sweep
    // reaches them.
    GridSource* source = nullptr;

    // A row's worth of room for row_values, when the input comes from a source.
    std::unique_ptr<double[]> row_buffer() const {
        return source != nullptr
                   ? std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(in.nb_col))
                   : nullptr;
    }

    // Row i's values, indexed by column, at least those of columns [first, end): the grid's
    // row, or `buffer` (from row_buffer) with those columns read from the source.
    const double* row_values(int32_t i, int32_t first, int32_t end, double* buffer) const {
        if (source == nullptr) return in[i];
        source->read(i, first, end, buffer + first);
        return buffer;
    }

    // The columns of row i that may be read.
    IndexRange columns_of(int32_t i) const {
        if (window == nullptr) return {0, in.nb_col};
        return window->columns[static_cast<std::size_t>(i - window->rows.first)];
    }

    // Rows of the whole output (of which `out` holds a band, from frame.first_row).
    int32_t total_rows() const { return frame.total_rows > 0 ? frame.total_rows : out.nb_lig; }
    // The band's row of an output row, or -1 when the band does not hold it.
    int32_t band_row(int32_t row) const {
        const int32_t r = row - frame.first_row;
        return static_cast<uint32_t>(r) < static_cast<uint32_t>(out.nb_lig) ? r : -1;
    }

    // The frame's offsets are whole numbers added in extended precision: exact.
    RowStart row_start(int32_t i) const {
        const ld dy = static_cast<ld>(in.nb_lig - 1 - i) - p.Y1;
        return {static_cast<double>(static_cast<ld>(p.X1) + 0.5L + frame.left - p.X1 * f.cos_theta -
                                    dy * f.sin_theta),
                static_cast<double>(static_cast<ld>(p.Y1) + 0.5L + frame.bottom -
                                    p.X1 * f.sin_theta + dy * f.cos_theta)};
    }

    // Targets of cells (i, j0 + k), k < count: col[k] = kOutside for cells that land outside.
    // Returns how many needed the polar formulas.
    int32_t locate(RowStart start, int32_t i, int32_t j0, int32_t count, int32_t* row,
                   int32_t* col) const {
        if (!locate_affine(start, c, s, j0, count, total_rows(), out.nb_col, f.bound, row, col))
            return 0;
        int32_t exact = 0;
        for (int32_t k = 0; k < count; ++k) {
            if (col[k] != kNearBoundary) [[likely]] {
                continue;
            }
            ++exact;
            const auto cell = target_cell(rotated_position(i, j0 + k, in.nb_lig, p), total_rows(),
                                          out.nb_col, frame);
            row[k] = cell ? cell->row : 0;
            col[k] = cell ? cell->col : kOutside;
        }
        return exact;
    }

    // The columns of row i from its first cell that lands in the output to its last (the
    // cells in between land too, their positions moving steadily along the row): the range
    // the affine positions give, widened by two cells, then narrowed from either end by
    // placing cells until one lands; `start` is row_start(i).
    IndexRange landing_columns(int32_t i, RowStart start) const;

    // Calls visit(row, col, j) for the cells of row i, j in [j0, j1), that land in the grid,
    // in column order; `start` is row_start(i).
    template <class Visit>
    int64_t sweep_segment(RowStart start, int32_t i, int32_t j0, int32_t j1, Visit&& visit) const {
        int32_t rows[kChunk];
        int32_t cols[kChunk];
        int64_t exact = 0;
        for (int32_t chunk = j0; chunk < j1; chunk += kChunk) {
            const int32_t count = std::min(kChunk, j1 - chunk);
            exact += locate(start, i, chunk, count, rows, cols);
            for (int32_t k = 0; k < count; ++k) {
                if (cols[k] >= 0) visit(rows[k], cols[k], chunk + k);
            }
        }
        return exact;
    }

    // Rows [begin, end), tile by tile (sweep_tiles.cpp).
    void sweep_rows(int32_t begin, int32_t end) const;

    // The rows [boundary - kReach, boundary) held back while the bands were swept, written
    // now in row-major order, yielding to the rows after them.
    void sweep_held_back_rows(int32_t boundary) const;
};

// A quarter turn sends every input row to one output column: a transposition, which the
// row-by-row sweep performs with one page-crossing write per cell. When every row is clear of
// cell boundaries (as about a whole reference point), this does the same writes in tiles.
// Returns false, having written nothing, when the turn is not a quarter turn or a row lies
// near a boundary.
bool sweep_quarter_turn(const Sweep& sweep, IndexRange range, unsigned threads);

}  // namespace detail

}  // namespace terrapivoter
