// Refuses grids that cannot be held in this machine's memory before any is allocated, so a
// huge but honest file fails with a clear message instead of paging the machine to death.
#pragma once

#include <cstdint>
#include <string>

// Fails naming `displayed` when the run's grids (an input of nb_lig x nb_col doubles and a
// rotated output of `output_cells`, by default as many) need more memory than the machine has.
void check_fits_in_memory(int64_t nb_lig, int64_t nb_col, const std::string& displayed,
                          int64_t output_cells = -1);
