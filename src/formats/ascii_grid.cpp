#include "formats/ascii_grid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "base/parallel.h"
#include "base/progress.h"
#include "base/tokens.h"
#include "formats/number_text.h"
#include "io/memory_budget.h"
#include "io/output_file.h"
#include "io/scratch_file.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

enum Key {
    kCols,
    kRows,
    kXCorner,
    kXCenter,
    kYCorner,
    kYCenter,
    kCellSize,
    kNoData,
    kDx,  // GDAL writes dx and dy in place of cellsize for cells that are not square
    kDy,
    kKeys
};
constexpr std::array<const char*, kKeys> kKeywords = {
    "ncols",     "nrows",    "xllcorner",    "xllcenter", "yllcorner",
    "yllcenter", "cellsize", "nodata_value", "dx",        "dy"};

// A count written as a whole number, or as a real whose value is whole ("24.0", as some
// exporters write it).
std::optional<int32_t> count_of(std::string_view token) {
    if (auto v = parse_int32_token(token)) return v;
    const auto real = parse_grid_token(token);
    if (!real || *real != std::trunc(*real) || *real < INT32_MIN || *real > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<int32_t>(*real);
}

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
    constexpr std::size_t kChunk = 1 << 20;
    std::unique_ptr<char[]> chunk(new char[kChunk]);
    int64_t got;
    while ((got = platform::read_some(f, chunk.get(), kChunk)) > 0)
        text.append(chunk.get(), static_cast<std::size_t>(got));
    if (got < 0) throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
    return text;
}

std::string cell_name(int64_t index, int32_t nb_col) {
    return "row " + std::to_string(index / nb_col + 1) + ", column " +
           std::to_string(index % nb_col + 1);
}

}  // namespace

namespace {

// The header's keywords as they come: which were seen, and the value of each real.
struct HeaderEntries {
    std::array<bool, kKeys> seen{};
    std::array<double, kKeys> reals{};
    bool any() const {
        return std::any_of(seen.begin(), seen.end(), [](bool b) { return b; });
    }
};

void check_plain_ascii(std::string_view text, const std::string& displayed) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        throw Failure(displayed +
                      ": starts with a UTF-8 byte-order mark; an ASCII grid is plain "
                      "ASCII text (save it without the mark)");
    }
    if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
        throw Failure(displayed + ": is UTF-16 text; an ASCII grid is plain ASCII text");
    }
}

// Fails when `key` (written `word`) gives what an earlier keyword gave.
void check_not_given_before(Key key, const std::string& word, const HeaderEntries& e,
                            const std::string& displayed) {
    const auto& seen = e.seen;
    const bool twin_seen =
        (key == kXCorner && seen[kXCenter]) || (key == kXCenter && seen[kXCorner]) ||
        (key == kYCorner && seen[kYCenter]) || (key == kYCenter && seen[kYCorner]);
    const bool size_twice = (key == kCellSize && (seen[kDx] || seen[kDy])) ||
                            ((key == kDx || key == kDy) && seen[kCellSize]);
    if (seen[key] || twin_seen || size_twice) {
        throw Failure(displayed + ": the header gives " + word +
                      (twin_seen    ? " as well as its corner/centre twin"
                       : size_twice ? " as well as the cell size in another form"
                                    : " twice"));
    }
}

// Reads the value of `key` (written `word`) into the header or the entries.
void read_entry(Key key, const std::string& word, const std::string& value, AsciiHeader& h,
                HeaderEntries& e, const std::string& displayed) {
    if (key == kCols || key == kRows) {
        auto v = count_of(value);
        if (!v) {
            throw Failure(displayed + ": " + word + " is " + quoted(value) +
                          ", not a whole number within 32 bits");
        }
        (key == kCols ? h.nb_col : h.nb_lig) = *v;
        return;
    }
    // Only the no-data value may be a NaN or an infinity: GDAL and R write "nodata_value nan",
    // GDAL "-inf" for a band whose no-data value it is.
    auto v = parse_grid_token(value);
    if (!v || (!std::isfinite(*v) && key != kNoData)) {
        throw Failure(displayed + ": " + word + " is " + quoted(value) + ", not a finite number");
    }
    e.reals[key] = *v;
}

