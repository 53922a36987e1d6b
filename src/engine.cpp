#include "engine.h"

#include "platform.h"
#include "progress.h"
#include "rotation_fast.h"

Work program_work() {
#if defined(TERRAPIVOTER_REFERENCE)
    return {1, true, false};
#else
    return {default_threads(), false, platform::stderr_is_terminal()};
#endif
}

void rotate(DoubleGrid in, DoubleGrid out, const RotationParameters& p, Work work) {
    if (work.plain) {
        rotate_reference(in, out, p);
        return;
    }
    Progress progress("rotating", in.nb_lig, work.show_progress && in.cells() >= kProgressCells);
    rotate_fast(in, out, p, work.threads, &progress);
}
