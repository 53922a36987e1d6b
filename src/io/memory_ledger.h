// The memory that runs of the program started side by side (xargs -P, GNU parallel, a
// scheduler's array job) take between them. Each run that sets no --memory writes what it
// expects to hold into a ledger this user's runs share, and budgets only what the machine has
// left after the others' entries: four runs started together do not each count on three
// quarters of the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace terrapivoter {

// What a run sees when it starts.
struct MemoryPicture {
    uint64_t physical = 0;              // the machine's memory
    std::optional<uint64_t> available;  // what new allocations can have now (MemAvailable)
    uint64_t held_by_others = 0;        // what the ledger's other live runs expect to hold
};

// The budget of a run that sees `picture`: three quarters of the machine, less what the other
// runs hold, and no more than three quarters of what is available now, but never below `least`
// (a band of a few rows).
int64_t budget_for(const MemoryPicture& picture, int64_t least);

// A run's entry in the ledger, removed when it ends (a run killed outright leaves it, and the
// next run that reads the ledger drops the entries of runs that no longer exist).
class MemoryReservation {
  public:
    // Budgets for a run that needs `needed` bytes to hold everything (and `least` at the
    // least), and enters what it will hold, the smaller of the two, in the ledger at
    // `ledger` (by default in this user's shared run folder). Without a ledger (it cannot be
    // opened), the budget counts what the machine has available alone.
    MemoryReservation(int64_t needed, int64_t least, const std::string& ledger = {});
    ~MemoryReservation();
    MemoryReservation(const MemoryReservation&) = delete;
    MemoryReservation& operator=(const MemoryReservation&) = delete;

    int64_t budget() const { return budget_; }

  private:
    std::string ledger_;
    int64_t budget_ = 0;
    bool entered_ = false;
};

}  // namespace terrapivoter
