#include "ascii_grid.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "memory_budget.h"
#include "number_text.h"
#include "output_file.h"
#include "platform.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Cuts text into white-space separated tokens.
struct Tokens {
    std::string_view text;
    std::size_t pos = 0;

    std::string_view next() {
        while (pos < text.size() && is_blank(text[pos]))
            ++pos;
        std::size_t start = pos;
        while (pos < text.size() && !is_blank(text[pos]))
            ++pos;
        return text.substr(start, pos - start);
    }
};

enum Key { kCols, kRows, kXCorner, kXCenter, kYCorner, kYCenter, kCellSize, kNoData, kKeys };
constexpr std::array<const char*, kKeys> kKeywords = {"ncols",     "nrows",       "xllcorner",
                                                      "xllcenter", "yllcorner",   "yllcenter",
                                                      "cellsize",  "nodata_value"};

std::optional<Key> keyword_of(std::string_view token) {
    for (std::size_t k = 0; k < kKeys; ++k) {
        std::string_view word = kKeywords[k];
        if (token.size() == word.size() &&
            std::equal(token.begin(), token.end(), word.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
            })) {
            return static_cast<Key>(k);
        }
    }
    return std::nullopt;
}

std::string file_text(std::FILE* f, const std::string& displayed) {
    std::string text;
    if (auto size = platform::regular_file_size(f)) text.reserve(*size);
    std::unique_ptr<char[]> chunk(new char[1 << 20]);
    std::size_t got;
    while ((got = std::fread(chunk.get(), 1, 1 << 20, f)) > 0)
        text.append(chunk.get(), got);
    if (std::ferror(f)) {
        throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
    }
    return text;
}

std::string cell_name(int64_t index, int32_t nb_col) {
    return "row " + std::to_string(index / nb_col + 1) + ", column " +
           std::to_string(index % nb_col + 1);
}

}  // namespace

ParsedHeader parse_ascii_header(std::string_view text, const std::string& displayed) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        throw Failure(displayed +
                      ": starts with a UTF-8 byte-order mark; an ASCII grid is plain "
                      "ASCII text (save it without the mark)");
    }
    if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
        throw Failure(displayed + ": is UTF-16 text; an ASCII grid is plain ASCII text");
    }
    ParsedHeader parsed;
    AsciiHeader& h = parsed.header;
    std::array<bool, kKeys> seen{};
    std::array<double, kKeys> reals{};
    Tokens tokens{text};
    for (;;) {
        std::string_view word = tokens.next();
        auto key = word.empty() ? std::nullopt : keyword_of(word);
        if (!key) {
            parsed.data_start = tokens.pos - word.size();
            if (std::none_of(seen.begin(), seen.end(), [](bool b) { return b; })) {
                if (word.empty()) throw Failure(displayed + ": is empty");
                throw Failure(displayed + ": is not an ASCII grid: it starts with " + quoted(word) +
                              " where a header keyword such as ncols belongs");
            }
            break;
        }
        const bool twin_seen =
            (*key == kXCorner && seen[kXCenter]) || (*key == kXCenter && seen[kXCorner]) ||
            (*key == kYCorner && seen[kYCenter]) || (*key == kYCenter && seen[kYCorner]);
        if (seen[*key] || twin_seen) {
            throw Failure(displayed + ": the header gives " + std::string(word) +
                          (twin_seen ? " as well as its corner/centre twin" : " twice"));
        }
        seen[*key] = true;
        std::string_view value = tokens.next();
        if (*key == kCols || *key == kRows) {
            auto v = parse_int32_token(value);
            if (!v) {
                throw Failure(displayed + ": " + std::string(word) + " is " + quoted(value) +
                              ", not a whole number within 32 bits");
            }
            (*key == kCols ? h.nb_col : h.nb_lig) = *v;
        } else {
            auto v = parse_real_token(value);
            if (!v) {
                throw Failure(displayed + ": " + std::string(word) + " is " + quoted(value) +
                              ", not a finite number");
            }
            reals[*key] = *v;
        }
    }
    std::string missing;
    auto require = [&](bool present, const char* name) {
        if (!present) missing += missing.empty() ? name : std::string(", ") + name;
    };
    require(seen[kCols], "ncols");
    require(seen[kRows], "nrows");
    require(seen[kXCorner] || seen[kXCenter], "xllcorner");
    require(seen[kYCorner] || seen[kYCenter], "yllcorner");
    require(seen[kCellSize], "cellsize");
    if (!missing.empty()) throw Failure(displayed + ": the header lacks " + missing);
    if (h.nb_col <= 0 || h.nb_lig <= 0) {
        throw Failure(displayed + ": the grid must have at least one row and one column, not " +
                      std::to_string(h.nb_lig) + " rows and " + std::to_string(h.nb_col) +
                      " columns");
    }
    h.dsize_pix = reals[kCellSize];
    h.X_min = seen[kXCorner] ? reals[kXCorner] : reals[kXCenter] - h.dsize_pix / 2.0;
    h.Y_min = seen[kYCorner] ? reals[kYCorner] : reals[kYCenter] - h.dsize_pix / 2.0;
    if (seen[kNoData]) h.nodata = reals[kNoData];
    return parsed;
}

