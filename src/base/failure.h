// The one way the core reports a problem that ends the run. Its text names the file (or the
// question) and says what went wrong; the program shell prefixes "terrapivoter: " and exits 1.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace terrapivoter {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A job stopped at its caller's request (JobWatch::cancel): a failure like any other, so that
// nothing is left of its output.
struct Cancelled : Failure {
    Cancelled() : Failure("cancelled") {}
};

inline std::string out_of_memory_text(int64_t rows, int64_t cols) {
    return "not enough memory for a grid of " + std::to_string(rows) + " rows and " +
           std::to_string(cols) + " columns";
}

// An input file that cannot be opened. The shell answers it with the program's own
// missing-file message on standard output rather than an error line.
struct MissingInputFile : Failure {
    MissingInputFile(const std::string& displayed_path, const std::string& reason)
        : Failure("cannot open " + displayed_path + ": " + reason), path(displayed_path) {}
    std::string path;
};

// A job described in a way that cannot be run (an option that does not fit the forms, a value
// out of range): the command line exits with 2 and asks for --help; Python raises ValueError.
struct UsageError : Failure {
    using Failure::Failure;
};

// Writes "terrapivoter: warning: <text>" to standard error.
void warn(const std::string& text);
// The same, unless the same text was warned of before in this run (a file that is opened twice,
// to peek at it and then to read it, says what is odd about it once).
void warn_once(const std::string& text);

// `text` in double quotes for a message, cut after 40 bytes, with bytes that a terminal would
// not show as such written as \xHH.
std::string quoted(std::string_view text);

// Turns warnings off (for the fuzzers, whose inputs provoke them by the million) or on again.
void silence_warnings(bool silent);

}  // namespace terrapivoter
