// Files on Windows.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "platform/text_windows.h"

namespace terrapivoter {

namespace platform {

using detail::errno_from_last_error;
using detail::injected;
using detail::wide;

std::FILE* open_for_reading(const std::string& host, bool text) {
    if (host.find('\0') != std::string::npos) return nullptr;
    return _wfopen(wide(host).c_str(), text ? L"r" : L"rb");
}

std::optional<uint64_t> regular_file_size(std::FILE* f) {
    struct _stat64 st {};
    if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFREG) == 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

int64_t read_at(std::FILE* f, uint64_t offset, void* buffer, std::size_t size) {
    if (injected(Call::read)) return -1;
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        static std::mutex seek_mutex;
        std::lock_guard lock(seek_mutex);
        if (_fseeki64(f, static_cast<long long>(offset + done), SEEK_SET) != 0) return -1;
        const std::size_t got = std::fread(bytes + done, 1, size - done, f);
        if (got == 0) return std::ferror(f) ? -1 : static_cast<int64_t>(done);
        done += static_cast<std::size_t>(got);
    }
    return static_cast<int64_t>(done);
}

namespace detail {

std::FILE* open_new_file(const std::string& host, bool text, bool readable) {
    // Text files too are written as bytes: a line ends with "\n" as on every other system, so
    // that a grid or descriptor made here is the same file as one made there (readers in text
    // mode, GDAL's and ours, take either ending).
    (void)text;
    // Shared for deletion, so that an interruption can remove the file while it is written.
    HANDLE h = CreateFileW(wide(host).c_str(), GENERIC_WRITE | (readable ? GENERIC_READ : 0),
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno_from_last_error();
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                                   _O_BINARY | (readable ? _O_RDWR : _O_WRONLY));
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, readable ? "w+b" : "wb");
    if (f == nullptr) _close(fd);
    return f;
}

bool is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace detail

bool sync_to_disk(std::FILE* f) {
    if (injected(Call::sync)) return false;
    return _commit(_fileno(f)) == 0;
}

void start_writing_out(std::FILE* f, uint64_t offset, uint64_t size) {
    if (std::fflush(f) != 0) return;  // the error stays on the stream for finish to report
    start_writing_range_out(f, offset, size);
}

void start_writing_range_out(std::FILE* f, uint64_t offset, uint64_t size) {
    (void)f;
    (void)offset;
    (void)size;
}

bool truncate_at(std::FILE* f, uint64_t size) {
    return _chsize_s(_fileno(f), static_cast<long long>(size)) == 0;
}

bool seek_to(std::FILE* f, uint64_t offset) {
    return _fseeki64(f, static_cast<long long>(offset), SEEK_SET) == 0;
}

bool write_at(std::FILE* f, uint64_t offset, const void* data, std::size_t size) {
    if (injected(Call::write)) return false;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        static std::mutex seek_mutex;
        std::lock_guard lock(seek_mutex);
        const int fd = _fileno(f);
        if (_lseeki64(fd, static_cast<long long>(offset + done), SEEK_SET) < 0) return false;
        const int wrote = _write(
            fd, bytes + done, static_cast<unsigned>(std::min<std::size_t>(size - done, 1u << 30)));
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool sync_file(const std::string& host) {
    if (injected(Call::sync)) return false;
    std::FILE* f = _wfopen(wide(host).c_str(), L"r+b");
    if (f == nullptr) return false;
    const bool synced = _commit(_fileno(f)) == 0;
    std::fclose(f);
    return synced;
}

bool replace_file(const std::string& from, const std::string& to) {
    if (injected(Call::rename)) return false;
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return true;
    }
    errno_from_last_error();
    return false;
}

bool link_file(const std::string& from, const std::string& to) {
    if (CreateHardLinkW(wide(to).c_str(), wide(from).c_str(), nullptr) != 0) return true;
    errno_from_last_error();
    return false;
}

bool file_exists(const std::string& host) {
    struct _stat64 st {};
    return _wstat64(wide(host).c_str(), &st) == 0;
}

std::string link_target(const std::string& host) {
    return host;
}

bool copy_permissions(const std::string& from, const std::string& to) {
    struct _stat64 st {};
    if (_wstat64(wide(from).c_str(), &st) != 0) return true;
    return _wchmod(wide(to).c_str(), st.st_mode & (_S_IREAD | _S_IWRITE)) == 0;
}

bool remove_file(const std::string& host) {
    return _wremove(wide(host).c_str()) == 0;
}

bool create_new_folder(const std::string& host) {
    if (injected(Call::create)) return false;
    if (CreateDirectoryW(wide(host).c_str(), nullptr) != 0) return true;
    errno_from_last_error();
    return false;
}

std::optional<std::vector<std::string>> folder_entries(const std::string& host) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(host + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return std::nullopt;
    do {
        const std::string name = detail::utf8(found.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
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
    return RemoveDirectoryW(wide(host).c_str()) != 0;
}

}  // namespace platform

}  // namespace terrapivoter