// Fails unless the entries give the size, the corner and the cell size (square), once each.
void check_complete(const HeaderEntries& e, const std::string& displayed) {
    const auto& seen = e.seen;
    std::string missing;
    auto require = [&](bool present, const char* name) {
        if (!present) missing += missing.empty() ? name : std::string(", ") + name;
    };
    require(seen[kCols], "ncols");
    require(seen[kRows], "nrows");
    require(seen[kXCorner] || seen[kXCenter], "xllcorner");
    require(seen[kYCorner] || seen[kYCenter], "yllcorner");
    if (seen[kDx] || seen[kDy]) {
        require(seen[kDx], "dx");
        require(seen[kDy], "dy");
    } else {
        require(seen[kCellSize], "cellsize");
    }
    if (!missing.empty()) throw Failure(displayed + ": the header lacks " + missing);
    const double dx = e.reals[kDx];
    const double dy = e.reals[kDy];
    if (seen[kDx] && dx != dy && !cells_are_square(dx, dy)) {
        throw Failure(displayed + ": dx " + format_header_real(dx) + " and dy " +
                      format_header_real(dy) + " differ; only grids of square cells can be turned");
    }
}

}  // namespace

ParsedHeader parse_ascii_header(std::string_view text, const std::string& displayed) {
    check_plain_ascii(text, displayed);
    ParsedHeader parsed;
    AsciiHeader& h = parsed.header;
    HeaderEntries e;
    TextBytes source{text};
    std::string word;
    std::string value;
    for (;;) {
        next_word(source, word);
        const auto key = word.empty() ? std::nullopt : keyword_of(word);
        if (!key) {
            parsed.data_start = source.pos - word.size();
            if (e.any()) break;
            if (word.empty()) throw Failure(displayed + ": is empty");
            throw Failure(displayed + ": is not an ASCII grid: it starts with " + quoted(word) +
                          " where a header keyword such as ncols belongs");
        }
        check_not_given_before(*key, word, e, displayed);
        e.seen[*key] = true;
        next_word(source, value);
        read_entry(*key, word, value, h, e, displayed);
    }
    check_complete(e, displayed);
    check_grid_shape(h.nb_lig, h.nb_col, displayed);
    const auto& seen = e.seen;
    const auto& reals = e.reals;
    h.dsize_pix = seen[kDx] ? reals[kDx] : reals[kCellSize];
    h.X_min = seen[kXCorner] ? reals[kXCorner] : reals[kXCenter] - h.dsize_pix / 2.0;
    h.Y_min = seen[kYCorner] ? reals[kYCorner] : reals[kYCenter] - h.dsize_pix / 2.0;
    if (seen[kNoData]) h.nodata = reals[kNoData];
    return parsed;
}

namespace {

[[noreturn]] void fail_at_cell(const std::string& displayed, int64_t index, int32_t nb_col,
                               std::string_view token) {
    throw Failure(displayed + ": " + cell_name(index, nb_col) + " holds " + quoted(token) +
                  ", not a finite number");
}

[[noreturn]] void fail_short(const std::string& displayed, int64_t found, DoubleGrid grid) {
    throw Failure(displayed + ": ends after " + std::to_string(found) + " values, but " +
                  std::to_string(grid.nb_lig) + " rows of " + std::to_string(grid.nb_col) +
                  " columns need " + std::to_string(grid.cells()) + " (" +
                  cell_name(found, grid.nb_col) + " is missing)");
}

void warn_extra(const std::string& displayed, int64_t extra) {
    if (extra > 0) {
        warn(displayed + ": the " + std::to_string(extra) +
             " values after the last cell are ignored");
    }
}

// Where piece `part` of `parts` of text[begin, end) starts: never inside a token.
std::size_t piece_boundary(std::string_view text, std::size_t begin, std::size_t end,
                           unsigned parts, unsigned part) {
    if (part == parts) return end;
    std::size_t at = begin + static_cast<std::size_t>(
                                 piece_start(static_cast<int64_t>(end - begin), parts, part));
    while (at < end && at > begin && !is_blank(text[at - 1]))
        ++at;
    return at;
}

int64_t count_tokens(std::string_view text, std::size_t begin, std::size_t end) {
    // Token starts: a non-blank after a blank (or at the start). Written without a carried
    // state so that it vectorises.
    int64_t count = begin < end && !is_blank(text[begin]) ? 1 : 0;
    for (std::size_t k = begin + 1; k < end; ++k) {
        count += static_cast<int>(!is_blank(text[k])) & static_cast<int>(is_blank(text[k - 1]));
    }
    return count;
}

}  // namespace

