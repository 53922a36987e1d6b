// The smallest of many values, as a strict "less than" met in order finds it, but in lanes that
// vectorise.
#pragma once

#include <cstdint>

namespace terrapivoter {

// The first of the smallest values of values[0, count) below `below` (a NaN never is one), or
// `below` itself when none is: of 0 and -0, the one met first.
double smallest_value(const double* values, int32_t count, double below);

}  // namespace terrapivoter
