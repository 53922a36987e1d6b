// Files on POSIX systems.
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/system.h"

namespace terrapivoter {

namespace platform {

using detail::injected;

std::FILE* open_for_reading(const std::string& host, bool text) {
    if (host.find('\0') != std::string::npos) return nullptr;
    return std::fopen(host.c_str(), text ? "r" : "rb");
}

std::optional<uint64_t> regular_file_size(std::FILE* f) {
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

int64_t read_at(std::FILE* f, uint64_t offset, void* buffer, std::size_t size) {
    if (injected(Call::read)) return -1;
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got =
            pread(fileno(f), bytes + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<int64_t>(done);
}

namespace detail {

std::FILE* open_new_file(const std::string& host, bool text, bool readable) {
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
}

bool is_terminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

}  // namespace detail

bool sync_to_disk(std::FILE* f) {
    if (injected(Call::sync)) return false;
    // Some file systems (pipes aside) cannot sync; that is not a write error.
    return fsync(fileno(f)) == 0 || errno == EINVAL || errno == ENOTSUP;
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

bool truncate_at(std::FILE* f, uint64_t size) {
    return ftruncate(fileno(f), static_cast<off_t>(size)) == 0;
}

bool seek_to(std::FILE* f, uint64_t offset) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool write_at(std::FILE* f, uint64_t offset, const void* data, std::size_t size) {
    if (injected(Call::write)) return false;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote =
            pwrite(fileno(f), bytes + done, size - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool sync_file(const std::string& host) {
    if (injected(Call::sync)) return false;
    const int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

bool replace_file(const std::string& from, const std::string& to) {
    if (injected(Call::rename)) return false;
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool link_file(const std::string& from, const std::string& to) {
    return link(from.c_str(), to.c_str()) == 0;
}

bool file_exists(const std::string& host) {
    struct stat st {};
    return stat(host.c_str(), &st) == 0;
}

std::string link_target(const std::string& host) {
    std::string path = host;
    // As many links as the system itself follows before it gives up (ELOOP).
    for (int links = 0; links < 40; ++links) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return path;
        target.resize(static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        path = target.front() == '/' || slash == std::string::npos
                   ? target
                   : path.substr(0, slash + 1) + target;
    }
    return path;
}

bool copy_permissions(const std::string& from, const std::string& to) {
    struct stat st {};
    if (stat(from.c_str(), &st) != 0) return true;
    return chmod(to.c_str(), st.st_mode & 07777) == 0;
}

bool remove_file(const std::string& host) {
    return std::remove(host.c_str()) == 0;
}

bool create_new_folder(const std::string& host) {
    if (injected(Call::create)) return false;
    return mkdir(host.c_str(), 0700) == 0;
}

std::optional<std::vector<std::string>> folder_entries(const std::string& host) {
    std::vector<std::string> names;
    DIR* folder = opendir(host.c_str());
    if (folder == nullptr) return std::nullopt;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
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
    return rmdir(host.c_str()) == 0;
}

}  // namespace platform

}  // namespace terrapivoter
