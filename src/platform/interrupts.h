// The temporary files and folders an interruption removes, kept where a signal handler can read
// them: fixed slots of plain memory, filled by remove_on_interrupt, emptied by
// forget_on_interrupt (interrupts.cpp), and the system's side: its handlers and the removal
// itself (interrupts_posix.cpp, interrupts_windows.cpp).
#pragma once

#include <atomic>
#include <cstddef>

namespace terrapivoter {

namespace platform::detail {

// A path longer than a slot cannot be registered and its file would be left behind on an
// interruption; its name still marks it as temporary.
inline constexpr std::size_t kSlots = 8;
inline constexpr std::size_t kSlotBytes = 4096;

struct InterruptSlots {
    char paths[kSlots][kSlotBytes];
    std::atomic<bool> used[kSlots];
    std::atomic<bool> is_folder[kSlots];
};
extern InterruptSlots interrupt_slots;

// Installs the handlers that call remove_registered_files (once, before the first path is
// registered).
void install_interrupt_handlers();

// Removes every registered file and folder, with what a signal handler may call.
void remove_registered_files();

}  // namespace platform::detail

}  // namespace terrapivoter
