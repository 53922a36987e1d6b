// The ASCII grid reader on arbitrary bytes: it must fail cleanly or read a grid, and the
// parallel reader must agree with the plain strtod reader, value for value and message for
// message.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/ascii_grid.h"

using namespace terrapivoter;

namespace {

struct Outcome {
    std::string failure;
    std::string bits;
};

template <class Read>
Outcome read_with(Read&& read) {
    Outcome o;
    try {
        const AsciiInput in = read();
        for (int32_t i = 0; i < in.values.nb_lig(); ++i) {
            o.bits.append(reinterpret_cast<const char*>(in.values[i]),
                          sizeof(double) * static_cast<std::size_t>(in.values.nb_col()));
        }
    } catch (const Failure& failure) {
        o.failure = failure.what();
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    silence_warnings(true);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Outcome plain = read_with([&] { return parse_ascii_grid_reference(text, "fuzz.asc"); });
    const Outcome fast =
        read_with([&] { return parse_ascii_grid(text, "fuzz.asc", {.threads = 3}); });
    if (plain.failure != fast.failure || plain.bits != fast.bits) std::abort();
    return 0;
}
