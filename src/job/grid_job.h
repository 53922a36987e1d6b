// The job on a grid the caller holds in memory (the Python package's arrays), row 0 its top
// row: run whole, as run_job runs a file's band, or a band of output rows at a time, for a
// caller that spreads the bands over workers (dask) and gathers the background itself. Both give
// the cells run_job writes for the same grid and options.
//
// The options that apply are the turn's (angle, pivot as the centre or a line and column,
// extent, resampling, background, nodata) and the work's (threads, memory).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/georeference.h"
#include "base/grid.h"
#include "io/cell_block.h"
#include "job/job.h"
#include "rotation/bands.h"
#include "rotation/extent.h"

namespace terrapivoter {

// Turned cells, row 0 the top row, and where they lie: the input's top-left cell is at row
// `input_row`, column `input_col` of them (negative when the output starts inside the input).
struct TurnedGrid {
    CellBlock cells;
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
    int64_t input_row = 0;
    int64_t input_col = 0;
};

// The whole job on `input`. UsageError for options that do not apply or do not fit.
TurnedGrid turn_grid(DoubleGrid input, const JobOptions& options);

// Where the output of the whole job on an nb_lig x nb_col grid lies, and its size (no cells).
TurnedGrid turned_frame(int32_t nb_lig, int32_t nb_col, const JobOptions& options);

// The job on an nb_lig x nb_col input split into bands of output rows.
class GridTurnPlan {
  public:
    GridTurnPlan(int32_t nb_lig, int32_t nb_col, const JobOptions& options);

    // The rows and columns the bands are made in: the output's, or, for the full extent, those
    // of the enlarged grid, of which the output keeps the part with a cell in it (`kept`).
    int64_t swept_rows() const { return geo_.nb_lig; }
    int64_t swept_cols() const { return geo_.nb_col; }

    // The input cells that band [first, end) reads: its rows, the columns of each.
    InputWindow window(int32_t first, int32_t end) const;

    // Boxes of the input's cells, each with its box, that hold a band's window between them.
    struct Piece {
        CellBox box;
        DoubleGrid cells;  // row 0 the box's first row
    };

    // Band [first, end) of the swept grid from `pieces`, its holes filled and its uncovered
    // cells left empty; `smallest` lowered to its smallest value and `kept` widened to its
    // filled cells. Failure when the pieces lack a cell of the band's window.
    TurnedGrid sweep(const std::vector<Piece>& pieces, int32_t first, int32_t end, double& smallest,
                     CellBox& kept) const;

    // What the uncovered cells receive, from the smallest value of every band (kNoBackground
    // when none has one).
    double background(double smallest) const;

    // A swept band's uncovered cells given the background.
    void finish(DoubleGrid band, double background) const;

    // The part of the swept grid the output keeps before any band is swept: all of it, or for
    // the full extent the input's own cells, which `sweep` widens.
    CellBox first_kept() const;

    // Where the input's top-left cell lies in the output that keeps `kept`.
    std::pair<int64_t, int64_t> input_corner(const CellBox& kept) const;

    // The geotransform of an output of `out_rows` rows whose cell (input_row, input_col) is the
    // input's top-left cell, for an input at `gt` (north-up, square cells) as a GDAL output's:
    // in the input's frame, or `rotated`.
    GeoTransform output_geotransform(const GeoTransform& gt, int64_t input_row, int64_t input_col,
                                     int32_t out_rows, bool rotated) const;

  private:
    int32_t nb_lig_;
    int32_t nb_col_;
    JobOptions options_;
    Treatment treatment_;
    Enlargement geo_;
    std::optional<double> nodata_;
    Work work_;
};

}  // namespace terrapivoter
