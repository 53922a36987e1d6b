#include "rotation/sweep_fast.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "base/cpu_dispatch.h"
#include "base/parallel.h"
#include "base/progress.h"
#include "rotation/hole_filling.h"
#include "rotation/sweep_reference.h"

namespace {

using ld = long double;

struct FastSweep {
    bool usable = false;  // false when the bound is too coarse to pay (a far reference point)
    long double cos_theta = 1.0L;
    long double sin_theta = 0.0L;
    double bound = 0.0;
};

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
TERRAPIVOTER_CLONES
bool locate_affine(RowStart start, double c, double s, int32_t j0, int32_t count, int32_t nb_lig,
                   int32_t nb_col, double bound, int32_t* row, int32_t* col) {
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
    Segment columns_of(int32_t i) const {
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
    Segment landing_columns(int32_t i, RowStart start) const {
        Segment range{0, in.nb_col};
        const auto columns = static_cast<double>(in.nb_col);
        auto keep_within = [&range, columns](double from, double step, double limit) {
            // Positions from + j step within (-1, limit), to a cell or two.
            if (std::fabs(step) < 1e-12) {
                if (from < -3.0 || from > limit + 2.0) range = {0, 0};
                return;
            }
            double low = (-1.0 - from) / step;
            double high = (limit - from) / step;
            if (low > high) std::swap(low, high);
            range.first = std::max(
                range.first, static_cast<int32_t>(std::clamp(std::floor(low) - 2.0, 0.0, columns)));
            range.end = std::min(
                range.end, static_cast<int32_t>(std::clamp(std::ceil(high) + 3.0, 0.0, columns)));
        };
        keep_within(start.ax, c, static_cast<double>(out.nb_col));
        keep_within(start.ay, s, static_cast<double>(total_rows()));
        constexpr int32_t kStep = 8;
        int32_t rows[kStep];
        int32_t cols[kStep];
        auto lands = [&](int32_t j0, int32_t count, bool last) {
            locate(start, i, j0, count, rows, cols);
            for (int32_t k = 0; k < count; ++k) {
                const int32_t at = last ? count - 1 - k : k;
                if (cols[at] >= 0) return j0 + at;
            }
            return -1;
        };
        int32_t first = -1;
        for (int32_t j = range.first; first < 0 && j < range.end; j += kStep)
            first = lands(j, std::min(kStep, range.end - j), false);
        if (first < 0) return {0, 0};
        int32_t last = -1;
        for (int32_t j = range.end; last < 0 && j > first; j -= kStep) {
            const int32_t from = std::max(first, j - kStep);
            last = lands(from, j - from, true);
        }
        return {first, last + 1};
    }

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

    // Rows [begin, end), tile by tile. Within a band of rows, one block of columns is done for
    // every row before the next block, so a cell in the first two columns of a block comes
    // after the cells of the previous block's last two columns in the two rows below it,
    // although these are later in row-major order: where one of them reaches the same output
    // cell, it keeps it.
    void sweep_rows(int32_t begin, int32_t end) const {
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
                            if (strip_col[below][q] == col && strip_row[below][q] == row)
                                return true;
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
                    sweep_segment(starts[r], i, j, last,
                                  [out_rows, values, first_row, band_rows](int32_t row, int32_t col,
                                                                           int32_t jj) {
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
    void sweep_held_back_rows(int32_t boundary) const {
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
            sweep_segment(
                row_start(i), i, readable.first, readable.end,
                [&](int32_t row, int32_t col, int32_t j) {
                    if (band_row(row) >= 0 &&
                        !std::binary_search(taken.begin(), taken.end(), row * width + col)) {
                        out[band_row(row)][col] = values[j];
                    }
                });
        }
        advance(progress, kReach);
    }
};

// A quarter turn sends every input row to one output column: a transposition, which the
// row-by-row sweep performs with one page-crossing write per cell. When every row is clear of
// cell boundaries (as about a whole reference point), this does the same writes in tiles.
// Returns false, having written nothing, when the turn is not a quarter turn or a row lies
// near a boundary.
bool sweep_quarter_turn(const Sweep& sweep, RowRange range, unsigned threads) {
    const DoubleGrid in = sweep.in;
    const DoubleGrid out = sweep.out;
    // s is +1 or -1 exactly and c so small that a row's columns never move by a bound.
    const double drift = std::fabs(sweep.c) * (in.nb_col + 1);
    if (std::fabs(sweep.s) != 1.0 || drift > sweep.f.bound) return false;
    const double margin = 2 * sweep.f.bound + drift;
    auto clear_of_boundaries = [margin](double w) {
        return std::fabs(w - ((w + kRounder) - kRounder)) > margin;
    };
    // Per row: its output column (or -1 when the row lands outside), and the line of its cell
    // j, floor(ay) + step * j, whole numbers all: ay is clear of boundaries and moves by
    // exactly one per cell.
    std::vector<int32_t> column(static_cast<std::size_t>(in.nb_lig));
    std::vector<int64_t> line_start(static_cast<std::size_t>(in.nb_lig));
    for (int32_t i = 0; i < in.nb_lig; ++i) {
        const RowStart start = sweep.row_start(i);
        if (!clear_of_boundaries(start.ax) || !clear_of_boundaries(start.ay)) return false;
        const bool inside =
            i >= range.first && i < range.end && start.ax > -1.0 && start.ax < out.nb_col;
        column[static_cast<std::size_t>(i)] = inside ? static_cast<int32_t>(start.ax) : -1;
        line_start[static_cast<std::size_t>(i)] = static_cast<int64_t>(std::floor(start.ay));
    }
    // Rows go to distinct columns but for the two around column 0 (the band of index 0 is two
    // cells wide); a thread's rows must keep such a pair, and then the threads write disjoint
    // columns.
    std::vector<int32_t> first_row(threads + 1);
    for (unsigned t = 0; t <= threads; ++t) {
        auto b = static_cast<int32_t>(piece_start(in.nb_lig, threads, t));
        while (b > 0 && b < in.nb_lig && column[static_cast<std::size_t>(b)] >= 0 &&
               column[static_cast<std::size_t>(b)] == column[static_cast<std::size_t>(b - 1)]) {
            ++b;
        }
        first_row[t] = std::max(b, t > 0 ? first_row[t - 1] : 0);
    }
    // kGroup rows bound for neighbouring columns and the same lines are written together, a
    // piece of an output row at a time: one cache line takes kGroup stores in a row instead of
    // kGroup stores each on another page.
    constexpr int32_t kGroup = 8;
    auto forms_group = [&](int32_t i, int32_t end) {
        if (i + kGroup > end) return false;
        const auto at = static_cast<std::size_t>(i);
        const int32_t direction = column[at + 1] - column[at];
        if (column[at] < 0 || column[at + kGroup - 1] < 0 || (direction != 1 && direction != -1))
            return false;
        for (std::size_t r = 1; r < kGroup; ++r) {
            if (column[at + r] != column[at] + static_cast<int32_t>(r) * direction ||
                line_start[at + r] != line_start[at])
                return false;
        }
        return true;
    };
    const int64_t step = sweep.s > 0 ? 1 : -1;
    const int32_t last_line = sweep.total_rows() - 1;
    const auto lines = static_cast<uint64_t>(sweep.total_rows());
    constexpr int32_t kSide = 256;
    // A band's rows that land inside, in order: groups of kGroup, or single rows, each with its
    // rows in the order of their columns from the leftmost.
    struct Group {
        int32_t size;
        int32_t left;
        int64_t first_line;
        int32_t rows[kGroup];
    };
    run_tasks(threads, threads, [&](unsigned t) {
        std::vector<Group> groups;
        // From a source, a group's rows are read for each block, its row r at r * kSide.
        const auto converted = sweep.source != nullptr
                                   ? std::make_unique_for_overwrite<double[]>(kGroup * kSide)
                                   : nullptr;
        for (int32_t band = first_row[t]; band < first_row[t + 1]; band += kSide) {
            const int32_t band_end = std::min(band + kSide, first_row[t + 1]);
            groups.clear();
            for (int32_t i = band; i < band_end;) {
                const auto at = static_cast<std::size_t>(i);
                const int32_t size = forms_group(i, band_end) ? kGroup : 1;
                if (column[at] >= 0) {
                    Group& g = groups.emplace_back();
                    g.size = size;
                    g.left = std::min(column[at], column[at + static_cast<std::size_t>(size - 1)]);
                    g.first_line = line_start[at];
                    const bool leftward = g.left != column[at];
                    for (int32_t r = 0; r < size; ++r)
                        g.rows[r] = i + (leftward ? size - 1 - r : r);
                }
                i += size;
            }
            for (int32_t block = 0; block < in.nb_col; block += kSide) {
                const int32_t block_end = std::min(block + kSide, in.nb_col);
                for (const Group& group : groups) {
                    // Locals, which the stores below are not taken to change.
                    const Group g = group;
                    // The block's columns that the group's rows may read (those of a band's
                    // input window), and the rows' values from column `block` on.
                    int32_t first = block_end;
                    int32_t last = block;
                    for (int32_t r = 0; r < g.size; ++r) {
                        const Segment readable = sweep.columns_of(g.rows[r]);
                        first = std::min(first, std::max(block, readable.first));
                        last = std::max(last, std::min(block_end, readable.end));
                    }
                    if (first >= last) continue;
                    const double* sources[kGroup];
                    for (int32_t r = 0; r < g.size; ++r) {
                        if (!converted) {
                            sources[r] = in[g.rows[r]] + block;
                            continue;
                        }
                        double* values = converted.get() + static_cast<std::ptrdiff_t>(r) * kSide;
                        sweep.source->read(g.rows[r], first, last, values + (first - block));
                        sources[r] = values;
                    }
                    for (int32_t j = first; j < last; ++j) {
                        int64_t line = g.first_line + step * j;
                        // Positions from -1.5 to -0.5 also go to line 0.
                        if (line == -1) line = 0;
                        if (static_cast<uint64_t>(line) >= lines) continue;
                        const int32_t row = sweep.band_row(last_line - static_cast<int32_t>(line));
                        if (row < 0) continue;
                        double* target = out[row] + g.left;
                        for (int32_t r = 0; r < g.size; ++r)
                            target[r] = sources[r][j - block];
                    }
                }
            }
            advance(sweep.progress, band_end - band);
        }
    });
    return true;
}

FastSweep plan_fast_sweep(int32_t nb_lig, int32_t nb_col, const RotationParameters& p,
                          OutputFrame frame) {
    FastSweep f;
    const ld theta = static_cast<ld>(p.despl_ang) / static_cast<ld>(api);
    f.cos_theta = std::cos(theta);
    f.sin_theta = std::sin(theta);
    // Every error of either evaluation is a small multiple of 2^-52 times a magnitude no larger
    // than this sum (positions move by the frame's offsets); 2^-40 leaves a wide margin
    // (docs/performance.md).
    const ld magnitude = std::fabs(static_cast<ld>(p.X1)) + std::fabs(static_cast<ld>(p.Y1)) +
                         nb_col + nb_lig + 2 + std::abs(static_cast<ld>(frame.left)) +
                         std::abs(static_cast<ld>(frame.bottom));
    const ld bound = magnitude * 0x1p-40L;
    f.bound = static_cast<double>(bound);
    f.usable = std::isfinite(p.X1) && std::isfinite(p.Y1) && bound < kLargestUsefulBound;
    return f;
}

}  // namespace

void rotate_fast(DoubleGrid in, DoubleGrid out, const RotationParameters& p, const Work& work,
                 OutputFrame frame) {
    rotate_fast(in, RowRange{0, in.nb_lig}, out, p, work, frame);
}

namespace {

// The polar formulas cell by cell in row-major order, as rotate_reference places them, for
// rotations whose error bound is too coarse for the fast path; only the window's cells are
// read.
void place_one_by_one(const Sweep& sweep, RowRange range) {
    const std::unique_ptr<double[]> buffer = sweep.row_buffer();
    for (int32_t i = range.first; i < range.end; ++i) {
        const Segment readable = sweep.columns_of(i);
        if (readable.first >= readable.end) continue;
        const double* values = sweep.row_values(i, readable.first, readable.end, buffer.get());
        for (int32_t j = readable.first; j < readable.end; ++j) {
            const auto cell = target_cell(rotated_position(i, j, sweep.in.nb_lig, sweep.p),
                                          sweep.total_rows(), sweep.out.nb_col, sweep.frame);
            if (!cell) continue;
            const int32_t row = sweep.band_row(cell->row);
            if (row >= 0) sweep.out[row][cell->col] = values[j];
        }
        advance(sweep.progress, 1);
    }
}

// `in` gives the input's size, and its rows unless they come from `source`.
void rotate_rows(DoubleGrid in, GridSource* source, RowRange range, const InputWindow* window,
                 DoubleGrid out, const RotationParameters& p, const Work& work, OutputFrame frame) {
    const unsigned threads = std::max(1u, work.threads);
    const int32_t rows = range.end - range.first;
    if (rows <= 0) return;
    if (p.despl_ang == 0) {
        for_row_bands(threads, range.first, rows, [&](unsigned, int32_t begin, int32_t end) {
            if (source == nullptr) {
                copy_unturned(in, out, frame, begin, end);
            } else {
                copy_unturned(in.nb_lig, in.nb_col, out, frame, begin, end,
                              [source](int32_t i, int32_t first, int32_t last, double* cells) {
                                  source->read(i, first, last, cells);
                              });
            }
        });
        return;
    }
    const FastSweep f = plan_fast_sweep(in.nb_lig, in.nb_col, p, frame);
    Progress progress(work, "rotating", rows, int64_t{rows} * in.nb_col);
    const Sweep sweep{in,
                      out,
                      frame,
                      p,
                      f,
                      static_cast<double>(f.cos_theta),
                      static_cast<double>(f.sin_theta),
                      &progress,
                      window,
                      source};
    if (!f.usable) {
        place_one_by_one(sweep, range);
        return;
    }
    if (sweep_quarter_turn(sweep, range, threads)) return;
    // Each band of rows is swept by one thread, all but its last kReach rows first: bands then
    // lie at least kReach + 1 rows apart and cannot meet. The rows held back are written
    // afterwards, yielding to the next band's first rows.
    const auto bands =
        static_cast<unsigned>(std::clamp<int64_t>(rows / (2 * kReach), 1, std::max(1u, threads)));
    auto band_start = [&](unsigned t) {
        return range.first + static_cast<int32_t>(piece_start(rows, bands, t));
    };
    run_tasks(threads, bands, [&](unsigned t) {
        sweep.sweep_rows(band_start(t), band_start(t + 1) - (t + 1 < bands ? kReach : 0));
    });
    run_tasks(threads, bands - 1,
              [&](unsigned t) { sweep.sweep_held_back_rows(band_start(t + 1)); });
}

}  // namespace

void rotate_fast(DoubleGrid in, RowRange range, DoubleGrid out, const RotationParameters& p,
                 const Work& work, OutputFrame frame) {
    rotate_rows(in, nullptr, range, nullptr, out, p, work, frame);
}

void rotate_window_fast(DoubleGrid in, const InputWindow& window, DoubleGrid out,
                        const RotationParameters& p, const Work& work, OutputFrame frame) {
    rotate_rows(in, nullptr, window.rows, &window, out, p, work, frame);
}

void rotate_source_fast(GridSource& source, const InputWindow* window, DoubleGrid out,
                        const RotationParameters& p, const Work& work, OutputFrame frame) {
    const DoubleGrid size{nullptr, source.nb_lig(), source.nb_col()};
    rotate_rows(size, &source, window != nullptr ? window->rows : RowRange{0, source.nb_lig()},
                window, out, p, work, frame);
}

std::optional<double> smallest_landing_value(GridSource& source, int32_t total_rows, int32_t nb_col,
                                             const RotationParameters& p, OutputFrame frame,
                                             const Work& work) {
    const int32_t in_rows = source.nb_lig();
    const int32_t in_cols = source.nb_col();
    if (p.despl_ang == 0 || in_rows <= 0 || in_cols <= 0) return std::nullopt;
    frame.first_row = 0;
    frame.total_rows = total_rows;
    const FastSweep f = plan_fast_sweep(in_rows, in_cols, p, frame);
    if (!f.usable) return std::nullopt;
    const Sweep sweep{{nullptr, in_rows, in_cols},
                      {nullptr, total_rows, nb_col},
                      frame,
                      p,
                      f,
                      static_cast<double>(f.cos_theta),
                      static_cast<double>(f.sin_theta),
                      nullptr,
                      nullptr,
                      &source};
    return smallest_over_row_bands(
        work.threads, 0, in_rows, kNoBackground, [&](int32_t i, double least) {
            const Segment landing = sweep.landing_columns(i, sweep.row_start(i));
            return source.smallest(i, landing.first, landing.end, least);
        });
}

int64_t detail::count_exact_fallbacks(int32_t nb_lig, int32_t nb_col, const RotationParameters& p) {
    const FastSweep f = plan_fast_sweep(nb_lig, nb_col, p, {});
    if (!f.usable) return static_cast<int64_t>(nb_lig) * nb_col;
    const Sweep sweep{
        {nullptr, nb_lig, nb_col},        {nullptr, nb_lig, nb_col},        {},     p, f,
        static_cast<double>(f.cos_theta), static_cast<double>(f.sin_theta), nullptr};
    int64_t exact = 0;
    for (int32_t i = 0; i < nb_lig; ++i) {
        exact +=
            sweep.sweep_segment(sweep.row_start(i), i, 0, nb_col, [](int32_t, int32_t, int32_t) {});
    }
    return exact;
}
