// Refuses grids that cannot be held in this machine's memory before any is allocated, so a
// huge but honest file fails with a clear message instead of paging the machine to death.
#pragma once

#include <cstdint>
#include <string>

// The run holds at most two double grids at once (input and rotated output).
inline constexpr uint64_t kRunBytesPerCell = 2 * sizeof(double);

void check_fits_in_memory(int64_t nb_lig, int64_t nb_col, const std::string& displayed);
