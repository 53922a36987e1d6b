// The fast conversions, parser and formatter against the plain ones they replace.
#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "io/output_file.h"
#include "support.h"

using namespace terrapivoter;

namespace {

constexpr double kUnits[] = {1.0, 10.0, 100.0, 1000.0};

TEST(FastIo, WorkingValuesEqualTheExtendedDivision) {
    std::mt19937_64 rng(3);
    for (double coef : kUnits) {
        for (int32_t v = -300000; v <= 300000; ++v) {
            ASSERT_EQ(std::bit_cast<uint64_t>(working_value_fast(v, coef)),
                      std::bit_cast<uint64_t>(working_value(v, coef)))
                << v << " / " << coef;
        }
        for (int n = 0; n < 2000000; ++n) {
            const auto v = static_cast<int32_t>(rng());
            ASSERT_EQ(working_value_fast(v, coef), working_value(v, coef)) << v << " / " << coef;
        }
    }
}

TEST(FastIo, RasterValuesEqualTheExtendedRounding) {
    std::mt19937_64 rng(4);
    auto check = [](double value, double coef) {
        bool clamped = false;
        int32_t fast = 0;
        const int64_t clamped_fast = detail::convert_row(&value, &fast, 1, coef);
        ASSERT_EQ(fast, raster_value(value, coef, clamped))
            << std::hexfloat << value << " x " << coef;
        ASSERT_EQ(clamped_fast, clamped ? 1 : 0) << value;
    };
    // Exact products a few 2^(e-64) from a half-integer h = q/2 of exponent e, so that the double
    // product is h itself and only the product's 64-bit rounding decides (at offset -1 it is a
    // tie, which goes to h): q 2^(63-e) + offset = m x d, value m and coefficient d 2^(e-64).
    // No unit's coefficient makes products that fine.
    __extension__ using Wide = unsigned __int128;
    int tried = 0;
    for (int e : {-1, 0, 10, 30}) {
        const int64_t first_q = e < 0 ? 1 : (int64_t{1} << (e + 1)) + 1;
        for (int64_t q = first_q; q < first_q + 400 && (e >= 0 || q == 1); q += 2) {
            for (int offset = -3; offset <= 2; ++offset) {
                const Wide n = (static_cast<Wide>(q) << (63 - e)) + static_cast<Wide>(offset);
                for (uint64_t d = 3; d < 70000; d += 2) {
                    if (n % d != 0 || n / d >= (Wide{1} << 53)) continue;
                    const auto m = static_cast<double>(static_cast<uint64_t>(n / d));
                    const double coef = std::ldexp(static_cast<double>(d), e - 64);
                    check(m, coef);
                    check(-m, coef);
                    ++tried;
                    break;
                }
            }
        }
    }
    EXPECT_GT(tried, 200) << tried;
    for (double coef : kUnits) {
        // Within one unit and a half of either 32-bit limit once multiplied, in sixteenths.
        for (double limit : {2147483647.0, 2147483648.0, -2147483647.0, -2147483648.0}) {
            for (int k = -24; k <= 24; ++k) {
                const double value = (limit + k / 16.0) / coef;
                check(value, coef);
                check(std::nextafter(value, 1e300), coef);
                check(std::nextafter(value, -1e300), coef);
            }
        }
        for (int n = 0; n < 300000; ++n) {
            // Halfway cases and their neighbours, at every magnitude up to beyond 32 bits.
            const double half =
                (static_cast<double>(static_cast<int64_t>(rng() % (uint64_t{1} << (n % 34)))) +
                 0.5) *
                (n % 2 ? 1 : -1) / coef;
            check(half, coef);
            check(std::nextafter(half, 1e300), coef);
            check(std::nextafter(half, -1e300), coef);
            check(std::bit_cast<double>(rng()), coef);
            check(working_value(static_cast<int32_t>(rng()), coef), coef);
        }
        // Whole rows, where undecided and clamped values lie anywhere among decided ones.
        for (int n = 0; n < 200; ++n) {
            std::vector<double> values(1000 - rng() % 40);
            std::vector<int32_t> expected;
            int64_t clamped_cells = 0;
            for (double& value : values) {
                const uint64_t pick = rng() % 64;
                value = pick == 0   ? (static_cast<double>(rng() % 100000) + 0.5) / coef
                        : pick == 1 ? -3e9 / coef
                                    : static_cast<double>(rng() % 2000000) / 7.0 / coef;
                bool clamped = false;
                expected.push_back(raster_value(value, coef, clamped));
                clamped_cells += clamped ? 1 : 0;
            }
            std::vector<int32_t> fast(values.size());
            ASSERT_EQ(detail::convert_row(values.data(), fast.data(),
                                          static_cast<int32_t>(values.size()), coef),
                      clamped_cells);
            ASSERT_EQ(fast, expected) << "row " << n << " x " << coef;
        }
    }
}

std::string random_grid_text(std::mt19937_64& rng, int32_t rows, int32_t cols, int extra) {
    std::string text;
    const char* separators[] = {" ", "\t", "\n", "\r\n", "   ", " \t "};
    for (int64_t k = 0; k < int64_t{rows} * cols + extra; ++k) {
        switch (rng() % 5) {
            case 0:
                text += std::to_string(static_cast<int>(rng() % 20000) - 10000);
                break;
            case 1:
                text += std::to_string(std::bit_cast<double>(rng() | 0x3000000000000000));
                break;
            default: {
                char buf[40];
                std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(rng() % 8),
                              std::uniform_real_distribution<double>(-5000, 5000)(rng));
                text += buf;
            }
        }
        text += separators[rng() % 6];
    }
    return text;
}

