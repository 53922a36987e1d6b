// Rows of the output swept a band at a time: the input cells that can land in a band (its
// input window) turned into a buffer of the band's rows with a row of context on either side,
// their holes filled or left for the writer; or, resampled, each of the band's cells computed
// from the input cells around its position (the window widened by the method's reach), with no
// holes and no context. The buffer is made once, for the highest band.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"
#include "platform/platform.h"
#include "rotation/bands.h"
#include "rotation/extent.h"
#include "rotation/hole_filling.h"
#include "rotation/placement.h"
#include "rotation/resample.h"

namespace terrapivoter {

// What a band's holes get before the band is handed on.
enum class Holes {
    fill,                     // filled
    fill_finding_background,  // filled, the band's background value found in the same pass
    left,                     // left for the writer to fill row by row
};

// The input cells (of an nb_lig x nb_col input) that output rows [first, end) of an output of
// `geo`'s size need, with their rows of context (forward placement) or the kernel's reach
// (resampled): what BandSweeper::band reads.
InputWindow band_window(int32_t nb_lig, int32_t nb_col, const Enlargement& geo,
                        const RotationParameters& p, Resampling method, int32_t first, int32_t end);

class BandSweeper {
  public:
    // With `into`, a grid of the whole output's size, a sweeper whose one band is the whole
    // output sweeps into it rather than into a grid of its own.
    BandSweeper(GridSource& in, const Enlargement& geo, const RotationParameters& p,
                Resampling method, std::optional<double> nodata, int32_t height, const Work& work,
                DoubleGrid into = {});

    // Output rows [first, end), swept with a row of context on either side, their holes dealt
    // with as `holes` says (the background value into `smallest`); or resampled, whatever
    // `holes` says (with no context, and the background value only into `smallest`). The view's
    // row 0 is output row `first`.
    DoubleGrid band(int32_t first, int32_t end, Holes holes = Holes::fill,
                    double* smallest = nullptr);

    // The last band with the rows of context around it (where the output has them), and the
    // row at which the band starts in it: what its holes need.
    DoubleGrid with_context() {
        return {view_rows_.data(), static_cast<int32_t>(view_rows_.size()), cells_view_.nb_col};
    }
    int32_t offset() const { return offset_; }

    // Where the last band's empty cells lie, a row each, when its background value was found
    // (Holes::fill_finding_background); nothing otherwise.
    std::span<const EmptyCells> empty_cells() const {
        if (empty_cells_.empty()) return {};
        return std::span<const EmptyCells>(empty_cells_)
            .subspan(static_cast<std::size_t>(offset_), static_cast<std::size_t>(band_rows_));
    }

  private:
    // Room in storage_ for `cells` input cells (their contents are not kept).
    void reserve_storage(int64_t cells);
    // The output's frame for a band whose first swept row (context included) is `top`.
    OutputFrame frame_of(int32_t top) const;
    // The rows a band [first, end) is swept with: its own and its rows of context.
    IndexRange swept_rows(int32_t first, int32_t end) const;
    // The input cells that band [first, end), with its rows of context, needs.
    InputWindow window(int32_t first, int32_t end) const;
    // The cells of window_, read into storage_: each row's pointer is such that its column j is
    // at [j] for the columns read (the buffer starts with a row's worth of room so that no
    // pointer lies before it).
    DoubleGrid read_window();

    GridSource& in_;
    Enlargement geo_;
    RotationParameters p_;
    Resampling method_;
    std::optional<double> nodata_;
    Work work_;
    bool from_source_;      // the sweep reads the input itself (sweeps_from_source)
    Matrix<double> cells_;  // the band's rows, unless they are the caller's
    DoubleGrid cells_view_;
    std::vector<double*> view_rows_;
    int32_t offset_ = 0;
    int32_t band_rows_ = 0;
    std::vector<EmptyCells> empty_cells_;  // of view_rows_, when found
    InputWindow window_;
    std::unique_ptr<platform::LargeBlock> storage_;
    std::size_t storage_size_ = 0;
    std::vector<double*> input_rows_;
};

}  // namespace terrapivoter
