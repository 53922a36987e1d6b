#include "io/memory_budget.h"

#include <algorithm>
#include <cstdio>

#include "base/failure.h"
#include "base/parallel.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

std::string gib(long double bytes) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1Lf GiB", bytes / (1024.0L * 1024.0L * 1024.0L));
    return buf;
}
}  // namespace

void check_fits_in_memory(int64_t nb_lig, int64_t nb_col, const std::string& displayed,
                          int64_t output_cells) {
    // The run holds at most two double grids at once: the input and the rotated output.
    const long double cells = static_cast<long double>(nb_lig) * static_cast<long double>(nb_col);
    const long double out = output_cells < 0 ? cells : static_cast<long double>(output_cells);
    const long double needed =
        (cells + out) * sizeof(double) + static_cast<long double>(nb_lig) * 2 * sizeof(void*);
    const auto available = platform::physical_memory();
    if (available && needed > static_cast<long double>(*available)) {
        throw Failure(displayed + ": a grid of " + std::to_string(nb_lig) + " rows and " +
                      std::to_string(nb_col) + " columns needs about " + gib(needed) +
                      " of memory; this machine has " + gib(static_cast<long double>(*available)));
    }
}

int64_t memory_budget(const Work& work) {
    if (work.memory > 0) return work.memory;
    // A quarter of the machine stays for the system, the page cache the files go through and
    // the other programs.
    const auto physical = platform::physical_memory();
    return physical ? static_cast<int64_t>(*physical / 4 * 3) : INT64_MAX;
}

bool fits_whole(int64_t nb_lig, int64_t nb_col, const Work& work) {
    const long double cells = static_cast<long double>(nb_lig) * static_cast<long double>(nb_col);
    return 2 * cells * (sizeof(double) + 0.0L) + static_cast<long double>(nb_lig) * 64 <=
           static_cast<long double>(memory_budget(work));
}

void fault_in(char* block, std::size_t bytes, unsigned threads) {
    constexpr std::size_t kPage = 4096;
    const auto pages = static_cast<int64_t>(bytes / kPage);
    const unsigned parts = std::max(1u, threads);
    run_tasks(parts, parts, [&](unsigned t) {
        const int64_t end = piece_start(pages, parts, t + 1);
        // Volatile: the block is freed unread, and the stores must not be dropped as dead.
        for (int64_t k = piece_start(pages, parts, t); k < end; ++k)
            *reinterpret_cast<volatile char*>(block + static_cast<std::size_t>(k) * kPage) = 0;
    });
}

}  // namespace terrapivoter
