// The turn of the plane by an angle in degrees (anticlockwise when positive), its cosine and
// sine in extended precision. The affine positions of the fast sweep, the input cells a band
// of the output needs, the enlarged extent and the turned georeference all come from these two
// numbers, so that they agree to the last bit. (Each keeps its own order of evaluation: a
// position is p + dx cos - dy sin, added in that order, wherever it was first written so.)
#pragma once

namespace terrapivoter {

struct AffineTurn {
    long double cos = 1.0L;
    long double sin = 0.0L;

    explicit AffineTurn(double degrees);
};

}  // namespace terrapivoter
