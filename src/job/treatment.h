// What is done to a loaded input: the turn, the output's extent and what its uncovered cells
// receive.
#pragma once

#include "rotation/placement.h"
#include "rotation/resample.h"

namespace terrapivoter {

enum class Extent {
    input,  // the input's size and corner: what the turn carries outside is cut off
    full,   // enlarged by whole cells on each side until no turned cell falls outside
};

// What the cells that no input cell reaches and hole filling leaves empty receive (resampled,
// those whose position lies outside the input or whose every cell read is no-data).
struct Background {
    enum class Kind {
        smallest,  // the smallest value of the turned grid
        nodata,    // the no-data value
        given,     // `value`, in working units
    };
    Kind kind = Kind::smallest;
    double value = 0.0;
};

struct Treatment {
    RotationParameters rotation;
    Extent extent = Extent::input;
    Background background;
    // A GDAL output georeferenced so that each cell lies over the ground it came from (the
    // input's geotransform turned about the reference point by the opposite angle), rather
    // than in the input's frame.
    bool rotated_georef = false;
    Resampling resampling = Resampling::forward;
};

}  // namespace terrapivoter
