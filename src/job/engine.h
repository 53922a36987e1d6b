// How the program does its work, decided here and nowhere else: the fast methods on every core,
// or, in a build configured with TERRAPIVOTER_REFERENCE, the plain methods (the polar formulas
// cell by cell, stdio formatting and strtod) on one thread, as the yardstick the fast ones are
// measured against. Both give the same bytes.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "io/output_file.h"
#include "rotation/bands.h"
#include "rotation/hole_filling.h"
#include "rotation/placement.h"
#include "rotation/resample.h"

namespace terrapivoter {

// How this program works: on `threads` threads (every core when not given) and with a progress
// line on a terminal unless `quiet`. The reference build works on one thread, silently.
Work program_work(std::optional<unsigned> threads = std::nullopt, bool quiet = false);

// A raster pair's descriptor and the range of its stored values ("<base>_m4.txt", then
// "<base>_m4.raw"), for the unit to be chosen before the grid is made.
RasterSummary load_raster_summary(const FileName& base, const Work& work);

// A raster pair that fits in memory, and the range of its stored values: the fast methods hold
// the stored values as they are and turn them into working values as the sweep reads them; the
// reference methods make the grid of working values, into `grid`, which the source reads.
RasterSource load_raster_pair_held(const FileName& base, double coef, const Work& work,
                                   Matrix<double>& grid);

// A raster pair, its working values read in place (from its data file mapped into memory,
// where the system can map it), and, `with_range`, the range of its stored values.
RasterSource load_raster_pair_in_place(const FileName& base, double coef, const Work& work,
                                       bool with_range = false);

AsciiInput load_ascii_grid(const FileName& file, const Work& work);

// Rotates `in` into the all-empty `out`, which lies at `frame`.
void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p, const Work& work,
            OutputFrame frame = {});

// The same for the input rows `rows` only, into a band of the output.
void rotate(DoubleGrid in, IndexRange rows, DoubleGrid out, const RotationParameters& p,
            const Work& work, OutputFrame frame);

// The same for the input cells of `window` only, into the band of the output they can reach.
void rotate_window(DoubleGrid in, const InputWindow& window, DoubleGrid out,
                   const RotationParameters& p, const Work& work, OutputFrame frame);

// Resamples `in` into the band `out` of an output lying at `frame` (resample.h).
void resample(DoubleGrid in, DoubleGrid out, const RotationParameters& p, OutputFrame frame,
              Resampling method, std::optional<double> nodata, const Work& work);

// Whether the sweep reads `in` itself, a segment of a row at a time, rather than from a grid or
// a band's cells gathered first: an input whose reads only convert what is in memory, with the
// fast methods.
bool sweeps_from_source(const GridSource& in, const Work& work);

// The smallest value (below kNoBackground) of the input cells that land in an output of
// `total_rows` x `nb_col` cells at `frame`, with the fast methods; nothing with the plain ones,
// or where the placement does not tell it cheaply (see smallest_landing_value).
std::optional<double> smallest_landing_value_of(GridSource& in, int32_t total_rows, int32_t nb_col,
                                                const RotationParameters& p, OutputFrame frame,
                                                const Work& work);

// Rotates the input cells of `window` (all of them when null), read from `in` as the sweep
// reaches them (sweeps_from_source), into the band of the output they can reach.
void rotate_source(GridSource& in, const InputWindow* window, DoubleGrid out,
                   const RotationParameters& p, const Work& work, OutputFrame frame);

// Fills the holes the rotation left, then gives every cell still empty the background value.
void fill_holes_and_background(DoubleGrid grid, std::optional<double> nodata, const Work& work);

// Rows of a raster pair's data file, after what `out` holds: their empty cells given the
// value `background`, then times `coef`, rounded, as 32-bit integers; before_row(i), when
// given, runs on each row i first (on several threads at once). Returns how many were clamped (to
// be warned of once, with warn_clamped).
int64_t write_raster_band(DoubleGrid rows, double background, double coef, OutputFile& out,
                          const Work& work, Progress* progress,
                          const std::function<void(int32_t)>& before_row);

// Rows of an ASCII grid's values, after what `out` holds.
void write_ascii_band(DoubleGrid rows, OutputFile& out, const Work& work, Progress* progress);

}  // namespace terrapivoter
