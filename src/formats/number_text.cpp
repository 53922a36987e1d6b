#include "formats/number_text.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace terrapivoter {

namespace {

// strtod's own verdict, for the forms the fast paths leave alone (hexadecimal, "inf",
// "nan", out-of-range exponents, over-long mantissas).
std::optional<double> parse_with_strtod(std::string_view token) {
    std::string text(token);
    // strtod would skip leading white space; a token has none.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
        text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of v (at least one) and returns the end.
char* write_unsigned(uint64_t v, char* out) {
    char buf[20];
    char* p = buf + sizeof buf;
    while (v >= 100) {
        unsigned pair = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    }
    if (v >= 10) {
        unsigned pair = static_cast<unsigned>(v) * 2;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    } else {
        *--p = static_cast<char>('0' + v);
    }
    std::size_t n = static_cast<std::size_t>(buf + sizeof buf - p);
    std::memcpy(out, p, n);
    return out + n;
}

// Writes exactly six digits of v < 1000000.
char* write_six_digits(uint32_t v, char* out) {
    const std::size_t hi = v / 10000;
    const std::size_t mid = (v / 100) % 100;
    const std::size_t lo = v % 100;
    std::memcpy(out, kDigitPairs + hi * 2, 2);
    std::memcpy(out + 2, kDigitPairs + mid * 2, 2);
    std::memcpy(out + 4, kDigitPairs + lo * 2, 2);
    return out + 6;
}

}  // namespace

std::optional<int32_t> parse_int32_token(std::string_view token) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < token.size() && (token[pos] == '+' || token[pos] == '-')) {
        negative = token[pos] == '-';
        ++pos;
    }
    if (pos == token.size()) return std::nullopt;
    int64_t magnitude = 0;
    for (; pos < token.size(); ++pos) {
        if (!is_digit(token[pos])) return std::nullopt;
        magnitude = magnitude * 10 + (token[pos] - '0');
        if (magnitude > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<int32_t>(value);
}

namespace {

// The general reader: any length, exponents, and whatever strtod takes besides.
std::optional<double> parse_real_general(std::string_view token) {
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* const unsigned_start = p;
    while (p != end && (is_digit(*p) || *p == '.'))
        ++p;
    const bool has_digit = std::any_of(unsigned_start, p, is_digit);
    if (!has_digit || (p != end && *p != 'e' && *p != 'E')) return parse_with_strtod(token);
    double v;
    auto [stop, ec] = std::from_chars(unsigned_start, end, v, std::chars_format::general);
    if (ec == std::errc() && stop == end) return negative ? -v : v;
    return parse_with_strtod(token);
}

}  // namespace

std::optional<double> parse_real_token(std::string_view token) {
    const char* p = token.data();
    double value;
    if (read_real(p, token.data() + token.size(), value) && p == token.data() + token.size()) {
        return value;
    }
    return std::nullopt;
}

namespace {

// The forms of a grid value that only parse_grid_token takes.
std::optional<double> parse_grid_dialect(std::string_view token) {
    std::string_view unsigned_part = token;
    const bool negative = !token.empty() && token[0] == '-';
    if (!unsigned_part.empty() && (unsigned_part[0] == '-' || unsigned_part[0] == '+')) {
        unsigned_part.remove_prefix(1);
    }
    auto is_word = [&](std::string_view word) {
        return unsigned_part.size() == word.size() &&
               std::equal(
                   unsigned_part.begin(), unsigned_part.end(), word.begin(),
                   [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
    };
    if (is_word("nan")) return std::numeric_limits<double>::quiet_NaN();
    if (is_word("inf") || is_word("infinity")) {
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    const std::size_t comma = token.find(',');
    if (comma == std::string_view::npos || token.find_first_of(",.", comma + 1) != token.npos ||
        token.substr(0, comma).find('.') != token.npos) {
        return std::nullopt;
    }
    std::string pointed(token);
    pointed[comma] = '.';
    return parse_real_token(pointed);
}

}  // namespace

std::optional<double> parse_grid_token(std::string_view token) {
    if (auto v = parse_real_token(token)) return v;
    return parse_grid_dialect(token);
}

bool read_grid_value(const char*& p, const char* end, double& value) {
    const char* const start = p;
    if (read_real(p, end, value)) return true;
    while (p != end && !is_blank(*p))
        ++p;
    const auto v = parse_grid_dialect(std::string_view(start, static_cast<std::size_t>(p - start)));
    if (v) value = *v;
    return v.has_value();
}

#if defined(__SSE2__)
namespace {

// The value of eight ASCII digits, the first in the lowest byte (from simdjson and fast_float).
uint64_t eight_digits(uint64_t chars) {
    uint64_t v = chars - 0x3030303030303030ULL;
    v = (v * 10) + (v >> 8);
    return (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
}

// The value of the `count` (1 to 8) digits at p, reading 8 bytes.
uint64_t up_to_eight_digits(const char* p, int count) {
    uint64_t chars;
    std::memcpy(&chars, p, 8);
    // Shift the digits up, filling with '0' characters below them.
    const int pad = 8 - count;
    const uint64_t zeros = 0x3030303030303030ULL;
    chars = pad == 0 ? chars : (chars << (8 * pad)) | (zeros >> (8 * count));
    return eight_digits(chars);
}

// "[-]d...d[.d...d]" with at most 8 digits on either side, followed by a blank, within 16 bytes
// of p (which the caller guarantees readable): found with a few vector compares instead of a
// branch per character.
bool read_real_sse2(const char*& p, double& value) {
    const bool negative = *p == '-';
    const char* const q = p + (negative ? 1 : 0);
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    const __m128i shifted = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(9)), shifted);
    const auto digits = static_cast<unsigned>(_mm_movemask_epi8(digit));
    const auto dots =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('.'))));
    const int int_len = std::countr_one(digits);
    if (int_len == 0 || int_len > 8) return false;
    int frac_len = 0;
    int stop = int_len;
    if ((dots >> int_len) & 1u) {
        frac_len = std::countr_one(digits >> (int_len + 1));
        if (frac_len > 8) return false;
        stop = int_len + 1 + frac_len;
    }
    if (stop >= 15 - (negative ? 1 : 0) || !is_blank(q[stop])) return false;
    const uint64_t whole = up_to_eight_digits(q, int_len);
    const uint64_t fraction = frac_len == 0 ? 0 : up_to_eight_digits(q + int_len + 1, frac_len);
    constexpr uint64_t kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    const uint64_t mantissa = whole * kPowers[frac_len] + fraction;
    if (mantissa > (uint64_t{1} << 53)) return false;
    const double magnitude = static_cast<double>(mantissa) / kExactPowersOfTen[frac_len];
    value = negative ? -magnitude : magnitude;
    p = q + stop;
    return true;
}

}  // namespace
#endif

