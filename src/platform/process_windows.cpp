// The process and its surroundings on Windows.
#include <cerrno>
#include <cstring>

#include <conio.h>
#include <io.h>
#include <windows.h>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

void prepare_process() {}

std::string host_path(const std::string& displayed) {
    return displayed;
}

namespace {
bool is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
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
    (void)_getch();
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

std::string last_error_text() {
    return std::strerror(errno);
}

}  // namespace platform

}  // namespace terrapivoter
