#include "engine.h"

#include "rotation_fast.h"

Work program_work() {
#if defined(TERRAPIVOTER_REFERENCE)
    return {1, true};
#else
    return {default_threads(), false};
#endif
}

void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p, Work work) {
    if (work.plain) {
        rotate_reference(in, out, p);
    } else {
        rotate_fast(in, out, p, work.threads);
    }
}
