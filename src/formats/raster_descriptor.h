// The raster pair's descriptor, "<base>_m4.txt": six values, the grid's rows and columns, a byte
// count, the smallest and largest stored value and the pixel size.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/grid.h"
#include "base/grid_source.h"
#include "base/work.h"

namespace terrapivoter {

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

// Smallest and largest value of a double grid, truncated toward zero and clamped to 32 bits:
// the extremes a raster descriptor records for a grid that was not read from raster data. NaN
// cells do not count.
ValueRange whole_extremes(DoubleGrid grid);

// Extremes found elsewhere, truncated and clamped the same way (0 and 0 when smallest >
// largest: a grid of nothing but NaN).
ValueRange truncated_range(double smallest, double largest);

// What a raster pair written from a grid that was not read from raster data carries: values in
// the grid's own unit, four bytes a value, the grid's extremes (truncated) and `cell_size`.
RasterDescriptor descriptor_of_grid(DoubleGrid values, double cell_size);
// The same for a grid held whole or read in place (then read once, for its extremes).
RasterDescriptor descriptor_of_grid(GridSource& grid, double cell_size, const Work& work);

}  // namespace terrapivoter