bool read_real(const char*& p, const char* end, double& value) {
#if defined(__SSE2__)
    if (end - p >= 18 && read_real_sse2(p, value)) return true;
#endif
    // The forms this program and most others write, "-12", "345.678901", take the fast path:
    // at most 19 digits make an exact integer, and below 2^53 with at most 22 decimals, one
    // correctly rounded division by an exact power of ten gives the correctly rounded value,
    // which is what strtod returns.
    const char* const start = p;
    const char* q = p;
    const bool negative = q != end && *q == '-';
    q += (q != end && (*q == '-' || *q == '+')) ? 1 : 0;
    uint64_t mantissa = 0;
    const char* const int_start = q;
    while (q != end && is_digit(*q))
        mantissa = mantissa * 10 + static_cast<uint64_t>(*q++ - '0');
    const auto int_digits = q - int_start;
    std::ptrdiff_t frac_digits = 0;
    if (q != end && *q == '.') {
        const char* const frac_start = ++q;
        while (q != end && is_digit(*q))
            mantissa = mantissa * 10 + static_cast<uint64_t>(*q++ - '0');
        frac_digits = q - frac_start;
    }
    const auto digits = int_digits + frac_digits;
    if ((q == end || is_blank(*q)) && digits > 0 && digits <= 19 && frac_digits <= 22 &&
        mantissa <= (uint64_t{1} << 53)) [[likely]] {
        p = q;
        const double magnitude = static_cast<double>(mantissa) / kExactPowersOfTen[frac_digits];
        value = negative ? -magnitude : magnitude;
        return true;
    }
    while (q != end && !is_blank(*q))
        ++q;
    p = q;
    const auto general =
        parse_real_general(std::string_view(start, static_cast<std::size_t>(q - start)));
    if (general) value = *general;
    return general.has_value();
}

