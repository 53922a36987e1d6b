#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "base/parallel.h"
#include "base/progress.h"
#include "formats/raster_pair.h"
#include "io/output_file.h"

namespace terrapivoter {

namespace {

using RowConversion = int64_t (*)(const double*, int32_t*, int32_t, double, double);

// Blocks of rows are converted and written in turn, so that the integers of the whole grid
// never exist at once, on `threads` threads, each writing the blocks it converted where they
// belong in the file. Returns the number of clamped values.
int64_t write_converted_rows(DoubleGrid grid, double coef, OutputFile& out, RowConversion convert,
                             unsigned threads, Progress* progress, double background = empty_cell(),
                             const std::function<void(int32_t)>& before_row = nullptr) {
    // Blocks of about a megabyte: the system copies them into the file while they are still in
    // the cache (four times larger took a quarter longer).
    const auto rows_per_block =
        static_cast<int32_t>(std::clamp<int64_t>((int64_t{1} << 18) / grid.nb_col, 1, grid.nb_lig));
    const std::size_t block_cells = static_cast<std::size_t>(rows_per_block) * grid.width();
    const std::size_t row_bytes = sizeof(int32_t) * grid.width();
    const unsigned parts = std::max(1u, threads);
    std::vector<int64_t> clamped_cells(parts, 0);
    // Rows [begin, end) into `values` (a block's room, not cleared: every value is converted
    // before it is written, and its pages are first touched by the thread that converts).
    auto convert_rows = [&](unsigned part, int32_t begin, int32_t end, int32_t* values) {
        for (int32_t i = begin; i < end; ++i) {
            int32_t* row = values + static_cast<std::size_t>(i - begin) * grid.width();
            if (before_row) before_row(i);
            clamped_cells[part] += convert(grid[i], row, grid.nb_col, coef, background);
        }
    };
    const int32_t blocks = (grid.nb_lig + rows_per_block - 1) / rows_per_block;
    const uint64_t start = out.begin_parallel();
    // Each thread takes every parts-th block, so that the blocks reach the file nearly in
    // order; no thread waits for another, and the system's copying runs on every core.
    run_tasks(parts, parts, [&](unsigned part) {
        const auto values = std::make_unique_for_overwrite<int32_t[]>(block_cells);
        for (auto b = static_cast<int32_t>(part); b < blocks; b += static_cast<int32_t>(parts)) {
            const int32_t begin = b * rows_per_block;
            const int32_t end = std::min(grid.nb_lig, begin + rows_per_block);
            convert_rows(part, begin, end, values.get());
            out.write_at(start + static_cast<uint64_t>(begin) * row_bytes, values.get(),
                         static_cast<std::size_t>(end - begin) * row_bytes);
            advance(progress, end - begin);
        }
    });
    out.end_parallel(start + static_cast<uint64_t>(grid.nb_lig) * row_bytes);
    return std::accumulate(clamped_cells.begin(), clamped_cells.end(), int64_t{0});
}

}  // namespace

void warn_clamped(const OutputFile& out, int64_t clamped) {
    if (clamped > 0) {
        warn(out.displayed() + ": " + std::to_string(clamped) +
             (clamped == 1 ? " value lies" : " values lie") +
             " outside the 32-bit integer range and were clamped to its bounds");
    }
}

int64_t write_raster_rows(DoubleGrid grid, double coef, OutputFile& out, const Work& work,
                          Progress* progress, std::optional<double> background,
                          const std::function<void(int32_t)>& before_row) {
    return write_converted_rows(grid, coef, out, detail::convert_row, std::max(1u, work.threads),
                                progress, background.value_or(empty_cell()), before_row);
}

int64_t write_raster_rows_reference(DoubleGrid grid, double coef, OutputFile& out) {
    return write_converted_rows(grid, coef, out, detail::convert_row_reference, 1, nullptr);
}

}  // namespace terrapivoter
