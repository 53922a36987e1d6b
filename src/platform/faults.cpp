#include <atomic>
#include <cerrno>

#include "platform/faults.h"

namespace terrapivoter {

namespace platform {

namespace {

struct ArmedFault {
    std::atomic<int> error{0};
    std::atomic<int> successes_left{0};
};
ArmedFault armed_faults[5];

}  // namespace

bool detail::injected(Call call) {
    ArmedFault& fault = armed_faults[static_cast<int>(call)];
    if (fault.error.load(std::memory_order_relaxed) == 0) return false;
    if (fault.successes_left.fetch_sub(1) > 0) return false;
    const int error = fault.error.exchange(0);
    if (error == 0) return false;
    errno = error;
    return true;
}

namespace faults {
void fail_next(Call call, int error, unsigned successes) {
    ArmedFault& fault = armed_faults[static_cast<int>(call)];
    fault.successes_left.store(static_cast<int>(successes));
    fault.error.store(error);
}
void clear() {
    for (ArmedFault& fault : armed_faults)
        fault.error.store(0);
}
}  // namespace faults

}  // namespace platform

}  // namespace terrapivoter
