// Turning one band of a loaded input into a band of the target.
#pragma once

#include "base/work.h"
#include "job/input_band.h"
#include "job/target.h"
#include "job/treatment.h"
#include "rotation/extent.h"

namespace terrapivoter {

// The grid the output is swept in: the input's, or, for the full extent, the input's enlarged
// until every turned cell falls inside.
Enlargement swept_grid(int32_t nb_lig, int32_t nb_col, const Treatment& treatment);

// What the cells left uncovered receive, given the smallest value of the turned grid.
double background_for(const Treatment& treatment, const InputBand& input, double smallest);

// Rotates the source, fills its holes and its background and writes it as the target's band
// `target.band`, by the strategy plan_bands picks; commit() then gives the files their names (a
// raster pair's two together). `Background::nodata` needs a no-data value (input.nodata or
// input.output_nodata). Every strategy writes the bytes the whole-grid run writes.
void treat(const InputBand& input, Target& target, const Treatment& treatment, const Work& work);

}  // namespace terrapivoter