void parse_ascii_values(std::string_view text, std::size_t data_start, DoubleGrid grid,
                        const std::string& displayed, const Work& work, Progress* progress) {
    // Pieces of the text are counted, then parsed, in parallel; each knows from the counts
    // where its first value goes. The first unreadable value in file order is the one reported.
    const unsigned threads = std::max(1u, work.threads);
    const unsigned parts = threads;
    std::vector<std::size_t> bounds(parts + 1);
    for (unsigned t = 0; t <= parts; ++t) {
        bounds[t] = piece_boundary(text, data_start, text.size(), parts, t);
    }
    std::vector<int64_t> first(parts + 1, 0);
    run_tasks(threads, parts,
              [&](unsigned t) { first[t + 1] = count_tokens(text, bounds[t], bounds[t + 1]); });
    for (unsigned t = 0; t < parts; ++t)
        first[t + 1] += first[t];
    const int64_t cells = grid.cells();
    constexpr int64_t kNone = INT64_MAX;
    std::vector<int64_t> bad(parts, kNone);
    std::vector<std::string_view> bad_token(parts);
    run_tasks(threads, parts, [&](unsigned t) {
        int64_t k = first[t];
        if (k >= cells) return;
        const char* p = text.data() + bounds[t];
        const char* const end = text.data() + bounds[t + 1];
        auto row = static_cast<int32_t>(k / grid.nb_col);
        auto col = static_cast<int32_t>(k % grid.nb_col);
        for (const int64_t stop = std::min(first[t + 1], cells); k < stop; ++k) {
            while (is_blank(*p))
                ++p;
            const char* const token = p;
            double v;
            if (!read_grid_value(p, end, v)) {
                bad[t] = k;
                bad_token[t] = std::string_view(token, static_cast<std::size_t>(p - token));
                return;
            }
            grid[row][col] = v;
            if (++col == grid.nb_col) {
                col = 0;
                ++row;
                advance(progress, grid.nb_col);
            }
        }
    });
    const auto first_bad = std::min_element(bad.begin(), bad.end());
    if (*first_bad != kNone) {
        fail_at_cell(displayed, *first_bad, grid.nb_col,
                     bad_token[static_cast<std::size_t>(first_bad - bad.begin())]);
    }
    if (first[parts] < cells) fail_short(displayed, first[parts], grid);
    warn_extra(displayed, first[parts] - cells);
}

void parse_ascii_values_reference(std::string_view text, std::size_t data_start, DoubleGrid grid,
                                  const std::string& displayed) {
    TextBytes source{text, data_start};
    const int64_t cells = grid.cells();
    std::string token;
    for (int64_t k = 0; k < cells; ++k) {
        if (!next_word(source, token)) fail_short(displayed, k, grid);
        char* end = nullptr;
        double v = std::strtod(token.c_str(), &end);
        if (end != token.c_str() + token.size() || !std::isfinite(v)) {
            // The forms strtod leaves to GDAL's reading: "nan", decimal commas.
            const auto dialect = parse_grid_token(token);
            if (!dialect) fail_at_cell(displayed, k, grid.nb_col, token);
            v = *dialect;
        }
        grid[static_cast<int32_t>(k / grid.nb_col)][k % grid.nb_col] = v;
    }
    int64_t extra = 0;
    while (next_word(source, token))
        ++extra;
    warn_extra(displayed, extra);
}

namespace {

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileHandle open_ascii_grid(const FileName& file) {
    FileHandle f(platform::open_for_reading(file.host, true), &std::fclose);
    if (!f) throw MissingInputFile(file.shown, platform::last_error_text());
    return f;
}

// Fails unless `bytes` of text after the header can hold the grid it announces: every value
// takes at least one character and one separator.
void check_room(const AsciiHeader& h, uint64_t bytes, const std::string& displayed) {
    const auto room = static_cast<int64_t>((bytes + 1) / 2);
    const int64_t cells = static_cast<int64_t>(h.nb_lig) * h.nb_col;
    if (cells > room) {
        throw Failure(displayed + ": the header announces " + std::to_string(h.nb_lig) +
                      " rows of " + std::to_string(h.nb_col) + " columns, but the " +
                      std::to_string(bytes) + " bytes after it can hold at most " +
                      std::to_string(room) + " values");
    }
}

// The header, with the grid the rest of the text must fill, allocated once the text is known to
// be long enough for it.
AsciiInput ascii_grid_for(std::string_view text, const std::string& displayed_path,
                          std::size_t& data_start, unsigned threads) {
    ParsedHeader parsed = parse_ascii_header(text, displayed_path);
    const AsciiHeader& h = parsed.header;
    data_start = parsed.data_start;
    check_room(h, text.size() - parsed.data_start, displayed_path);
    check_fits_in_memory(h.nb_lig, h.nb_col, displayed_path);
    return {h, fresh_grid<double>(h.nb_lig, h.nb_col, threads)};
}

}  // namespace

