// What the benchmarks share.
#pragma once

#include "base/parallel.h"
#include "base/work.h"

using namespace terrapivoter;

// The fast methods on every core, without a progress line.
inline Work all_cores() {
    return {.threads = default_threads()};
}
