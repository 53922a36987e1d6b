#include "rotation_engine.h"

#include "parallel.h"
#include "rotation_fast.h"

void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p) {
#if defined(TERRAPIVOTER_REFERENCE)
    rotate_reference(in, out, p);
#else
    rotate_fast(in, out, p, default_threads());
#endif
}
