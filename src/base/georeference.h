// Where a grid lies on the map.
#pragma once

#include <array>

namespace terrapivoter {

// GDAL's affine georeference: x = [0] + col * [1] + row * [2], y = [3] + col * [4] + row * [5],
// (col, row) in pixels from the top left corner of the top left cell.
using GeoTransform = std::array<double, 6>;

// A north-up grid's lower-left corner and the side of its square cells (an ASCII grid's header).
struct Georef {
    double X_min = 0.0;
    double Y_min = 0.0;
    double cell_size = 0.0;
};

}  // namespace terrapivoter
