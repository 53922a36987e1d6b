// Files and streams as every system has them: the stdio calls, the fault seam and the checks
// around what differs (system.h).
#include <cerrno>
#include <cstdio>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/system.h"

namespace terrapivoter::platform {

using detail::injected;

int64_t read_some(std::FILE* f, void* buffer, std::size_t size) {
    if (injected(Call::read)) return -1;
    const std::size_t got = std::fread(buffer, 1, size, f);
    if (got == 0 && std::ferror(f)) return -1;
    return static_cast<int64_t>(got);
}

std::FILE* create_new_file(const std::string& host, bool text, bool readable) {
    if (injected(Call::create)) return nullptr;
    // A name with a NUL in it would be cut short there: another file.
    if (host.find('\0') != std::string::npos) {
        errno = EINVAL;
        return nullptr;
    }
    return detail::open_new_file(host, text, readable);
}

bool write_all(std::FILE* f, const void* data, std::size_t size) {
    if (injected(Call::write)) return false;
    return size == 0 || std::fwrite(data, 1, size, f) == size;
}

bool stdin_is_terminal() {
    return detail::is_terminal(stdin);
}

bool stderr_is_terminal() {
    return detail::is_terminal(stderr);
}

}  // namespace terrapivoter::platform
