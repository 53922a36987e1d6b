#include "number_text.h"

#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

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
    uint32_t hi = v / 10000, mid = (v / 100) % 100, lo = v % 100;
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

std::optional<double> parse_real_token(std::string_view token) {
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const char* const unsigned_start = p;
    uint64_t mantissa = 0;
    int significant = 0;
    int digits = 0;
    int exponent = 0;
    for (; p != end && is_digit(*p); ++p, ++digits) {
        if (mantissa == 0 && *p == '0') continue;
        if (++significant > 19) return parse_with_strtod(token);
        mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (p != end && *p == '.') {
        for (++p; p != end && is_digit(*p); ++p, ++digits) {
            --exponent;
            if (mantissa == 0 && *p == '0') continue;
            if (++significant > 19) return parse_with_strtod(token);
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
        }
    }
    if (digits == 0 || p != end) {
        // An exponent, a hexadecimal form, "inf"/"nan", or not a number at all.
        if (digits == 0 || (*p != 'e' && *p != 'E')) return parse_with_strtod(token);
        double v;
        auto [stop, ec] = std::from_chars(unsigned_start, end, v, std::chars_format::general);
        if (ec == std::errc() && stop == end) return negative ? -v : v;
        return parse_with_strtod(token);
    }
    if (mantissa == 0) return negative ? -0.0 : 0.0;
    if (mantissa <= (uint64_t{1} << 53) && exponent >= -22) {
        // Both operands are exact doubles, so one correctly rounded division gives the
        // correctly rounded value, which is what strtod returns.
        double v = static_cast<double>(mantissa) / kExactPowersOfTen[-exponent];
        return negative ? -v : v;
    }
    double v;
    auto [stop, ec] = std::from_chars(unsigned_start, end, v, std::chars_format::general);
    if (ec == std::errc() && stop == end) return negative ? -v : v;
    return parse_with_strtod(token);
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
        if (negative) *out++ = '-';
        out = write_unsigned(scaled / 1000000, out);
        *out++ = '.';
        return write_six_digits(static_cast<uint32_t>(scaled % 1000000), out);
    }
#endif
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
