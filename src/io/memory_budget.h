// Refuses grids that cannot be held in this machine's memory before any is allocated, so a
// huge but honest file fails with a clear message instead of paging the machine to death.
#pragma once

#include <cstdint>
#include <string>

#include "base/grid.h"

// Fails naming `displayed` when the run's grids (an input of nb_lig x nb_col doubles and a
// rotated output of `output_cells`, by default as many) need more memory than the machine has.
void check_fits_in_memory(int64_t nb_lig, int64_t nb_col, const std::string& displayed,
                          int64_t output_cells = -1);

void advise_huge_pages_for(const void* begin, std::size_t bytes);

// Asks for huge pages under a freshly allocated grid, before its first touch: its rows are
// consecutive blocks of one heap, and a fault then maps 2 MB instead of 4 kB (on this kind of
// virtual machine a fault costs microseconds: reading a 10000 x 10000 GeoTIFF went from 5.3 to
// 3.2 s).
template <class T>
void prefer_huge_pages(GridView<T> grid) {
    if (grid.nb_lig == 0) return;
    const auto* first = reinterpret_cast<const char*>(grid[0]);
    const auto* last = reinterpret_cast<const char*>(grid[grid.nb_lig - 1] + grid.nb_col);
    if (last > first) advise_huge_pages_for(first, static_cast<std::size_t>(last - first));
}
