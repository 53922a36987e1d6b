// Memory for the grids: refusing grids that cannot be held in this machine's memory before any
// is allocated (a huge but honest file fails with a clear message instead of paging the
// machine to death), and getting their pages cheaply.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/grid.h"
#include "base/work.h"
#include "platform/platform.h"

namespace terrapivoter {

// Fails naming `displayed` when the run's grids (an input of nb_lig x nb_col doubles and a
// rotated output of `output_cells`, by default as many) need more memory than the machine has.
void check_fits_in_memory(int64_t nb_lig, int64_t nb_col, const std::string& displayed,
                          int64_t output_cells = -1);

// The bytes a run may hold at once: work.memory, or three quarters of the machine's physical
// memory.
int64_t memory_budget(const Work& work);

// Whether an input of nb_lig x nb_col doubles and an output as large fit in the budget: the
// input is then read whole, otherwise in place.
bool fits_whole(int64_t nb_lig, int64_t nb_col, const Work& work);

// Touches every page of [block, block + bytes) on `threads` threads, so that the system maps
// them in parallel.
void fault_in(char* block, std::size_t bytes, unsigned threads);

// A zero-filled grid, as the allocation family makes it, its rows cut from memory already
// mapped (on huge pages where the system offers them) on `threads` threads: every large grid
// of a run. Not `prepared`, a plain one: in another program's process, whose heap (which
// preparing tunes) is not ours.
template <class T>
Matrix<T> fresh_grid(int32_t nb_lig, int32_t nb_col, unsigned threads,
                     bool prepared_memory = true) {
    // Each row's chunk carries a header and is rounded up to 16 bytes; the row table is one
    // more block.
    const auto rows = static_cast<long double>(std::max(nb_lig, 0));
    const auto cols = static_cast<long double>(std::max(nb_col, 0));
    const long double bytes = rows * (cols * sizeof(T) + 32) + rows * sizeof(T*) + 64;
    std::optional<platform::PreparedGridMemory> prepared;
    if (prepared_memory && bytes >= platform::kLargeGridBytes &&
        bytes <= static_cast<long double>(SIZE_MAX / 2))
        prepared.emplace(static_cast<std::size_t>(bytes), [threads](char* block, std::size_t size) {
            fault_in(block, size, threads);
        });
    return Matrix<T>(nb_lig, nb_col);
}

}  // namespace terrapivoter
