// The raster pair: "<base>_m4.txt", a six-value descriptor, and "<base>_m4.raw", the grid as
// little-endian signed 32-bit integers, row 0 (the top of the terrain) first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/empty_cell.h"
#include "base/file_name.h"
#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"

class OutputFile;
class Progress;

inline constexpr const char* kRasterDataSuffix = "_m4.raw";
inline constexpr const char* kRasterDescriptorSuffix = "_m4.txt";

struct RasterDescriptor {
    int32_t nb_lig = 0;
    int32_t nb_col = 0;
    int32_t num_bytes = 0;  // carried from input to output, never used: values are 4 bytes
    int32_t min_alt = 0;
    int32_t max_alt = 0;
    double dpix_size = 0.0;
};

// Parses the six white-space separated values (five 32-bit integers, then a finite real).
// Anything after the sixth is ignored. Fails naming `displayed` when a value is missing or
// unreadable, or when the grid has no rows or no columns.
RasterDescriptor parse_raster_descriptor(std::FILE* f, const std::string& displayed);

// "%d\n" five times, then the pixel size as a header real and "\n".
std::string format_raster_descriptor(const RasterDescriptor& d);

struct ValueRange {
    int32_t smallest = 0;
    int32_t largest = 0;
};

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
// (working_value_fast), read straight into it on up to work.threads threads.
RasterInput read_raster_pair(const FileName& base, double coef, const Work& work = {});

// The same with working_value, on one thread.
RasterInput read_raster_pair_reference(const FileName& base, double coef);

// A raster pair's descriptor (read and checked, and its data file's size checked, as
// read_raster_pair does) and a source of its working values, with the range of its stored
// values when asked for.
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

// The descriptor alone, the data file checked as read_raster_pair checks it: enough to decide
// whether the grid fits in memory.
RasterDescriptor peek_raster_pair(const FileName& base);

// value x coef in extended precision, rounded half away from zero, clamped to 32 bits; sets
// `clamped` when the value lay outside that range.
int32_t raster_value(double value, double coef, bool& clamped);

// Converts and writes `grid` a block of rows at a time, converting the next block while one is
// written; warns with the number of clamped cells. The values are raster_value's, mostly
// reached in double arithmetic.
void write_raster_data(DoubleGrid grid, double coef, OutputFile& out, const Work& work = {});

// The same bytes, every value through raster_value, on one thread.
void write_raster_data_reference(DoubleGrid grid, double coef, OutputFile& out);

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

// The working value (metres) of a stored integer: (double)(value / coef) in extended precision.
inline double working_value(int32_t value, double coef) {
    return static_cast<double>(static_cast<long double>(value) / coef);
}

// The same value by one double division. For a 32-bit integer and a power of ten up to 1000,
// the quotient cannot lie within 2^-64 (relative) of a midpoint between doubles without being
// one, so rounding it first to 64 bits and then to 53 gives the correctly rounded quotient
// (docs/performance.md).
inline double working_value_fast(int32_t value, double coef) {
    return static_cast<double>(value) / coef;
}

// Smallest and largest value of a double grid, truncated toward zero and clamped to 32 bits:
// the extremes a raster descriptor records for a grid that was not read from raster data. NaN
// cells do not count.
ValueRange whole_extremes(DoubleGrid grid);

// Extremes found elsewhere, truncated and clamped the same way (0 and 0 when smallest >
// largest: a grid of nothing but NaN).
ValueRange truncated_range(double smallest, double largest);

namespace detail {

// Reads nb_lig rows of nb_col little-endian 32-bit values from the start of `f` on up to
// work.threads threads (each row into into(row) when given, in native order), handing each
// row's values to use(thread, row, values) in the thread that read it.
void read_raster_rows(std::FILE* f, int32_t nb_lig, int32_t nb_col, const std::string& displayed,
                      const Work& work, Progress* progress,
                      const std::function<void(unsigned, int32_t, const int32_t*)>& use,
                      const std::function<int32_t*(int32_t)>& into = nullptr);

// raster_value for a whole row, in double arithmetic but for values beyond 32 bits (the fast
// writer's conversion), empty cells taken as `background`. Returns the number of clamped cells.
int64_t convert_row(const double* values, int32_t* row, int32_t count, double coef,
                    double background = empty_cell());

}  // namespace detail
