// Four cells at once, in lanes of the compiler's vector extensions (GCC's and clang's alike),
// which keep each operation the scalar code's, lane by lane, in every instruction set the code
// is compiled for. Lanes pass by reference, and the functions that take them are always inlined
// into their callers, which are compiled for several instruction sets whose conventions for
// passing lanes differ.
#pragma once

#include <cstdint>
#include <cstring>

namespace terrapivoter {

using Lanes = double __attribute__((vector_size(32)));
using LaneBits = uint64_t __attribute__((vector_size(32)));  // a lane's bits, as an integer
using Indices = int32_t __attribute__((vector_size(16)));    // a row or column for each lane
constexpr int kLanes = 4;

// Lanes of flags, all bits set where a comparison holds.
using Flags = decltype(Lanes{} == Lanes{});

// Whether every lane's flag is set.
[[gnu::always_inline]] inline bool all_set(const Flags& flags) {
    return (flags[0] & flags[1] & flags[2] & flags[3]) != 0;
}

// Four values side by side in memory.
[[gnu::always_inline]] inline void load_lanes(const double* from, Lanes& lanes) {
    std::memcpy(&lanes, from, sizeof lanes);
}

}  // namespace terrapivoter
