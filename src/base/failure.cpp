#include "base/failure.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>

namespace terrapivoter {

namespace {
std::atomic<bool> warnings_silenced{false};
}

void silence_warnings(bool silent) {
    warnings_silenced = silent;
}

void warn(const std::string& text) {
    if (warnings_silenced) return;
    std::fflush(stdout);
    std::fprintf(stderr, "terrapivoter: warning: %s\n", text.c_str());
}

void warn_once(const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> said;
    {
        const std::lock_guard lock(mutex);
        if (!said.insert(text).second) return;
    }
    warn(text);
}

std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    if (text.size() > kShown) out += "...";
    out += "\"";
    return out;
}

}  // namespace terrapivoter