AsciiInput read_ascii_grid(const FileName& file, const Work& work) {
    std::unique_ptr<platform::MappedFile> mapped;
    std::string read_text;
    std::string_view text;
    {
        FileHandle f = open_ascii_grid(file);
        mapped = platform::MappedFile::map(f.get());
        if (mapped) {
            text = mapped->bytes();
        } else {
            read_text = file_text(f.get(), file.shown);
            text = read_text;
        }
    }
    return parse_ascii_grid(text, file.shown, work);
}

namespace {

// The first piece of a file: its header lies there.
constexpr std::size_t kHeaderPiece = 1 << 16;

std::string first_piece(std::FILE* f, const std::string& displayed) {
    std::string text(kHeaderPiece, '\0');
    const int64_t got = platform::read_some(f, text.data(), text.size());
    if (got < 0) throw Failure("cannot read " + displayed + ": " + platform::last_error_text());
    text.resize(static_cast<std::size_t>(got));
    return text;
}

// A scratch copy of a grid's values, as doubles, row after row.
class ScratchSource : public GridSource {
  public:
    ScratchSource(int32_t nb_lig, int32_t nb_col, std::unique_ptr<ScratchFile> file)
        : GridSource(nb_lig, nb_col), file_(std::move(file)) {}
    void read(int32_t row, int32_t first, int32_t end, double* out) override {
        const uint64_t cell = static_cast<uint64_t>(row) * static_cast<uint64_t>(nb_col()) +
                              static_cast<uint64_t>(first);
        file_->read(cell * sizeof(double), out,
                    sizeof(double) * static_cast<std::size_t>(end - first));
    }

  private:
    std::unique_ptr<ScratchFile> file_;
};

}  // namespace

AsciiHeader peek_ascii_grid(const FileName& file) {
    FileHandle f = open_ascii_grid(file);
    return parse_ascii_header(first_piece(f.get(), file.shown), file.shown).header;
}

AsciiInPlace read_ascii_grid_to_scratch(const FileName& file, const std::string& scratch_beside) {
    FileHandle f = open_ascii_grid(file);
    const ParsedHeader parsed = parse_ascii_header(first_piece(f.get(), file.shown), file.shown);
    const AsciiHeader& h = parsed.header;
    if (const auto size = platform::regular_file_size(f.get())) {
        check_room(h, *size - std::min<uint64_t>(*size, parsed.data_start), file.shown);
    }
    if (std::fseek(f.get(), static_cast<long>(parsed.data_start), SEEK_SET) != 0) {
        throw Failure("cannot read " + file.shown + ": " + platform::last_error_text());
    }
    auto scratch = std::make_unique<ScratchFile>(scratch_beside);
    const DoubleGrid shape{nullptr, h.nb_lig, h.nb_col};
    AsciiInPlace in{h, nullptr, std::numeric_limits<double>::infinity(),
                    -std::numeric_limits<double>::infinity()};
    FileBytes source{f.get()};
    std::string token;
    std::vector<double> row(shape.width());
    for (int64_t k = 0; k < shape.cells(); ++k) {
        if (!next_word(source, token)) fail_short(file.shown, k, shape);
        const auto v = parse_grid_token(token);
        if (!v) fail_at_cell(file.shown, k, h.nb_col, token);
        const auto j = static_cast<std::size_t>(k % h.nb_col);
        row[j] = *v;
        if (*v < in.smallest) in.smallest = *v;
        if (*v > in.largest) in.largest = *v;
        if (j + 1 == row.size()) scratch->append(row.data(), sizeof(double) * row.size());
    }
    if (std::ferror(f.get())) {
        throw Failure("cannot read " + file.shown + ": " + platform::last_error_text());
    }
    int64_t extra = 0;
    while (next_word(source, token))
        ++extra;
    warn_extra(file.shown, extra);
    scratch->flush();
    if (in.smallest > in.largest) in.smallest = in.largest = 0.0;
    in.source = std::make_unique<ScratchSource>(h.nb_lig, h.nb_col, std::move(scratch));
    return in;
}

bool crs_is_geographic(std::string_view wkt) {
    const std::size_t start = wkt.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return false;
    const std::string_view keyword = wkt.substr(start, wkt.find('[', start) - start);
    return keyword == "GEOGCS" || keyword == "GEOGCRS" || keyword == "GEODCRS" ||
           keyword == "GEOGRAPHICCRS";
}

FileName prj_beside(const FileName& ascii_grid) {
    auto stem = [](const std::string& path) {
        const std::size_t dot = path.rfind('.');
        const std::size_t slash = path.find_last_of("/\\");
        return dot == std::string::npos || (slash != std::string::npos && dot < slash)
                   ? path
                   : path.substr(0, dot);
    };
    return {stem(ascii_grid.host) + ".prj", stem(ascii_grid.shown) + ".prj"};
}

