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

// Reads the next word from `bytes`: skips blanks, then takes the bytes up to the next blank,
// which stays unread. `bytes.get()` gives the next byte (0 to 255) or a negative value at the
// end; `bytes.unget(c)` puts byte c back. At most `keep` bytes of a longer word are kept (the
// rest is read and dropped). False, with `word` empty, when the input ends first.
template <class Bytes>
bool next_word(Bytes& bytes, std::string& word, std::size_t keep = SIZE_MAX) {
    word.clear();
    int c;
    while ((c = bytes.get()) >= 0 && is_blank(static_cast<char>(c))) {
    }
    while (c >= 0 && !is_blank(static_cast<char>(c))) {
        if (word.size() < keep) word.push_back(static_cast<char>(c));
        c = bytes.get();
    }
    if (c >= 0) bytes.unget(c);
    return !word.empty();
}

// The bytes of text in memory; `pos` is where reading goes on.
struct TextBytes {
    std::string_view text;
    std::size_t pos = 0;

    int get() { return pos < text.size() ? static_cast<unsigned char>(text[pos++]) : -1; }
    void unget(int) { --pos; }
};

// The bytes of an open file.
struct FileBytes {
    std::FILE* file;

    int get() { return std::getc(file); }
    void unget(int c) { std::ungetc(c, file); }
};

}  // namespace terrapivoter
