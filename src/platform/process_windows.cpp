// The process and its surroundings on Windows.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/platform.h"
#include "platform/text_windows.h"

namespace terrapivoter {

namespace platform {

namespace {

// The console read in UTF-16 and handed on as UTF-8, whatever its code page: the dialogue's
// answers name files. Lines end with "\n" as in text mode; Ctrl+Z at the start of a line ends
// the input, as it does for the console's own readers.
class ConsoleInput : public std::streambuf {
  public:
    explicit ConsoleInput(HANDLE console) : console_(console) {}

  protected:
    int_type underflow() override {
        while (gptr() == egptr()) {
            wchar_t chars[1024];
            DWORD start = 0;
            if (pending_ != 0) chars[start++] = pending_;
            pending_ = 0;
            DWORD got = 0;
            if (!ReadConsoleW(console_, chars + start, 1024 - start, &got, nullptr)) {
                return traits_type::eof();
            }
            got += start;
            if (got == 0 || chars[0] == 0x1A) return traits_type::eof();
            // Half of a character beyond the basic plane waits for its other half.
            if (IS_HIGH_SURROGATE(chars[got - 1])) pending_ = chars[--got];
            std::wstring line;
            for (DWORD k = 0; k < got; ++k) {
                if (!(chars[k] == L'\r' && k + 1 < got && chars[k + 1] == L'\n')) {
                    line.push_back(chars[k]);
                }
            }
            text_ = detail::utf8(line);
            setg(text_.data(), text_.data(), text_.data() + text_.size());
        }
        return traits_type::to_int_type(*gptr());
    }

  private:
    HANDLE console_;
    wchar_t pending_ = 0;
    std::string text_;
};

bool is_console(DWORD stream) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

UINT saved_output_page = 0;

void restore_output_page() {
    SetConsoleOutputCP(saved_output_page);
}

}  // namespace

void prepare_process() {
    if (is_console(STD_INPUT_HANDLE)) {
        static ConsoleInput input(GetStdHandle(STD_INPUT_HANDLE));
        std::cin.rdbuf(&input);
    }
    // Names written in UTF-8 shown as such, and the console left as it was found.
    if (is_console(STD_OUTPUT_HANDLE) || is_console(STD_ERROR_HANDLE)) {
        saved_output_page = GetConsoleOutputCP();
        if (SetConsoleOutputCP(CP_UTF8)) std::atexit(restore_output_page);
    }
}

std::vector<std::string> program_arguments(int argc, char** argv) {
    (void)argc;
    (void)argv;
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int k = 1; k < count; ++k)
        arguments.push_back(detail::utf8(words[k]));
    LocalFree(words);
    return arguments;
}

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
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return "";
    const std::string file = detail::utf8(std::wstring(path, length));
    const std::size_t slash = file.find_last_of("/\\");
    return slash == std::string::npos ? "" : file.substr(0, slash);
}

void* load_module(const std::string& path, const char* entry, std::string& error) {
    HMODULE module = LoadLibraryW(detail::wide(path).c_str());
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
        HANDLE h = CreateFileW(detail::wide(host).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    return length > 0 && length <= MAX_PATH ? detail::utf8(std::wstring(path, length)) : ".";
}

std::string last_error_text() {
    return std::strerror(errno);
}

}  // namespace platform

}  // namespace terrapivoter
