#include "job/engine.h"

#include "base/parallel.h"
#include "platform/platform.h"
#include "rotation/sweep_fast.h"
#include "rotation/sweep_reference.h"

namespace terrapivoter {

Work program_work(std::optional<unsigned> threads, bool quiet) {
#if defined(TERRAPIVOTER_REFERENCE)
    (void)threads;
    (void)quiet;
    return {.threads = 1, .reference = true, .show_progress = false};
#else
    return {.threads = threads.value_or(default_threads()),
            .reference = false,
            .show_progress = !quiet && platform::stderr_is_terminal()};
#endif
}

RasterSummary load_raster_summary(const FileName& base, const Work& work) {
    return read_raster_summary(base, work.reference ? Work{} : work);
}

RasterSource load_raster_pair_held(const FileName& base, double coef, const Work& work,
                                   Matrix<double>& grid) {
    if (!work.reference) return read_raster_pair_stored(base, coef, work);
    RasterInput input = read_raster_pair_reference(base, coef);
    grid = std::move(input.values);
    return {input.descriptor, std::make_unique<MemorySource>(grid.view()), input.range};
}

RasterSource load_raster_pair_in_place(const FileName& base, double coef, const Work& work,
                                       bool with_range) {
    const Work range_work = work.reference ? Work{} : work;
    return open_raster_pair_in_place(base, coef, work.reference,
                                     with_range ? &range_work : nullptr);
}

AsciiInput load_ascii_grid(const FileName& file, const Work& work) {
    return work.reference ? read_ascii_grid_reference(file) : read_ascii_grid(file, work);
}

void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p, const Work& work,
            OutputFrame frame) {
    rotate(in, IndexRange{0, in.nb_lig}, out, p, work, frame);
}

void rotate(DoubleGrid in, IndexRange rows, DoubleGrid out, const RotationParameters& p,
            const Work& work, OutputFrame frame) {
    if (work.reference) {
        rotate_reference(in, rows, out, p, frame);
    } else {
        rotate_fast(in, rows, out, p, work, frame);
    }
}

void rotate_window(DoubleGrid in, const InputWindow& window, DoubleGrid out,
                   const RotationParameters& p, const Work& work, OutputFrame frame) {
    if (work.reference) {
        rotate_reference(in, window.rows, out, p, frame);
    } else {
        rotate_window_fast(in, window, out, p, work, frame);
    }
}

void resample(DoubleGrid in, DoubleGrid out, const RotationParameters& p, OutputFrame frame,
              Resampling method, std::optional<double> nodata, const Work& work) {
    if (work.reference) {
        resample_reference(in, out, p, frame, method, nodata);
    } else {
        resample_fast(in, out, p, frame, method, nodata, work);
    }
}

bool sweeps_from_source(const GridSource& in, const Work& work) {
    return !work.reference && in.whole() == nullptr && in.reads_from_memory();
}

std::optional<double> smallest_landing_value_of(GridSource& in, int32_t total_rows, int32_t nb_col,
                                                const RotationParameters& p, OutputFrame frame,
                                                const Work& work) {
    if (work.reference) return std::nullopt;
    return smallest_landing_value(in, total_rows, nb_col, p, frame, work);
}

void rotate_source(GridSource& in, const InputWindow* window, DoubleGrid out,
                   const RotationParameters& p, const Work& work, OutputFrame frame) {
    rotate_source_fast(in, window, out, p, work, frame);
}

void fill_holes_and_background(DoubleGrid grid, std::optional<double> nodata, const Work& work) {
    std::vector<EmptyCells> empty;
    const double smallest = fill_holes_finding_background(grid, nodata, work, &empty);
    fill_background(grid, smallest, work, empty);
}

int64_t write_raster_band(DoubleGrid rows, double background, double coef, OutputFile& out,
                          const Work& work, Progress* progress,
                          const std::function<void(int32_t)>& before_row) {
    if (work.reference) {
        for (int32_t i = 0; before_row && i < rows.nb_lig; ++i)
            before_row(i);
        fill_background(rows, background, work);
        return write_raster_rows_reference(rows, coef, out);
    }
    return write_raster_rows(rows, coef, out, work, progress, background, before_row);
}

void write_ascii_band(DoubleGrid rows, OutputFile& out, const Work& work, Progress* progress) {
    if (work.reference) {
        write_ascii_values_reference(rows, out);
    } else {
        write_ascii_values(rows, out, work, progress);
    }
}

}  // namespace terrapivoter
