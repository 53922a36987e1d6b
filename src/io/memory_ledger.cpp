#include "io/memory_ledger.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace terrapivoter {

int64_t budget_for(const MemoryPicture& picture, int64_t least) {
    const auto physical = static_cast<long double>(picture.physical);
    long double budget = physical * 3 / 4 - static_cast<long double>(picture.held_by_others);
    if (picture.available) {
        budget = std::min(budget, static_cast<long double>(*picture.available) * 3 / 4);
    }
    return std::max(static_cast<int64_t>(std::max(budget, 0.0L)), least);
}

namespace {

struct Entry {
    unsigned long pid;
    int64_t bytes;
};

std::string default_ledger() {
    return platform::shared_run_folder() + "/terrapivoter-memory-" +
           std::to_string(platform::user_id()) + ".ledger";
}

// The ledger's entries of runs that still exist; the ledger locked meanwhile.
std::vector<Entry> live_entries(std::FILE* f) {
    std::vector<Entry> entries;
    std::rewind(f);
    unsigned long pid = 0;
    long long bytes = 0;
    while (std::fscanf(f, "%lu %lld", &pid, &bytes) == 2) {
        if (pid != platform::process_id() && platform::process_exists(pid)) {
            entries.push_back({pid, bytes});
        }
    }
    return entries;
}

void write_entries(std::FILE* f, const std::vector<Entry>& entries) {
    std::rewind(f);
    for (const Entry& e : entries)
        std::fprintf(f, "%lu %" PRId64 "\n", e.pid, e.bytes);
    std::fflush(f);
    platform::truncate_at(f, static_cast<uint64_t>(std::ftell(f)));
}

}  // namespace

MemoryReservation::MemoryReservation(int64_t needed, int64_t least, const std::string& ledger)
    : ledger_(ledger.empty() ? default_ledger() : ledger) {
    MemoryPicture picture;
    picture.physical = platform::physical_memory().value_or(0);
    picture.available = platform::available_memory();
    if (picture.physical == 0) {
        budget_ = std::max(needed, least);
        return;
    }
    std::FILE* f = platform::open_locked_shared_file(ledger_);
    if (f == nullptr) {
        budget_ = budget_for(picture, least);
        return;
    }
    std::vector<Entry> entries = live_entries(f);
    for (const Entry& e : entries)
        picture.held_by_others += static_cast<uint64_t>(std::max<int64_t>(e.bytes, 0));
    budget_ = budget_for(picture, least);
    entries.push_back({platform::process_id(), std::min(budget_, std::max(needed, least))});
    write_entries(f, entries);
    std::fclose(f);  // the lock goes with it
    entered_ = true;
}

MemoryReservation::~MemoryReservation() {
    if (!entered_) return;
    if (std::FILE* f = platform::open_locked_shared_file(ledger_)) {
        write_entries(f, live_entries(f));
        std::fclose(f);
    }
}

}  // namespace terrapivoter
