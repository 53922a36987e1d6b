#include "base/smallest_value.h"

#include <algorithm>

#include "base/cpu_dispatch.h"

namespace terrapivoter {

// Eight running minima, one for every eighth value, so that the loop vectorises (to the
// processor's minimum, which keeps the running one for a NaN and for equal zeros, as a strict
// "less than" does).
TERRAPIVOTER_CLONES
double smallest_value(const double* values, int32_t count, double below) {
    constexpr int32_t kLanes = 8;
    double lane[kLanes];
    std::fill(lane, lane + kLanes, below);
    int32_t j = 0;
    for (; j + kLanes <= count; j += kLanes) {
        for (int32_t k = 0; k < kLanes; ++k)
            lane[k] = values[j + k] < lane[k] ? values[j + k] : lane[k];
    }
    double smallest = below;
    for (double v : lane)
        smallest = v < smallest ? v : smallest;
    for (; j < count; ++j)
        smallest = values[j] < smallest ? values[j] : smallest;
    if (smallest == 0.0 && smallest < below) {
        // Equal values other than zeros are the same bits; of the zeros, the first counts.
        for (j = 0; values[j] != 0.0; ++j) {
        }
        return values[j];
    }
    return smallest;
}

}  // namespace terrapivoter
