// What each system's files give the code that every system shares (files.cpp): the few calls
// that differ, behind one name.
#pragma once

#include <cstdio>
#include <string>

namespace terrapivoter::platform::detail {

// A new file at `host` (none may be there), opened for writing (and reading when `readable`),
// as text or binary; null with errno set when it cannot be made.
std::FILE* open_new_file(const std::string& host, bool text, bool readable);

// Whether `stream` is a terminal.
bool is_terminal(std::FILE* stream);

}  // namespace terrapivoter::platform::detail
