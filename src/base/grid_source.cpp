#include "base/grid_source.h"

#include <algorithm>
#include <memory>

#include "base/smallest_value.h"

namespace terrapivoter {

double GridSource::smallest(int32_t row, int32_t first, int32_t end, double below) {
    if (end <= first) return below;
    const auto values =
        std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(end - first));
    read(row, first, end, values.get());
    return smallest_value(values.get(), end - first, below);
}

void MemorySource::read(int32_t row, int32_t first, int32_t end, double* out) {
    std::copy(grid_[row] + first, grid_[row] + end, out);
}

double MemorySource::smallest(int32_t row, int32_t first, int32_t end, double below) {
    return smallest_value(grid_[row] + first, end - first, below);
}

}  // namespace terrapivoter
