// The one rule for cutting text into words: the dialogue's answers, a raster descriptor's values
// and an ASCII grid's header and values are all separated by white space as the C library's
// isspace sees it in the "C" locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace terrapivoter {

inline bool is_blank(char c) {
    return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}
inline bool is_digit(char c) {
    return static_cast<unsigned char>(c - '0') <= 9;
}

// Reads the next word from `source`: skips blanks, then takes the bytes up to the next blank,
// which stays unread. `source.get()` gives the next byte (0 to 255) or a negative value at the
// end; `source.unget(c)` puts byte c back. At most `keep` bytes of a longer word are kept (the
// rest is read and dropped). False, with `word` empty, when the input ends first.
template <class Source>
bool next_word(Source& source, std::string& word, std::size_t keep = SIZE_MAX) {
    word.clear();
    int c;
    while ((c = source.get()) >= 0 && is_blank(static_cast<char>(c))) {
    }
    while (c >= 0 && !is_blank(static_cast<char>(c))) {
        if (word.size() < keep) word.push_back(static_cast<char>(c));
        c = source.get();
    }
    if (c >= 0) source.unget(c);
    return !word.empty();
}

// Words of text in memory; `pos` is where reading goes on.
struct TextSource {
    std::string_view text;
    std::size_t pos = 0;

    int get() { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : -1; }
    void unget(int) { --pos; }
};

// Words of an open file.
struct FileSource {
    std::FILE* file;

    int get() { return std::getc(file); }
    void unget(int c) { std::ungetc(c, file); }
};

}  // namespace terrapivoter
