// The process and its surroundings on Windows.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

void prepare_process() {}

std::string host_path(const std::string& displayed) {
    return displayed;
}

void wait_for_key() {
    if (!stdin_is_terminal()) return;
    (void)_getch();
}

unsigned long user_id() {
    return 0;
}

bool process_exists(unsigned long id) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

unsigned long process_id() {
    return static_cast<unsigned long>(GetCurrentProcessId());
}

std::string program_folder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return "";
    std::string file(path, length);
    const std::size_t slash = file.find_last_of("/\\");
    return slash == std::string::npos ? "" : file.substr(0, slash);
}

void* load_module(const std::string& path, const char* entry, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot be loaded (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    void* symbol = reinterpret_cast<void*>(GetProcAddress(module, entry));
    if (symbol == nullptr) error = std::string("has no ") + entry;
    return symbol;
}

std::optional<uint64_t> physical_memory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
    return static_cast<uint64_t>(status.ullTotalPhys);
}

std::optional<uint64_t> available_memory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
    return static_cast<uint64_t>(status.ullAvailPhys);
}

std::FILE* open_locked_shared_file(const std::string& host) {
    // Opened with no sharing: another run waits until this one closes it.
    for (int attempt = 0; attempt < 2000; ++attempt) {
        HANDLE h = CreateFileA(host.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR);
            if (fd < 0) {
                CloseHandle(h);
                return nullptr;
            }
            std::FILE* f = _fdopen(fd, "r+");
            if (f == nullptr) _close(fd);
            return f;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) return nullptr;
        Sleep(5);
    }
    return nullptr;
}

std::string shared_run_folder() {
    char path[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof path, path);
    return length > 0 && length <= MAX_PATH ? std::string(path, length) : ".";
}

std::string last_error_text() {
    return std::strerror(errno);
}

}  // namespace platform

}  // namespace terrapivoter