std::optional<std::string> read_companion(const FileName& file) {
    FileHandle f(platform::open_for_reading(file.host, true), &std::fclose);
    if (!f) return std::nullopt;
    return file_text(f.get(), file.shown);
}

AsciiInput read_ascii_grid_reference(const FileName& file) {
    const std::string text = file_text(open_ascii_grid(file).get(), file.shown);
    return parse_ascii_grid_reference(text, file.shown);
}

AsciiInput parse_ascii_grid(std::string_view text, const std::string& displayed_path,
                            const Work& work) {
    std::size_t data_start = 0;
    AsciiInput input = ascii_grid_for(text, displayed_path, data_start, work.threads);
    Progress progress(work, "reading " + displayed_path, input.values.cells(),
                      input.values.cells());
    parse_ascii_values(text, data_start, input.values.view(), displayed_path, work, &progress);
    return input;
}

AsciiInput parse_ascii_grid_reference(std::string_view text, const std::string& displayed_path) {
    std::size_t data_start = 0;
    AsciiInput input = ascii_grid_for(text, displayed_path, data_start, 1);
    parse_ascii_values_reference(text, data_start, input.values.view(), displayed_path);
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

namespace {

// Text formatted by one thread: grows by doubling, never initialised beyond what is written.
class TextBuffer {
  public:
    char* reserve(std::size_t more) {
        if (size_ + more > capacity_) {
            capacity_ = std::max(capacity_ * 2, size_ + more);
            std::unique_ptr<char[]> bigger(new char[capacity_]);
            if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
            data_ = std::move(bigger);
        }
        return data_.get() + size_;
    }
    void commit(char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
    void clear() { size_ = 0; }
    const char* data() const { return data_.get(); }
    std::size_t size() const { return size_; }

  private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace

const char* ascii_values_lead(double first_value) {
    return first_value != first_value || first_value == std::numeric_limits<double>::infinity()
               ? " "
               : "";
}

void write_ascii_values(DoubleGrid grid, OutputFile& out, const Work& work, Progress* progress) {
    // Blocks of rows are formatted in parallel, each thread into its own text, and written in
    // order while the next block is being formatted.
    const unsigned threads = std::max(1u, work.threads);
    const auto rows_per_block = static_cast<int32_t>((int64_t{1} << 19) / grid.nb_col);
    std::vector<TextBuffer> texts[2] = {std::vector<TextBuffer>(threads),
                                        std::vector<TextBuffer>(threads)};
    constexpr std::size_t kRoom = kMaxFixed6Length + 1;
    std::optional<Progress> own;
    if (progress == nullptr) {
        own.emplace(work, "writing " + out.displayed(), grid.nb_lig, grid.cells());
        progress = &*own;
    }
    produce_row_blocks(
        grid.nb_lig, rows_per_block, threads,
        [&](unsigned slot, unsigned t, int32_t begin, int32_t end) {
            TextBuffer& text = texts[slot][t];
            text.clear();
            text.reserve(static_cast<std::size_t>(end - begin) * grid.width() * 24 + kRoom);
            for (int32_t i = begin; i < end; ++i) {
                const double* values = grid[i];
                // Room for the row's values in the usual sizes; a longer value asks for more.
                char* p = text.reserve(static_cast<std::size_t>(grid.nb_col) * 24 + kRoom);
                char* limit = p + static_cast<std::size_t>(grid.nb_col) * 24;
                for (int32_t j = 0; j < grid.nb_col; ++j) {
                    if (p > limit) {
                        text.commit(p);
                        p = text.reserve(static_cast<std::size_t>(grid.nb_col - j) * kRoom);
                        limit = p + static_cast<std::size_t>(grid.nb_col - j) * kRoom;
                    }
                    p = format_fixed6(values[j], p);
                    *p++ = '\t';
                }
                text.commit(p);
            }
        },
        [&](unsigned slot, int32_t begin, int32_t end) {
            for (const TextBuffer& text : texts[slot])
                out.write(text.data(), text.size());
            progress->advance(end - begin);
        });
}

void write_ascii_values_reference(DoubleGrid grid, OutputFile& out) {
    for (int32_t i = 0; i < grid.nb_lig; ++i) {
        for (int32_t j = 0; j < grid.nb_col; ++j) {
            // printf writes "-nan" for a NaN with its sign bit set; readers want "nan".
            const double v = grid[i][j];
            if (v != v) {
                std::fputs("nan\t", out.stream());
            } else {
                std::fprintf(out.stream(), "%lf\t", v);
            }
        }
    }
}

}  // namespace terrapivoter
