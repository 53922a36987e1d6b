// Interruptions on Windows: Ctrl+C and Ctrl+Break remove the registered files and folders.
#include <io.h>
#include <windows.h>

#include "platform/interrupts.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

namespace {

BOOL WINAPI on_console_interrupt(DWORD) {
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
            _unlink(interrupt_slots.paths[i]);
        }
    }
}

void detail::install_interrupt_handlers() {
    SetConsoleCtrlHandler(on_console_interrupt, TRUE);
}

InterruptsHeld::InterruptsHeld() : saved_{} {}

InterruptsHeld::~InterruptsHeld() {}

}  // namespace platform

}  // namespace terrapivoter
