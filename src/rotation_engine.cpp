#include "rotation_engine.h"

void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p) {
    rotate_reference(in, out, p);
}
