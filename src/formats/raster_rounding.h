// The raster pair's conversions between stored integers and working values: a stored value
// divided by its unit, and a working value multiplied by it, rounded and clamped to 32 bits,
// both exact to the bit, the fast forms and the plain ones alike.
#pragma once

#include <cstdint>

#include "base/empty_cell.h"

namespace terrapivoter {

// value x coef in extended precision, rounded half away from zero, clamped to 32 bits; sets
// `clamped` when the value lay outside that range.
int32_t raster_value(double value, double coef, bool& clamped);

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

namespace detail {

// raster_value for a whole row, in double arithmetic but for values beyond 32 bits (the fast
// writer's conversion), empty cells taken as `background`. Returns the number of clamped cells.
int64_t convert_row(const double* values, int32_t* row, int32_t count, double coef,
                    double background = empty_cell());

// The same with raster_value for every value.
int64_t convert_row_reference(const double* values, int32_t* row, int32_t count, double coef,
                              double background);

}  // namespace detail

}  // namespace terrapivoter
