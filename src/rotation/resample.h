// Resampling by inverse mapping: each output cell's centre taken back through the inverse of
// the turn into the input, and its value interpolated there, as gdalwarp and OpenCV's
// warpAffine do. Forward placement (placement.h) stays the dialogue's method.
//
// The positions are defined, for the plain and the fast code alike, as the affine steps below in
// double arithmetic: output row v's first cell starts at (x0, r0), computed in extended
// precision from the turn's cosine c and sine s (turn.h) and rounded to double; its cell u lies
// at (x0 + u c, r0 + u s) in input columns and rows from the top, the products and sums each
// rounded to double. The interpolation is in double too, its sums in a fixed order, so that the
// two codes give the same bits.
#pragma once

#include <cstdint>
#include <optional>

#include "base/grid.h"
#include "base/work.h"
#include "rotation/placement.h"

namespace terrapivoter {

enum class Resampling {
    forward,   // each input cell moved to the nearest output cell, holes filled (placement.h)
    nearest,   // the input cell whose centre is nearest
    bilinear,  // the four surrounding centres, weighted by distance
    cubic,     // sixteen centres, cubic convolution with a = -0.5 (Keys; GDAL's and OpenCV's)
};

// How far from a position, at most, lie the cells a method reads, in whole cells: what the input
// window of a band of the output widens by (input_window).
int32_t resampling_reach(Resampling method);

// Where the sampled cells of one output row lie: the first at (x0, r0) in input columns and
// rows from the top, each next one (dx, dr) further.
struct SampleRow {
    double x0;
    double r0;
    double dx;
    double dr;
};

// The source positions of output row `row` (of frame.total_rows, or of the `nb_lig` rows of
// an output that is not a band) turned from an input of `in_lines` lines.
SampleRow sample_row(const RotationParameters& p, OutputFrame frame, int32_t nb_lig, int32_t row,
                     int32_t in_lines);

// Resamples the input `in` (of which only the window a band needs may be present: input_window
// widened by resampling_reach) into the band `out` of an output lying at
// `frame`. A cell whose position lies outside the input (its nearest cell is not an input
// cell), or whose cells read are all no-data (equal to `nodata`, or NaN), is left empty (for
// the background); no-data cells among others drop out, the weights of the rest renormalised.
// The plain code, one cell after another on one thread.
void resample_reference(DoubleGrid in, DoubleGrid out, const RotationParameters& p,
                        OutputFrame frame, Resampling method, std::optional<double> nodata);

// The same bits, rows shared among work.threads threads, each row's inner cells (whose cells
// read are all inside the input) in a loop without bounds checks.
void resample_fast(DoubleGrid in, DoubleGrid out, const RotationParameters& p, OutputFrame frame,
                   Resampling method, std::optional<double> nodata, const Work& work);

}  // namespace terrapivoter
