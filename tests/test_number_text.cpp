#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "formats/number_text.h"

using namespace terrapivoter;

namespace {

uint64_t bits(double v) {
    return std::bit_cast<uint64_t>(v);
}

std::string printf_fixed6(double v) {
    char buf[kMaxFixed6Length + 8];
    std::snprintf(buf, sizeof buf, "%lf", v);
    return buf;
}

std::string fast_fixed6(double v) {
    char buf[kMaxFixed6Length];
    return std::string(buf, format_fixed6(v, buf));
}

TEST(IntegerToken, AcceptsWholeDecimalTokensWithin32Bits) {
    const struct {
        const char* token;
        int32_t value;
    } accepted[] = {{"0", 0},
                    {"+5", 5},
                    {"-3", -3},
                    {"007", 7},
                    {"2147483647", INT32_MAX},
                    {"-2147483648", INT32_MIN},
                    {"-0", 0},
                    {"+0000000000000000000001", 1}};
    for (const auto& c : accepted) {
        auto v = parse_int32_token(c.token);
        ASSERT_TRUE(v.has_value()) << c.token;
        EXPECT_EQ(*v, c.value) << c.token;
    }
}

TEST(IntegerToken, RefusesEverythingElse) {
    for (const char* token : {"", "+", "-", "2.5", "abc", "12abc", " 1", "1 ", "2147483648",
                              "-2147483649", "99999999999", "1e3", "0x10", "--3", "+-1", "٣"}) {
        EXPECT_FALSE(parse_int32_token(token).has_value()) << token;
    }
}

TEST(RealToken, AcceptsWhatStrtodReadsWholeAndFinite) {
    const struct {
        const char* token;
        double value;
    } accepted[] = {{"5", 5.0},
                    {"+5", 5.0},
                    {".5", 0.5},
                    {"5.", 5.0},
                    {"1e3", 1000.0},
                    {"1E+3", 1000.0},
                    {"-2.5e-1", -0.25},
                    {"0x1p4", 16.0},
                    {"1e-400", 0.0},
                    {"-32768", -32768.0},
                    {"0.008333333333", 0.008333333333},
                    {"12345678901234567890123", 12345678901234567890123.0}};
    for (const auto& c : accepted) {
        auto v = parse_real_token(c.token);
        ASSERT_TRUE(v.has_value()) << c.token;
        EXPECT_EQ(bits(*v), bits(c.value)) << c.token;
    }
    auto negative_zero = parse_real_token("-0");
    ASSERT_TRUE(negative_zero.has_value());
    EXPECT_TRUE(std::signbit(*negative_zero));
}

TEST(RealToken, RefusesNonFiniteAndPartialTokens) {
    for (const char* token :
         {"",    "nan", "NaN", "inf", "-inf", "infinity", "1e999", "-1e999", "12abc", "1,5",
          "--3", ".",   "e5",  "1e",  "+-1",  "0x",       " 5",    "5 ",     "1.2.3", "abc"}) {
        EXPECT_FALSE(parse_real_token(token).has_value()) << token;
    }
    EXPECT_FALSE(parse_real_token(std::string_view("5\0"
                                                   "1",
                                                   3))
                     .has_value());
}

// Random tokens in the shapes real files hold (and some they do not) must read exactly as
// strtod reads them.
TEST(RealToken, MatchesStrtodOnRandomTokens) {
    std::mt19937_64 rng(20261208);
    std::uniform_int_distribution<int> shape(0, 5), digits(1, 25), small(0, 9);
    int compared = 0;
    for (int n = 0; n < 1000000; ++n) {
        std::string token;
        switch (shape(rng)) {
            case 0: {  // any double, shortest exact
                double v = std::bit_cast<double>(rng());
                if (!std::isfinite(v)) continue;
                char buf[40];
                std::snprintf(buf, sizeof buf, "%.17g", v);
                token = buf;
                break;
            }
            case 1: {  // six decimals, as this program writes
                char buf[64];
                std::snprintf(buf, sizeof buf, "%lf",
                              std::ldexp(static_cast<double>(rng() >> 11), small(rng) * 4 - 40));
                token = buf;
                break;
            }
            default: {  // digit strings with a point, a sign and an exponent here and there
                if (rng() % 3 == 0) token += rng() % 2 ? '-' : '+';
                int total = digits(rng);
                int point = static_cast<int>(rng() % static_cast<uint64_t>(total + 1));
                for (int k = 0; k < total; ++k) {
                    if (k == point) token += '.';
                    token += static_cast<char>('0' + small(rng));
                }
                if (rng() % 4 == 0) {
                    token += 'e';
                    token += std::to_string(static_cast<int>(rng() % 700) - 350);
                }
                break;
            }
        }
        char* end = nullptr;
        const double expected = std::strtod(token.c_str(), &end);
        const bool valid = *end == '\0' && std::isfinite(expected);
        auto got = parse_real_token(token);
        ASSERT_EQ(got.has_value(), valid) << token;
        if (valid) {
            ASSERT_EQ(bits(*got), bits(expected)) << token;
        }
        // Inside a text, where the vector path may look ahead, the same value and the same end.
        const std::string text = token + (n % 2 ? "\t" : "\n") + std::string(20, ' ');
        const char* p = text.data();
        double in_text = 0;
        ASSERT_EQ(read_real(p, text.data() + text.size(), in_text), valid) << token;
        ASSERT_EQ(p, text.data() + token.size()) << token;
        if (valid) {
            ASSERT_EQ(bits(in_text), bits(expected)) << token;
        }
        ++compared;
    }
    EXPECT_GT(compared, 900000);
}

TEST(Fixed6, MatchesPrintfOnChosenValues) {
    for (double v : {0.0,
                     -0.0,
                     1.0,
                     -1.0,
                     0.5,
                     30.0,
                     12.34,
                     4000000.0,
                     0.0078125,
                     -0.0078125,
                     0.0234375,
                     1.0000005,
                     2.5e-7,
                     -2.5e-7,
                     5e-7,
                     -5e-7,
                     4.9999999999999e-7,
                     1e-9,
                     -1e-9,
                     9.9999995,
                     0.9999995,
                     17592186044415.999,
                     17592186044416.0,
                     17592186044417.5,
                     1e15 + 0.5,
                     9007199254740993.0,
                     1e300,
                     -1e300,
                     DBL_MAX,
                     -DBL_MAX,
                     DBL_MIN,
                     DBL_TRUE_MIN,
                     -DBL_TRUE_MIN,
                     10000000.0,
                     -9999.9999,
                     2147483647.4,
                     -2147483648.6,
                     double{INFINITY},
                     -double{INFINITY}}) {
        EXPECT_EQ(fast_fixed6(v), printf_fixed6(v)) << v;
    }
}

TEST(Fixed6, MatchesPrintfOnExactTiesOfTheSeventhDecimal) {
    // k/128 has seven decimals ending in 5: printf rounds such exact ties to even.
    for (int k = -5000; k <= 5000; ++k) {
        const double v = k / 128.0;
        ASSERT_EQ(fast_fixed6(v), printf_fixed6(v)) << v;
        const double w = 1000.0 + k / 2097152.0;  // 2^-21 steps: more tie patterns
        ASSERT_EQ(fast_fixed6(w), printf_fixed6(w)) << w;
    }
}

TEST(Fixed6, MatchesPrintfOnRandomBitPatterns) {
    std::mt19937_64 rng(7);
    for (int n = 0; n < 2000000; ++n) {
        double v = std::bit_cast<double>(rng());
        if (n % 2 == 0)
            v = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 100) - 70);
        if (std::isnan(v)) continue;
        ASSERT_EQ(fast_fixed6(v), printf_fixed6(v)) << std::hexfloat << v;
    }
}

