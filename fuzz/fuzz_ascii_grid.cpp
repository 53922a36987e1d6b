// The ASCII grid readers on arbitrary bytes: each must fail cleanly or read a grid, and the
// parallel reader and the streaming one (which reads a grid too large for memory into a scratch
// copy) must agree with the plain strtod reader, value for value and message for message.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "formats/ascii_grid.h"
#include "platform/platform.h"

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

// The bytes read by the streaming reader from a file of their own.
Outcome read_streaming(std::string_view text) {
    // A folder of the process's own, removed when it ends.
    static const struct Folder {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() /
            ("terrapivoter-fuzz-" + std::to_string(platform::process_id()));
        Folder() { std::filesystem::create_directories(path); }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } folder;
    const std::string host = (folder.path / "fuzz.asc").string();
    if (std::FILE* f = std::fopen(host.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    Outcome o;
    try {
        const AsciiInPlace in = read_ascii_grid_to_scratch(FileName(host, "fuzz.asc"), host);
        std::vector<double> row(static_cast<std::size_t>(in.source->nb_col()));
        for (int32_t i = 0; i < in.source->nb_lig(); ++i) {
            in.source->read(i, 0, in.source->nb_col(), row.data());
            o.bits.append(reinterpret_cast<const char*>(row.data()), sizeof(double) * row.size());
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
    const Outcome streamed = read_streaming(text);
    if (plain.failure != streamed.failure || plain.bits != streamed.bits) std::abort();
    return 0;
}
