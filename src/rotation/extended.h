// Extended-precision steps: each expression is evaluated in long double (a 64-bit significand
// on x86) and rounded to double exactly where a named value is stored, so that every cell lands
// where the original 80-bit evaluation put it. The casts are the roundings; do not fold them.
#pragma once

namespace terrapivoter {

namespace extended {

using ld = long double;

// a + b formed in extended precision, rounded to double.
inline double sum(double a, double b) {
    return static_cast<double>(static_cast<ld>(a) + b);
}

}  // namespace extended

}  // namespace terrapivoter
