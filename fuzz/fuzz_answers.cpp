// The dialogue's answer reader on arbitrary input: every question ends with an answer in range
// or with the end of the input, never in a loop or a crash.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/console.h"

using namespace terrapivoter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    static std::FILE* sink = std::fopen("/dev/null", "w");
    Console console(in, sink);
    try {
        for (;;) {
            (void)console.ask_name({"name ? "});
            const int32_t form = console.ask_choice({"form ? "}, 1);
            if (form < 0 || form > 1) std::abort();
            const int32_t unit = console.ask_choice({"unit ? "}, 3);
            if (unit < 0 || unit > 3) std::abort();
            if (!std::isfinite(console.ask_number({"angle ? "}))) std::abort();
        }
    } catch (const EndOfInput&) {
    }
    return 0;
}
