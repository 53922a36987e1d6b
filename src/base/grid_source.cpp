#include "base/grid_source.h"

#include <algorithm>

void MemorySource::read(int32_t row, int32_t first, int32_t end, double* out) {
    std::copy(grid_[row] + first, grid_[row] + end, out);
}
