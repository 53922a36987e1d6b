// Windows names its files in UTF-16; the program's names are UTF-8 (what a UTF-8 terminal, a
// script or the command line gives it), converted at each call to the system.
#pragma once

#include <string>

namespace terrapivoter::platform::detail {

std::wstring wide(const std::string& utf8);
std::string utf8(const std::wstring& wide);

// Sets errno from the calling thread's last Windows error, for the messages that name it.
void errno_from_last_error();

}  // namespace terrapivoter::platform::detail
