// The mark of a cell of a turned grid that no input cell reached: a NaN with a bit pattern of its
// own, which no reader stores (input values are finite, an input NaN is stored as the C library's
// quiet NaN, and a stored double with this very pattern is read as that NaN), so every value a
// grid can hold, 0 and -0 among them, is an elevation.
#pragma once

#include <bit>
#include <cstdint>

namespace terrapivoter {

// A quiet NaN with a payload of its own.
inline constexpr uint64_t kEmptyCellBits = 0x7ffc0e0d0e0d0e0dULL;

inline double empty_cell() {
    return std::bit_cast<double>(kEmptyCellBits);
}

inline bool is_empty(double v) {
    return std::bit_cast<uint64_t>(v) == kEmptyCellBits;
}

}  // namespace terrapivoter
