// Memory for the grids: refusing grids that cannot be held in this machine's memory before any
// is allocated (a huge but honest file fails with a clear message instead of paging the
// machine to death), and getting their pages cheaply.
#pragma once

#include <cstdint>
#include <string>

#include "base/grid.h"
#include "base/work.h"
#include "platform/platform.h"

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

// Asks for huge pages under a grid: its rows are consecutive blocks of the heap, and where the
// kernel grants them (transparent huge pages in "madvise" mode) a fault maps 2 MB instead of
// 4 kB. Only pages not yet touched benefit.
template <class T>
void prefer_huge_pages(GridView<T> grid) {
    if (grid.nb_lig == 0) return;
    const auto* first = reinterpret_cast<const char*>(grid[0]);
    const auto* last = reinterpret_cast<const char*>(grid[grid.nb_lig - 1] + grid.nb_col);
    if (last > first) platform::advise_huge_pages(first, static_cast<std::size_t>(last - first));
}

// A zero-filled grid, as the allocation family makes it, from fresh memory (its pages first
// touched by the code that fills it) and on huge pages where the kernel offers them: every
// large grid of a run.
template <class T>
Matrix<T> fresh_grid(int32_t nb_lig, int32_t nb_col) {
    Matrix<T> grid;
    {
        const platform::FreshGridMemory fresh;
        grid = Matrix<T>(nb_lig, nb_col);
    }
    prefer_huge_pages(grid.view());
    return grid;
}
