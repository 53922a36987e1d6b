#include "platform/interrupts.h"

#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

detail::InterruptSlots detail::interrupt_slots;

namespace {

std::mutex slot_mutex;
std::once_flag handlers_installed;

void register_for_interrupt(const std::string& host, bool folder) {
    std::call_once(handlers_installed, detail::install_interrupt_handlers);
    if (host.size() >= detail::kSlotBytes) return;
    detail::InterruptSlots& slots = detail::interrupt_slots;
    std::lock_guard lock(slot_mutex);
    for (std::size_t i = 0; i < detail::kSlots; ++i) {
        if (!slots.used[i].load()) {
            std::memcpy(slots.paths[i], host.c_str(), host.size() + 1);
            slots.is_folder[i].store(folder);
            slots.used[i].store(true);
            return;
        }
    }
}

}  // namespace

void remove_on_interrupt(const std::string& host) {
    register_for_interrupt(host, false);
}

void remove_folder_on_interrupt(const std::string& host) {
    register_for_interrupt(host, true);
}

void forget_on_interrupt(const std::string& host) {
    detail::InterruptSlots& slots = detail::interrupt_slots;
    std::lock_guard lock(slot_mutex);
    for (std::size_t i = 0; i < detail::kSlots; ++i) {
        if (slots.used[i].load() && host == slots.paths[i]) {
            slots.used[i].store(false);
            return;
        }
    }
}

}  // namespace platform

}  // namespace terrapivoter