void parse_ascii_values(std::string_view text, std::size_t data_start, DoubleGrid grid,
                        const std::string& displayed) {
    Tokens tokens{text, data_start};
    const int64_t cells = grid.cells();
    for (int64_t k = 0; k < cells; ++k) {
        std::string_view token = tokens.next();
        if (token.empty()) {
            throw Failure(displayed + ": ends after " + std::to_string(k) + " values, but " +
                          std::to_string(grid.nb_lig) + " rows of " + std::to_string(grid.nb_col) +
                          " columns need " + std::to_string(cells) + " (" +
                          cell_name(k, grid.nb_col) + " is missing)");
        }
        auto v = parse_real_token(token);
        if (!v) {
            throw Failure(displayed + ": " + cell_name(k, grid.nb_col) + " holds " + quoted(token) +
                          ", not a finite number");
        }
        grid[static_cast<int32_t>(k / grid.nb_col)][k % grid.nb_col] = *v;
    }
    int64_t extra = 0;
    while (!tokens.next().empty())
        ++extra;
    if (extra > 0) {
        warn(displayed + ": the " + std::to_string(extra) +
             " values after the last cell are ignored");
    }
}

AsciiInput read_ascii_grid(const std::string& displayed_path) {
    std::string text;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(
            platform::open_for_reading(platform::host_path(displayed_path), true), &std::fclose);
        if (!f) throw MissingInputFile(displayed_path);
        text = file_text(f.get(), displayed_path);
    }
    ParsedHeader parsed = parse_ascii_header(text, displayed_path);
    const AsciiHeader& h = parsed.header;
    // Every value takes at least one character and one separator.
    const int64_t room = static_cast<int64_t>((text.size() - parsed.data_start + 1) / 2);
    const int64_t cells = static_cast<int64_t>(h.nb_lig) * h.nb_col;
    if (cells > room) {
        throw Failure(displayed_path + ": the header announces " + std::to_string(h.nb_lig) +
                      " rows of " + std::to_string(h.nb_col) + " columns, but the " +
                      std::to_string(text.size() - parsed.data_start) +
                      " bytes after it can hold at most " + std::to_string(room) + " values");
    }
    check_fits_in_memory(h.nb_lig, h.nb_col, displayed_path);
    AsciiInput input{h, require_grid<double>(h.nb_lig, h.nb_col)};
    try {
        parse_ascii_values(text, parsed.data_start, input.values, displayed_path);
    } catch (...) {
        frdmatrice(input.values.rows, input.values.nb_lig);
        throw;
    }
    return input;
}

std::string format_ascii_header(const AsciiHeader& h) {
    std::string text = "ncols " + std::to_string(h.nb_col) + "\nnrows " + std::to_string(h.nb_lig) +
                       "\nxllcorner " + format_header_real(h.X_min) + "\nyllcorner " +
                       format_header_real(h.Y_min) + "\ncellsize " +
                       format_header_real(h.dsize_pix) + "\nnodata_value ";
    text += h.nodata ? format_header_real(*h.nodata) : "-9999.9999";
    text += '\n';
    return text;
}

void write_ascii_values(DoubleGrid grid, OutputFile& out) {
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> buffer(kChunk + kMaxFixed6Length + 1);
    char* p = buffer.data();
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        for (int32_t j = 0; j < grid.nb_col; ++j) {
            p = format_fixed6(grid[i][j], p);
            *p++ = '\t';
            if (static_cast<std::size_t>(p - buffer.data()) >= kChunk) {
                out.write(buffer.data(), static_cast<std::size_t>(p - buffer.data()));
                p = buffer.data();
            }
        }
    }
    out.write(buffer.data(), static_cast<std::size_t>(p - buffer.data()));
}
