// The fault seam's side inside the platform layer: each system call that a test can make fail
// asks it first.
#pragma once

#include "platform/platform.h"

namespace terrapivoter {

namespace platform::detail {

// True, with errno set, when a test armed a failure of `call` and its turn has come.
bool injected(Call call);

}  // namespace platform::detail

}  // namespace terrapivoter
