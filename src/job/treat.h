// Turning one band of a loaded input into a band of the target.
#pragma once

#include "base/work.h"
#include "job/input_band.h"
#include "job/target.h"
#include "job/treatment.h"

namespace terrapivoter {

// Rotates the source, fills its holes and its background and writes it as the target's band
// `target.band`, by the strategy plan_bands picks; commit() then gives the files their names (a
// raster pair's two together). `Background::nodata` needs a no-data value (input.nodata or
// input.output_nodata). Every strategy writes the bytes the whole-grid run writes.
void treat(const InputBand& input, Target& target, const Treatment& treatment, const Work& work);

}  // namespace terrapivoter
