// The process and its surroundings on POSIX systems: signals it must not die of, terminals,
// its own folder, shared modules, the machine's memory, the system's words for an error.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

void prepare_process() {
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> program_arguments(int argc, char** argv) {
    return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

std::string host_path(const std::string& displayed) {
    std::string host = displayed;
    for (char& c : host) {
        if (c == '\\') c = '/';
    }
    return host;
}

void wait_for_key() {
    if (!stdin_is_terminal()) return;
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
    char key = 0;
    ssize_t got;
    do {
        got = read(STDIN_FILENO, &key, 1);
    } while (got < 0 && errno == EINTR);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

unsigned long user_id() {
    return static_cast<unsigned long>(getuid());
}

bool process_exists(unsigned long id) {
    const auto pid = static_cast<pid_t>(id);
    if (pid <= 0 || static_cast<unsigned long>(pid) != id) return false;
    return kill(pid, 0) == 0 || errno != ESRCH;
}

unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
}

std::string program_folder() {
#if defined(__linux__)
    std::string file(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", file.data(), file.size());
    if (length <= 0 || static_cast<std::size_t>(length) == file.size()) return "";
    file.resize(static_cast<std::size_t>(length));
#else
    std::string file;
#endif
    const std::size_t slash = file.find_last_of("/\\");
    return slash == std::string::npos ? "" : file.substr(0, slash);
}

void* load_module(const std::string& path, const char* entry, std::string& error) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot be loaded";
        return nullptr;
    }
    void* symbol = dlsym(module, entry);
    if (symbol == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : std::string("has no ") + entry;
    }
    return symbol;
}

std::optional<uint64_t> physical_memory() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::nullopt;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

std::optional<uint64_t> available_memory() {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (f == nullptr) return std::nullopt;
    char line[256];
    std::optional<uint64_t> available;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long kib = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
            available = static_cast<uint64_t>(kib) * 1024;
            break;
        }
    }
    std::fclose(f);
    return available;
}

std::FILE* open_locked_shared_file(const std::string& host) {
    const int fd = open(host.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return nullptr;
        }
    }
    std::FILE* f = fdopen(fd, "r+");
    if (f == nullptr) close(fd);  // the lock goes with the descriptor
    return f;
}

std::string shared_run_folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') return runtime;
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
}

std::string last_error_text() {
    return std::strerror(errno);
}

}  // namespace platform

}  // namespace terrapivoter
