#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#if defined(__GLIBC__) || defined(_WIN32)
#include <malloc.h>
#endif
#include <sys/stat.h>
#if defined(_WIN32)
#include <conio.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

struct ArmedFault {
    std::atomic<int> error{0};
    std::atomic<int> successes_left{0};
};
ArmedFault armed_faults[5];

// True, with errno set, when a test armed a failure of `call` and its turn has come.
bool injected(Call call) {
    ArmedFault& fault = armed_faults[static_cast<int>(call)];
    if (fault.error.load(std::memory_order_relaxed) == 0) return false;
    if (fault.successes_left.fetch_sub(1) > 0) return false;
    const int error = fault.error.exchange(0);
    if (error == 0) return false;
    errno = error;
    return true;
}

}  // namespace

namespace faults {
void fail_next(Call call, int error, unsigned successes) {
    ArmedFault& fault = armed_faults[static_cast<int>(call)];
    fault.successes_left.store(static_cast<int>(successes));
    fault.error.store(error);
}
void clear() {
    for (ArmedFault& fault : armed_faults)
        fault.error.store(0);
}
}  // namespace faults

void prepare_process() {
#if !defined(_WIN32)
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

std::string host_path(const std::string& displayed) {
#if defined(_WIN32)
    return displayed;
#else
    std::string host = displayed;
    for (char& c : host) {
        if (c == '\\') c = '/';
    }
    return host;
#endif
}

namespace {
bool is_terminal(std::FILE* stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}
}  // namespace

bool stdin_is_terminal() {
    return is_terminal(stdin);
}
bool stderr_is_terminal() {
    return is_terminal(stderr);
}

void wait_for_key() {
    if (!stdin_is_terminal()) return;
#if defined(_WIN32)
    (void)_getch();
#else
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
#endif
}

std::FILE* open_for_reading(const std::string& host, bool text) {
    if (host.find('\0') != std::string::npos) return nullptr;
    return std::fopen(host.c_str(), text ? "r" : "rb");
}

std::optional<uint64_t> regular_file_size(std::FILE* f) {
#if defined(_WIN32)
    struct _stat64 st {};
    if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFREG) == 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
#else
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
#endif
}

std::unique_ptr<MappedFile> MappedFile::map(std::FILE* f, bool read_ahead) {
#if defined(_WIN32)
    (void)f;
    (void)read_ahead;
    return nullptr;
#else
    const auto size = regular_file_size(f);
    if (!size || *size == 0 || *size > SIZE_MAX) return nullptr;
    int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
    if (read_ahead) flags |= MAP_POPULATE;
#else
    (void)read_ahead;
#endif
    void* base = mmap(nullptr, static_cast<std::size_t>(*size), PROT_READ, flags, fileno(f), 0);
    if (base == MAP_FAILED) return nullptr;
    return std::unique_ptr<MappedFile>(new MappedFile(base, static_cast<std::size_t>(*size)));
#endif
}

MappedFile::~MappedFile() {
#if !defined(_WIN32)
    munmap(base_, size_);
#endif
}

int64_t read_at(std::FILE* f, uint64_t offset, void* buffer, std::size_t size) {
    if (injected(Call::read)) return -1;
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
#if defined(_WIN32)
        static std::mutex seek_mutex;
        std::lock_guard lock(seek_mutex);
        if (_fseeki64(f, static_cast<long long>(offset + done), SEEK_SET) != 0) return -1;
        const std::size_t got = std::fread(bytes + done, 1, size - done, f);
        if (got == 0) return std::ferror(f) ? -1 : static_cast<int64_t>(done);
#else
        const ssize_t got =
            pread(fileno(f), bytes + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
#endif
        done += static_cast<std::size_t>(got);
    }
    return static_cast<int64_t>(done);
}

int64_t read_some(std::FILE* f, void* buffer, std::size_t size) {
    if (injected(Call::read)) return -1;
    const std::size_t got = std::fread(buffer, 1, size, f);
    if (got == 0 && std::ferror(f)) return -1;
    return static_cast<int64_t>(got);
}

