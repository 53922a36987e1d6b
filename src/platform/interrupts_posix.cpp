// Interruptions on POSIX systems: SIGINT, SIGTERM and SIGHUP remove the registered files and
// folders, then end the process with the signal's own status.
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/interrupts.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

namespace {

#if defined(__linux__)
// What a folder at `at` (relative to the folder `parent`) holds, then the folder itself,
// removed with system calls alone, as a signal handler may: no memory is allocated. A driver
// writes a folder or two deep (Zarr's chunks); deeper ones stay.
bool remove_tree_from_handler(int parent, const char* at, int depth) {
    const int fd = openat(parent, at, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    alignas(8) char buffer[2048];
    // Passes over the folder until one removes nothing: removing entries while reading them
    // may skip some.
    for (bool removed = true; removed;) {
        removed = false;
        lseek(fd, 0, SEEK_SET);
        long got = 0;
        while ((got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
            for (long offset = 0; offset < got;) {
                struct Entry {
                    uint64_t inode;
                    int64_t next;
                    unsigned short length;
                    unsigned char type;
                    char name[1];
                };
                const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
                offset += entry->length;
                const char* name = entry->name;
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                    continue;
                if (unlinkat(fd, name, 0) == 0 ||
                    (depth > 0 && remove_tree_from_handler(fd, name, depth - 1))) {
                    removed = true;
                }
            }
        }
    }
    close(fd);
    return unlinkat(parent, at, AT_REMOVEDIR) == 0;
}
#endif

void on_interrupt(int sig) {
    detail::remove_registered_files();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

void detail::remove_registered_files() {
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (!interrupt_slots.used[i].load()) continue;
        if (!interrupt_slots.is_folder[i].load()) {
            unlink(interrupt_slots.paths[i]);
        } else {
#if defined(__linux__)
            remove_tree_from_handler(AT_FDCWD, interrupt_slots.paths[i], 3);
#else
            rmdir(interrupt_slots.paths[i]);
#endif
        }
    }
}

void detail::install_interrupt_handlers() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        sigaction(sig, nullptr, &previous);
        // A signal ignored by whoever started us (nohup, a shell's background job) stays so.
        if (previous.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
    }
}

InterruptsHeld::InterruptsHeld() : saved_{} {
    static_assert(sizeof(sigset_t) <= sizeof saved_);
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
}

InterruptsHeld::~InterruptsHeld() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

}  // namespace platform

}  // namespace terrapivoter
