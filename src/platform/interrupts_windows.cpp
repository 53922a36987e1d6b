// Interruptions on Windows: Ctrl+C, Ctrl+Break, the console window closed, the user logging off
// or the system shutting down. The registered files and folders are removed, then the system
// ends the process as it would have (its default handler).
#include <mutex>

#include <windows.h>

#include "platform/interrupts.h"
#include "platform/platform.h"
#include "platform/text_windows.h"

namespace terrapivoter {

namespace platform {

namespace {

// Held by InterruptsHeld, and by the handler for good once it has started: renames that belong
// together finish first, and none starts after the removal.
std::recursive_mutex& held_back() {
    static std::recursive_mutex mutex;
    return mutex;
}

// The handler runs on a thread of its own while the work goes on. Files being written are
// shared for deletion (files_windows.cpp), so they can go at once; the system closes them as
// the process ends.
BOOL WINAPI on_console_event(DWORD) {
    held_back().lock();
    detail::remove_registered_files();
    return FALSE;
}

}  // namespace

void detail::remove_registered_files() {
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (!interrupt_slots.used[i].load()) continue;
        if (interrupt_slots.is_folder[i].load()) {
            remove_tree(interrupt_slots.paths[i]);
        } else {
            DeleteFileW(wide(interrupt_slots.paths[i]).c_str());
        }
    }
}

void detail::install_interrupt_handlers() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptsHeld::InterruptsHeld() : saved_{} {
    held_back().lock();
}

InterruptsHeld::~InterruptsHeld() {
    held_back().unlock();
}

}  // namespace platform

}  // namespace terrapivoter
