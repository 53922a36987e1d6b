// A file as the program opens it and as it names it to the user. In the dialogue the user sees
// "c:\images\dem1\site.asc" and, on POSIX, the program opens c:/images/dem1/site.asc; on the
// command line both are the path as typed.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace terrapivoter {

struct FileName {
    std::string host;   // what the system opens
    std::string shown;  // what messages name

    FileName() = default;
    // A path that is opened and shown as it stands.
    FileName(std::string path) : host(path), shown(std::move(path)) {}  // NOLINT: implicit
    FileName(std::string host_path, std::string shown_path)
        : host(std::move(host_path)), shown(std::move(shown_path)) {}
    FileName(const char* path) : FileName(std::string(path)) {}  // NOLINT: implicit

    // The same name with `suffix` appended, as both the system and the user see it.
    FileName operator+(std::string_view suffix) const {
        return {host + std::string(suffix), shown + std::string(suffix)};
    }
};

}  // namespace terrapivoter