char* format_fixed6(double v, char* out) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
#if defined(__SIZEOF_INT128__)
    // Below 2^44 the value times 10^6 fits in 64 bits once rounded; exact integer
    // arithmetic on the binary significand then reproduces printf digit for digit.
    if (biased < 1023 + 44) {
        __extension__ using u128 = unsigned __int128;
        const uint64_t significand = biased == 0 ? fraction : fraction | (uint64_t{1} << 52);
        const int shift = biased == 0 ? 1074 : 1075 - biased;  // value = significand / 2^shift
        uint64_t scaled = 0;
        if (shift < 74) {
            const u128 n = static_cast<u128>(significand) * 1000000u;
            scaled = static_cast<uint64_t>(n >> shift);
            const u128 remainder = n & ((u128{1} << shift) - 1);
            const u128 half = u128{1} << (shift - 1);
            if (remainder > half || (remainder == half && (scaled & 1) != 0)) ++scaled;
        }
        // Without a branch on the sign or on the number of digits: these vary from value to
        // value, and mispredicting them cost more than the arithmetic.
        *out = '-';
        out += negative ? 1 : 0;
        const uint64_t whole = scaled / 1000000;
        if (std::endian::native == std::endian::little && whole < 100000000) {
            // Eight digits with leading zeros, assembled in a register (the first in the
            // lowest byte), shifted down past the zeros and stored at once.
            const auto w = static_cast<uint32_t>(whole);
            auto pair = [](uint32_t two_digits) {
                uint16_t chars;
                std::memcpy(&chars, kDigitPairs + std::size_t{two_digits} * 2, 2);
                return uint64_t{chars};
            };
            const uint64_t digits = pair(w / 1000000) | pair(w / 10000 % 100) << 16 |
                                    pair(w / 100 % 100) << 32 | pair(w % 100) << 48;
            const int count = 1 + (w >= 10) + (w >= 100) + (w >= 1000) + (w >= 10000) +
                              (w >= 100000) + (w >= 1000000) + (w >= 10000000);
            const uint64_t significant = digits >> (8 * (8 - count));
            std::memcpy(out, &significant, 8);
            out += count;
        } else {
            out = write_unsigned(whole, out);
        }
        *out++ = '.';
        return write_six_digits(static_cast<uint32_t>(scaled % 1000000), out);
    }
#endif
    if (v != v) {
        // The text goes on in the caller's buffer: no terminating NUL is wanted.
        std::memcpy(out, "nan", 3);  // NOLINT(bugprone-not-null-terminated-result)
        return out + 3;
    }
    if (biased == 0x7ff) {
        char buf[16];
        int n = std::snprintf(buf, sizeof buf, "%lf", v);
        std::memcpy(out, buf, static_cast<std::size_t>(n));
        return out + n;
    }
    auto result = std::to_chars(out, out + kMaxFixed6Length, v, std::chars_format::fixed, 6);
    return result.ptr;
}

std::string format_header_real(double v) {
    if (v != v) return "nan";
    char buf[400];
    std::snprintf(buf, sizeof buf, "%lf", v);
    auto reads_back = [v](const char* text) {
        return std::bit_cast<uint64_t>(std::strtod(text, nullptr)) == std::bit_cast<uint64_t>(v);
    };
    if (!std::isfinite(v) || reads_back(buf)) return buf;
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, v);
        if (reads_back(buf)) break;
    }
    return buf;
}

}  // namespace terrapivoter