struct Outcome {
    std::vector<double> values;
    std::string failure;
    std::string warning;
};

template <class Parse>
Outcome outcome(const std::string& text, int32_t rows, int32_t cols, Parse&& parse) {
    Matrix<double> grid(rows, cols);
    Outcome o;
    testing::internal::CaptureStderr();
    o.failure = failure_of([&] { parse(text, grid.view()); });
    o.warning = testing::internal::GetCapturedStderr();
    o.values = values_of(grid.view());
    return o;
}

TEST(FastIo, ParallelParsingReadsAndFailsAsTheStrtodReaderDoes) {
    std::mt19937_64 rng(6);
    for (int trial = 0; trial < 400; ++trial) {
        const auto rows = static_cast<int32_t>(1 + rng() % 30);
        const auto cols = static_cast<int32_t>(1 + rng() % 30);
        std::string text = random_grid_text(rng, rows, cols, static_cast<int>(rng() % 3) - 1);
        if (trial % 4 == 1) text.insert(rng() % text.size(), rng() % 2 ? "x" : " nan ");
        const Outcome plain = outcome(text, rows, cols, [](const std::string& t, DoubleGrid g) {
            parse_ascii_values_reference(t, 0, g, "g.asc");
        });
        for (unsigned threads : {1u, 2u, 3u, 7u}) {
            const Outcome fast = outcome(text, rows, cols, [&](const std::string& t, DoubleGrid g) {
                parse_ascii_values(t, 0, g, "g.asc", {.threads = threads});
            });
            ASSERT_EQ(fast.failure, plain.failure) << threads;
            ASSERT_EQ(fast.warning, plain.warning) << threads;
            if (plain.failure == "(no failure)") {
                for (std::size_t k = 0; k < plain.values.size(); ++k) {
                    ASSERT_EQ(std::bit_cast<uint64_t>(fast.values[k]),
                              std::bit_cast<uint64_t>(plain.values[k]));
                }
            }
        }
    }
}

std::string written(const std::function<void(OutputFile&)>& write) {
    ScratchDir dir;
    OutputFile out((dir / "o.asc").string(), true);
    write(out);
    out.finish();
    out.commit();
    return read_file(dir / "o.asc");
}

TEST(FastIo, ParallelFormattingWritesWhatFprintfWrites) {
    std::mt19937_64 rng(8);
    for (int trial = 0; trial < 30; ++trial) {
        const auto rows = static_cast<int32_t>(1 + rng() % 200);
        const auto cols = static_cast<int32_t>(1 + rng() % 200);
        Matrix<double> grid(rows, cols);
        for (int32_t i = 0; i < rows; ++i) {
            for (int32_t j = 0; j < cols; ++j) {
                const double v = std::bit_cast<double>(rng());
                grid[i][j] = std::isfinite(v) && trial % 2
                                 ? v
                                 : std::ldexp(static_cast<double>(rng() % 100000), -7) - 300;
            }
        }
        const std::string plain =
            written([&](OutputFile& out) { write_ascii_values_reference(grid.view(), out); });
        for (unsigned threads : {1u, 2u, 5u}) {
            ASSERT_EQ(written([&](OutputFile& out) {
                          write_ascii_values(grid.view(), out, {.threads = threads});
                      }),
                      plain);
        }
    }
}

TEST(FastIo, RasterWritingInBlocksWritesWhatThePlainWriterWrites) {
    std::mt19937_64 rng(12);
    // Rows wide enough that the grid takes several blocks of about 2^18 values, written by
    // different threads.
    Matrix<double> grid(37, 20011);
    for (int32_t i = 0; i < grid.nb_lig(); ++i) {
        for (int32_t j = 0; j < grid.nb_col(); ++j) {
            const double half = (static_cast<double>(rng() % 100000) + 0.5) / 100.0;
            const double choices[] = {
                half, -half, std::nextafter(half, 0.0),
                3e9,  -7.25, working_value(static_cast<int32_t>(rng()), 100.0)};
            grid[i][j] = choices[rng() % 6];
        }
    }
    auto written = [&](std::optional<unsigned> threads, std::string& warning) {
        ScratchDir dir;
        OutputFile out((dir / "o_m4.raw").string(), false);
        testing::internal::CaptureStderr();
        if (threads) {
            warn_clamped(
                out, write_raster_rows(grid.view(), 100.0, out, {.threads = *threads}, nullptr));
        } else {
            warn_clamped(out, write_raster_rows_reference(grid.view(), 100.0, out));
        }
        warning = testing::internal::GetCapturedStderr();
        warning = warning.substr(std::min(warning.size(), warning.find("o_m4.raw")));
        out.finish();
        out.commit();
        return read_file(dir / "o_m4.raw");
    };
    std::string plain_warning, fast_warning;
    const std::string plain = written(std::nullopt, plain_warning);
    for (unsigned threads : {1u, 2u, 3u}) {
        EXPECT_EQ(written(threads, fast_warning), plain) << threads;
        EXPECT_EQ(fast_warning, plain_warning);
    }
    EXPECT_NE(plain_warning.find("values lie outside the 32-bit integer range"), std::string::npos);
}

}  // namespace
