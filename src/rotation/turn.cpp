#include "rotation/turn.h"

#include <cmath>

#include "rotation/placement.h"

namespace terrapivoter {

AffineTurn::AffineTurn(double degrees) {
    const long double theta = static_cast<long double>(degrees) / static_cast<long double>(api);
    cos = std::cos(theta);
    sin = std::sin(theta);
}

}  // namespace terrapivoter
