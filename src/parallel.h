// Splitting work over the machine's cores.
#pragma once

#include <cstdint>
#include <functional>

// Threads the program uses: every core the system offers (at least 1).
unsigned default_threads();

// Runs task(0) ... task(count - 1) on up to `threads` threads (the calling thread included) and
// returns when all are done. The first exception a task throws is rethrown here.
void run_tasks(unsigned threads, unsigned count, const std::function<void(unsigned)>& task);

// Part `part` of `parts` near-equal consecutive pieces of [0, size): its first index.
inline int64_t piece_start(int64_t size, unsigned parts, unsigned part) {
    return size * part / parts;
}