std::FILE* create_new_file(const std::string& host, bool text, bool readable) {
    if (injected(Call::create)) return nullptr;
    if (host.find('\0') != std::string::npos) {
        errno = EINVAL;
        return nullptr;
    }
#if defined(_WIN32)
    int fd =
        _open(host.c_str(),
              _O_CREAT | _O_EXCL | (readable ? _O_RDWR : _O_WRONLY) | (text ? _O_TEXT : _O_BINARY),
              _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* f = _fdopen(fd, readable ? (text ? "w+" : "w+b") : (text ? "w" : "wb"));
    if (f == nullptr) _close(fd);
    return f;
#else
    int fd =
        open(host.c_str(), O_CREAT | O_EXCL | (readable ? O_RDWR : O_WRONLY) | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, readable ? (text ? "w+" : "w+b") : (text ? "w" : "wb"));
    if (f == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
#endif
}

bool write_all(std::FILE* f, const void* data, std::size_t size) {
    if (injected(Call::write)) return false;
    return size == 0 || std::fwrite(data, 1, size, f) == size;
}

bool sync_to_disk(std::FILE* f) {
    if (injected(Call::sync)) return false;
#if defined(_WIN32)
    return _commit(_fileno(f)) == 0;
#else
    // Some file systems (pipes aside) cannot sync; that is not a write error.
    return fsync(fileno(f)) == 0 || errno == EINVAL || errno == ENOTSUP;
#endif
}

void start_writing_out(std::FILE* f, uint64_t offset, uint64_t size) {
    if (std::fflush(f) != 0) return;  // the error stays on the stream for finish to report
    start_writing_range_out(f, offset, size);
}

void start_writing_range_out(std::FILE* f, uint64_t offset, uint64_t size) {
#if defined(__linux__)
    sync_file_range(fileno(f), static_cast<off64_t>(offset), static_cast<off64_t>(size),
                    SYNC_FILE_RANGE_WRITE);
#else
    (void)f;
    (void)offset;
    (void)size;
#endif
}

bool seek_to(std::FILE* f, uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(f, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool write_at(std::FILE* f, uint64_t offset, const void* data, std::size_t size) {
    if (injected(Call::write)) return false;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
#if defined(_WIN32)
        static std::mutex seek_mutex;
        std::lock_guard lock(seek_mutex);
        const int fd = _fileno(f);
        if (_lseeki64(fd, static_cast<long long>(offset + done), SEEK_SET) < 0) return false;
        const int wrote = _write(
            fd, bytes + done, static_cast<unsigned>(std::min<std::size_t>(size - done, 1u << 30)));
#else
        const ssize_t wrote =
            pwrite(fileno(f), bytes + done, size - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) continue;
#endif
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool sync_file(const std::string& host) {
    if (injected(Call::sync)) return false;
#if defined(_WIN32)
    std::FILE* f = std::fopen(host.c_str(), "r+b");
    if (f == nullptr) return false;
    const bool synced = _commit(_fileno(f)) == 0;
    std::fclose(f);
    return synced;
#else
    const int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
#endif
}

bool replace_file(const std::string& from, const std::string& to) {
    if (injected(Call::rename)) return false;
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool link_file(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return CreateHardLinkA(to.c_str(), from.c_str(), nullptr) != 0;
#else
    return link(from.c_str(), to.c_str()) == 0;
#endif
}

bool file_exists(const std::string& host) {
#if defined(_WIN32)
    struct _stat64 st {};
    return _stat64(host.c_str(), &st) == 0;
#else
    struct stat st {};
    return stat(host.c_str(), &st) == 0;
#endif
}

bool remove_file(const std::string& host) {
    return std::remove(host.c_str()) == 0;
}

bool create_new_folder(const std::string& host) {
    if (injected(Call::create)) return false;
#if defined(_WIN32)
    if (CreateDirectoryA(host.c_str(), nullptr) != 0) return true;
    errno = GetLastError() == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
    return false;
#else
    return mkdir(host.c_str(), 0700) == 0;
#endif
}

std::optional<std::vector<std::string>> folder_entries(const std::string& host) {
    std::vector<std::string> names;
#if defined(_WIN32)
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((host + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return std::nullopt;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found) != 0);
    FindClose(search);
#else
    DIR* folder = opendir(host.c_str());
    if (folder == nullptr) return std::nullopt;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
#endif
    std::sort(names.begin(), names.end());
    return names;
}

bool remove_tree(const std::string& host) {
    if (const auto names = folder_entries(host)) {
        for (const std::string& name : *names) {
            const std::string path = host + "/" + name;
            if (!remove_file(path)) remove_tree(path);
        }
    }
#if defined(_WIN32)
    return RemoveDirectoryA(host.c_str()) != 0;
#else
    return rmdir(host.c_str()) == 0;
#endif
}

unsigned long process_id() {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentProcessId());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

std::string program_folder() {
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return "";
    std::string file(path, length);
#elif defined(__linux__)
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
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot be loaded (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    void* symbol = reinterpret_cast<void*>(GetProcAddress(module, entry));
    if (symbol == nullptr) error = std::string("has no ") + entry;
    return symbol;
#else
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
#endif
}

PreparedGridMemory::PreparedGridMemory(
    std::size_t bytes, const std::function<void(char* block, std::size_t bytes)>& fault_in) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    // The heap, not a mapping of its own, serves the block (a mapping would be returned to the
    // system on free), and it keeps the block when it is freed.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    void* block = std::malloc(bytes);
    if (block == nullptr) return;
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    const auto first = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    const auto last = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    fault_in(static_cast<char*>(block), bytes);
    std::free(block);
#else
    (void)bytes;
    (void)fault_in;
#endif
}

LargeBlock::LargeBlock(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHuge = std::size_t{1} << 21;
    // One huge page more, so that the block can start on a huge page's boundary.
    const std::size_t size = (bytes + 2 * kHuge - 1) & ~(kHuge - 1);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    mapped_ = size;
    const auto first = (reinterpret_cast<uintptr_t>(base) + kHuge - 1) & ~(kHuge - 1);
    madvise(reinterpret_cast<void*>(first), size - kHuge, MADV_HUGEPAGE);
    data_ = reinterpret_cast<void*>(first);
    base_ = base;
#else
    data_ = std::malloc(bytes);
#endif
}

LargeBlock::~LargeBlock() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (mapped_ > 0) munmap(base_, mapped_);
#else
    std::free(data_);
#endif
}

PreparedGridMemory::~PreparedGridMemory() {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    // glibc's defaults, except that setting any of these fixes its otherwise growing mmap
    // threshold: pinned where growth would take it (and the trim threshold at twice that), so
    // that libraries' large buffers keep coming from the heap.
    mallopt(M_MMAP_MAX, 65536);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

void return_free_memory(std::size_t released) {
#if defined(__GLIBC__)
    if (released >= kLargeGridBytes) malloc_trim(0);
#else
    (void)released;
#endif
}

std::size_t heap_block_bytes(void* block) {
#if defined(__GLIBC__)
    return malloc_usable_size(block);
#elif defined(_WIN32)
    return _msize(block);
#else
    (void)block;
    return 0;
#endif
}

std::optional<uint64_t> physical_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
    return static_cast<uint64_t>(status.ullTotalPhys);
#else
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::nullopt;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
#endif
}

std::string last_error_text() {
    return std::strerror(errno);
}

namespace {

// The signal handler may only touch plain memory, so registered paths live in fixed slots.
// A path longer than a slot cannot be registered and its file would be left behind on an
// interruption; its name still marks it as temporary.
constexpr std::size_t kSlots = 8;
constexpr std::size_t kSlotBytes = 4096;
char slot_paths[kSlots][kSlotBytes];
std::atomic<bool> slot_used[kSlots];
std::atomic<bool> slot_is_folder[kSlots];
std::mutex slot_mutex;
std::once_flag handlers_installed;

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
                if (unlinkat(fd, name, 0) == 0) {
                    removed = true;
                } else if (depth > 0 && remove_tree_from_handler(fd, name, depth - 1)) {
                    removed = true;
                }
            }
        }
    }
    close(fd);
    return unlinkat(parent, at, AT_REMOVEDIR) == 0;
}
#endif

void remove_registered_files() {
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (!slot_used[i].load()) continue;
#if defined(_WIN32)
        if (slot_is_folder[i].load()) {
            remove_tree(slot_paths[i]);
        } else {
            _unlink(slot_paths[i]);
        }
#else
        if (!slot_is_folder[i].load()) {
            unlink(slot_paths[i]);
        } else {
#if defined(__linux__)
            remove_tree_from_handler(AT_FDCWD, slot_paths[i], 3);
#else
            rmdir(slot_paths[i]);
#endif
        }
#endif
    }
}

#if defined(_WIN32)
BOOL WINAPI on_console_interrupt(DWORD) {
    remove_registered_files();
    return FALSE;
}
#else
void on_interrupt(int sig) {
    remove_registered_files();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}
#endif

void install_handlers() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(on_console_interrupt, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        sigaction(sig, nullptr, &previous);
        // A signal ignored by whoever started us (nohup, a shell's background job) stays so.
        if (previous.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
    }
#endif
}

}  // namespace

namespace {

void register_for_interrupt(const std::string& host, bool folder) {
    std::call_once(handlers_installed, install_handlers);
    if (host.size() >= kSlotBytes) return;
    std::lock_guard lock(slot_mutex);
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (!slot_used[i].load()) {
            std::memcpy(slot_paths[i], host.c_str(), host.size() + 1);
            slot_is_folder[i].store(folder);
            slot_used[i].store(true);
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
    std::lock_guard lock(slot_mutex);
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (slot_used[i].load() && host == slot_paths[i]) {
            slot_used[i].store(false);
            return;
        }
    }
}

InterruptsHeld::InterruptsHeld() : saved_{} {
#if !defined(_WIN32)
    static_assert(sizeof(sigset_t) <= sizeof saved_);
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
#endif
}

InterruptsHeld::~InterruptsHeld() {
#if !defined(_WIN32)
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
#endif
}

}  // namespace platform
