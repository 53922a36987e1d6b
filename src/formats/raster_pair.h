// The raster pair: "<base>_m4.txt", a six-value descriptor (raster_descriptor.h), and
// "<base>_m4.raw", the grid as little-endian signed 32-bit integers, row 0 (the top of the
// terrain) first; read into working values and written from them (raster_rounding.h).
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/file_name.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"
#include "formats/raster_descriptor.h"
#include "formats/raster_rounding.h"

namespace terrapivoter {

class OutputFile;
class Progress;

// The data file's integers are read and written as this host holds them. A big-endian host
// would need them turned over, and a test that runs there.
static_assert(std::endian::native == std::endian::little,
              "raster pairs are little-endian, and so must the host be");

// A raster pair's descriptor and the range of its stored values.
struct RasterSummary {
    RasterDescriptor descriptor;
    ValueRange range;
};

// Opens "<base>_m4.txt" and then "<base>_m4.raw" (MissingInputFile names the first that cannot
// be opened), reads and checks the descriptor, checks the data size (short: Failure; long:
// warning), and reads the stored values for their range, keeping none of them.
RasterSummary read_raster_summary(const FileName& base, const Work& work = {});

struct RasterInput {
    RasterDescriptor descriptor;
    ValueRange range;       // of the stored values
    Matrix<double> values;  // working values: the stored ones divided by the unit
};

// The same, and only then the grid of working values: each stored value divided by `coef`
// (working_value), on one thread.
RasterInput read_raster_pair_reference(const FileName& base, double coef);

// A raster pair's descriptor (read and checked, and its data file's size checked) and a source
// of its working values, with the range of its stored values when asked for.
struct RasterSource {
    RasterDescriptor descriptor;
    std::unique_ptr<GridSource> source;
    std::optional<ValueRange> range;
};

// The raster pair read in place: its source turns segments of rows into working values
// (working_value_fast, or working_value for the `reference` methods), converted straight from
// the data file mapped into memory where the system can map it (the source then reads from
// memory), with positional reads otherwise. With `range_work`, the range is found too, on
// range_work->threads threads.
RasterSource open_raster_pair_in_place(const FileName& base, double coef, bool reference,
                                       const Work* range_work = nullptr);

// The raster pair's stored values read into memory as they are (4 bytes a cell, half what its
// working values take) on up to work.threads threads, and its range; the source turns them
// into working values (working_value_fast) as they are read from it.
RasterSource read_raster_pair_stored(const FileName& base, double coef, const Work& work = {});

// The descriptor alone, the data file checked as the readers check it: enough to decide
// whether the grid fits in memory.
RasterDescriptor peek_raster_pair(const FileName& base);

// For an output written a band of rows at a time: the rows converted and written after what
// `out` holds, the clamped values counted (and returned) rather than warned about, and that
// warning, once, at the end. With `background`, empty cells (base/empty_cell.h) are converted
// as that value (the grid keeps them empty). With `before_row`, before_row(i) runs just before
// row i is converted, on the converting thread (rows of one block on several at once).
int64_t write_raster_rows(DoubleGrid grid, double coef, OutputFile& out, const Work& work,
                          Progress* progress, std::optional<double> background = std::nullopt,
                          const std::function<void(int32_t)>& before_row = nullptr);
int64_t write_raster_rows_reference(DoubleGrid grid, double coef, OutputFile& out);
void warn_clamped(const OutputFile& out, int64_t clamped);

namespace detail {

// Reads nb_lig rows of nb_col little-endian 32-bit values from the start of `f` on up to
// work.threads threads (each row into into(row) when given, in native order), handing each
// row's values to use(thread, row, values) in the thread that read it.
void read_raster_rows(std::FILE* f, int32_t nb_lig, int32_t nb_col, const std::string& displayed,
                      const Work& work, Progress* progress,
                      const std::function<void(unsigned, int32_t, const int32_t*)>& use,
                      const std::function<int32_t*(int32_t)>& into = nullptr);

}  // namespace detail

}  // namespace terrapivoter
