// The one loader of an input, for every way in: it decides once whether the grid is held whole
// in memory or read in place (when the input and an output of its size would not fit in the
// memory budget), and gathers what an output carries on (descriptor, corner, coordinate system,
// no-data value).
#pragma once

#include <optional>
#include <string>

#include "base/file_name.h"
#include "base/work.h"
#include "formats/gdal_raster.h"
#include "job/input_band.h"

namespace terrapivoter {

// How a value in the input's stored units becomes a working value: divided by a raster pair's
// unit exactly as its stored values are, or, for a GDAL band read for what its values stand
// for, multiplied by its scale and offset as they are.
struct StoredUnits {
    double coef = 1.0;
    double scale = 1.0;
    double offset = 0.0;

    double working(double stored) const;
};

struct InputSpec {
    GridForm form = GridForm::ascii_grid;
    FileName name{};    // the ASCII grid or GDAL raster itself, or a raster pair's base name
    double coef = 1.0;  // a raster pair's unit: 1, 10, 100 or 1000 stored units a metre
    // A raster pair's lower-left corner (its cell size is the descriptor's pixel size).
    struct Corner {
        double x;
        double y;
    };
    std::optional<Corner> corner{};
    // A GDAL raster: what it says of itself (peek_gdal_raster), the band (from 1), and whether
    // its values are read for what they stand for (stored x scale + offset) or as stored.
    const GdalInfo* gdal = nullptr;
    int band = 1;
    bool unscale = false;
    // A raster pair output's descriptor carries the range of the stored values: for a raster
    // pair read in place that takes a pass over its data of its own, done only when asked.
    bool with_range = false;
    // Where an ASCII grid too large for memory gets its scratch copy: beside this host path.
    std::string scratch_beside{};
};

struct OpenedInput {
    InputGrid grid;
    InputBand band;  // its `grid` is grid.source
    StoredUnits units;
};

// Loads `spec` (MissingInputFile when a file is not there, Failure for a malformed one,
// UsageError for a corner given to a raster that has one of its own).
OpenedInput open_input(const InputSpec& spec, const Work& work);

}  // namespace terrapivoter
