#include "job/band_sweeper.h"

#include <algorithm>

#include "base/failure.h"
#include "base/parallel.h"
#include "io/memory_budget.h"
#include "job/engine.h"
#include "rotation/empty_cells.h"
#include "rotation/hole_filling.h"

namespace terrapivoter {

namespace {

// The rows a band [first, end) is swept with: its own and, placed forward, a row of context on
// either side.
IndexRange rows_swept(int32_t first, int32_t end, Resampling method, int64_t total) {
    if (method != Resampling::forward) return {first, end};
    return {std::max(0, first - 1), static_cast<int32_t>(std::min<int64_t>(total, end + 1))};
}

OutputFrame band_frame(const Enlargement& geo, int32_t top) {
    OutputFrame frame = geo.frame;
    frame.first_row = top;
    frame.total_rows = static_cast<int32_t>(geo.nb_lig);
    return frame;
}

}  // namespace

InputWindow band_window(int32_t nb_lig, int32_t nb_col, const Enlargement& geo,
                        const RotationParameters& p, Resampling method, int32_t first,
                        int32_t end) {
    const auto [top, bottom] = rows_swept(first, end, method, geo.nb_lig);
    const int32_t reach = method == Resampling::forward ? 0 : resampling_reach(method);
    return input_window(nb_lig, nb_col, p, band_frame(geo, top), top, bottom, reach);
}

BandSweeper::BandSweeper(GridSource& in, const Enlargement& geo, const RotationParameters& p,
                         Resampling method, std::optional<double> nodata, int32_t height,
                         const Work& work, DoubleGrid into)
    : in_(in),
      geo_(geo),
      p_(p),
      method_(method),
      nodata_(nodata),
      work_(work),
      // Resampling reads each cell where it lies, from a grid.
      from_source_(method == Resampling::forward && sweeps_from_source(in, work)) {
    const auto rows = static_cast<int32_t>(std::min<int64_t>(height + 2, geo.nb_lig));
    if (into.rows != nullptr && into.nb_lig == geo.nb_lig && rows == geo.nb_lig) {
        cells_view_ = into;
    } else {
        cells_ = fresh_grid<double>(rows, static_cast<int32_t>(geo.nb_col), work.threads,
                                    !work.in_library);
        cells_view_ = cells_.view();
    }
    if (in.whole() == nullptr && !from_source_) {
        input_rows_.assign(static_cast<std::size_t>(in.nb_lig()), nullptr);
        // The input cells' buffer, made for the widest band at once: grown band by band, it
        // was copied and faulted in again at every growth.
        int64_t widest = 0;
        for (int32_t first = 0; first < geo.nb_lig; first += height) {
            const auto end = static_cast<int32_t>(std::min<int64_t>(geo.nb_lig, first + height));
            widest = std::max(widest, window(first, end).cells());
        }
        reserve_storage(widest);
    }
    // One band or many: the sweep draws its own progress only when it is the whole output.
    if (height < geo.nb_lig) work_.show_progress = false;
}

DoubleGrid BandSweeper::band(int32_t first, int32_t end, Holes holes, double* smallest) {
    const auto total = static_cast<int32_t>(geo_.nb_lig);
    const auto [top, bottom] = swept_rows(first, end);
    const DoubleGrid buffer{cells_view_.rows, bottom - top, cells_view_.nb_col};
    const OutputFrame frame = frame_of(top);
    const DoubleGrid* whole = in_.whole();
    empty_cells_.clear();
    band_rows_ = end - first;
    std::vector<EmptyCells>* empty =
        holes == Holes::fill_finding_background ? &empty_cells_ : nullptr;
    if (method_ != Resampling::forward) {
        DoubleGrid input = whole != nullptr ? *whole : DoubleGrid{nullptr, 0, 0};
        if (whole == nullptr) {
            window_ = window(first, end);
            input = read_window();
        }
        resample(input, buffer, p_, frame, method_, nodata_, work_);
        if (empty != nullptr) *smallest = background_value(buffer, work_, empty);
        view_rows_.assign(buffer.rows, buffer.rows + (bottom - top));
        offset_ = 0;
        return {view_rows_.data(), end - first, buffer.nb_col};
    }
    mark_empty(buffer, work_);
    if (whole != nullptr && bottom - top == total) {
        rotate(*whole, IndexRange{0, whole->nb_lig}, buffer, p_, work_, frame);
    } else if (from_source_) {
        if (bottom - top < total) window_ = window(first, end);
        rotate_source(in_, bottom - top < total ? &window_ : nullptr, buffer, p_, work_, frame);
    } else {
        window_ = window(first, end);
        rotate_window(whole != nullptr ? *whole : read_window(), window_, buffer, p_, work_, frame);
    }
    if (empty != nullptr) {
        *smallest = fill_holes_finding_background(buffer, nodata_, work_, empty);
    } else if (holes == Holes::fill) {
        fill_holes(buffer, nodata_, work_);
    }
    view_rows_.assign(buffer.rows, buffer.rows + (bottom - top));
    offset_ = first - top;
    return {view_rows_.data() + offset_, end - first, buffer.nb_col};
}

void BandSweeper::reserve_storage(int64_t cells) {
    const auto needed = static_cast<std::size_t>(in_.nb_col()) + static_cast<std::size_t>(cells);
    if (needed <= storage_size_) return;
    // A mapping of its own, not the heap's: freed, a large heap block would raise the heap's
    // threshold for mapping blocks, and a process the sweeper runs in (a Python worker) would
    // then keep the memory of its own later buffers.
    storage_ = std::make_unique<platform::LargeBlock>(needed * sizeof(double));
    if (storage_->data() == nullptr)
        throw Failure(out_of_memory_text(1, static_cast<int64_t>(needed)));
    storage_size_ = needed;
}

IndexRange BandSweeper::swept_rows(int32_t first, int32_t end) const {
    return rows_swept(first, end, method_, geo_.nb_lig);
}

OutputFrame BandSweeper::frame_of(int32_t top) const {
    return band_frame(geo_, top);
}

InputWindow BandSweeper::window(int32_t first, int32_t end) const {
    return band_window(in_.nb_lig(), in_.nb_col(), geo_, p_, method_, first, end);
}

DoubleGrid BandSweeper::read_window() {
    const int32_t cols = in_.nb_col();
    reserve_storage(window_.cells());
    std::fill(input_rows_.begin(), input_rows_.end(), nullptr);
    std::size_t offset = static_cast<std::size_t>(cols);
    for (int32_t i = window_.rows.first; i < window_.rows.end; ++i) {
        const IndexRange seg = window_.columns[static_cast<std::size_t>(i - window_.rows.first)];
        input_rows_[static_cast<std::size_t>(i)] =
            static_cast<double*>(storage_->data()) + offset - seg.first;
        offset += static_cast<std::size_t>(seg.end - seg.first);
    }
    for_row_bands(work_.threads, window_.rows.first, window_.rows.end - window_.rows.first,
                  [&](unsigned, int32_t begin, int32_t end) {
                      for (int32_t i = begin; i < end; ++i) {
                          const IndexRange seg =
                              window_.columns[static_cast<std::size_t>(i - window_.rows.first)];
                          if (seg.end > seg.first) {
                              in_.read(i, seg.first, seg.end,
                                       input_rows_[static_cast<std::size_t>(i)] + seg.first);
                          }
                      }
                  });
    return {input_rows_.data(), in_.nb_lig(), cols};
}

}  // namespace terrapivoter