TEST(HeaderReal, KeepsSixDecimalsWhenTheyAreExact) {
    EXPECT_EQ(format_header_real(30.0), "30.000000");
    EXPECT_EQ(format_header_real(500000.0), "500000.000000");
    EXPECT_EQ(format_header_real(-32768.0), "-32768.000000");
    EXPECT_EQ(format_header_real(12.5), "12.500000");
}

TEST(HeaderReal, UsesTheShortestExactFormOtherwise) {
    EXPECT_EQ(format_header_real(0.008333333333), "0.008333333333");
    EXPECT_EQ(format_header_real(5.741666666667), "5.741666666667");
    EXPECT_EQ(format_header_real(49.441666666667), "49.441666666667");
    EXPECT_EQ(format_header_real(-9999.9999), "-9999.999900");
    EXPECT_EQ(format_header_real(0.1), "0.100000");
    EXPECT_EQ(format_header_real(0.1234567), "0.1234567");
    EXPECT_EQ(format_header_real(1e-300), "1e-300");
    std::mt19937_64 rng(11);
    for (int n = 0; n < 20000; ++n) {
        const double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        const std::string text = format_header_real(v);
        ASSERT_EQ(bits(std::strtod(text.c_str(), nullptr)), bits(v)) << text;
    }
}

}  // namespace
