// The sweep the program runs.
#pragma once

#include "rotation.h"

// Rotates `in` into the all-empty `out` of the same size. Gives bit for bit the grid that
// rotate_reference gives.
void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p);
