// What the benchmarks share.
#pragma once

#include "parallel.h"
#include "work.h"

// The fast methods on every core, without a progress line.
inline Work all_cores() {
    return {.threads = default_threads()};
}
