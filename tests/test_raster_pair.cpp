#include <gtest/gtest.h>

#include <cstdio>

#include "formats/raster_pair.h"
#include "io/output_file.h"
#include "platform/platform.h"
#include "support.h"

using namespace terrapivoter;

namespace {

RasterDescriptor parse_text(const std::string& text, const ScratchDir& dir) {
    const fs::path path = dir / "d_m4.txt";
    write_file(path, text);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.string().c_str(), "r"),
                                                      &std::fclose);
    return parse_raster_descriptor(f.get(), "c:\\images\\x\\d_m4.txt");
}

TEST(RasterDescriptor, ReadsSixValuesSeparatedByAnyWhiteSpace) {
    ScratchDir dir;
    for (const char* text : {"2\n3\n4\n100\n600\n25.000000\n", "2 3 4 100 600 25.000000",
                             "2\r\n3\r\n4\r\n100\r\n600\r\n25.000000\r\n",
                             "\t 2\t3\n\n4 100\v600\f25 and anything after the sixth value"}) {
        const RasterDescriptor d = parse_text(text, dir);
        EXPECT_EQ(d.nb_lig, 2) << text;
        EXPECT_EQ(d.nb_col, 3) << text;
        EXPECT_EQ(d.num_bytes, 4) << text;
        EXPECT_EQ(d.min_alt, 100) << text;
        EXPECT_EQ(d.max_alt, 600) << text;
        EXPECT_EQ(d.dpix_size, 25.0) << text;
    }
}

TEST(RasterDescriptor, RefusesMalformedDescriptorsNamingTheFile) {
    ScratchDir dir;
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"", "ends after 0 values"},
        {"2\n3\n4\n100\n600\n", "ends after 5 values"},
        {"2\n3\nfour\n100\n600\n25\n", "value 3 (the byte count) is \"four\""},
        {"two\n3\n4\n100\n600\n25\n", "value 1 (the number of rows)"},
        {"2.5\n3\n4\n100\n600\n25\n", "\"2.5\", not a whole number"},
        {"2\n3\n4\n100\n600\nnan\n", "value 6 (the pixel size) is \"nan\", not a finite number"},
        {"2\n3\n4\n100\n600\n1e999\n", "not a finite number"},
        {"2147483648\n3\n4\n100\n600\n25\n", "not a whole number within 32 bits"},
        {"0\n3\n4\n100\n600\n25\n", "at least one row and one column, not 0 rows"},
        {"2\n-3\n4\n100\n600\n25\n", "not 2 rows and -3 columns"},
        {"2\n3\n4\n100\n600\n25,5\n", "\"25,5\""},
    };
    for (const auto& c : cases) {
        const std::string message = failure_of([&] { parse_text(c.text, dir); });
        EXPECT_NE(message.find("c:\\images\\x\\d_m4.txt"), std::string::npos) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.text << " -> " << message;
    }
    const std::string long_token(5000, '1');
    EXPECT_NE(failure_of([&] { parse_text(long_token + " 3 4 1 2 3", dir); }).find("value 1"),
              std::string::npos);
}

TEST(RasterDescriptor, IsWrittenWithSixLines) {
    EXPECT_EQ(format_raster_descriptor({2, 3, 4, 100, 600, 25.0}),
              "2\n3\n4\n100\n600\n25.000000\n");
    EXPECT_EQ(format_raster_descriptor({87, 61, 4, -30, -10, 0.008333333333}),
              "87\n61\n4\n-30\n-10\n0.008333333333\n");
}

class RasterPairFiles : public testing::Test {
  protected:
    std::string base() const { return (dir.path() / "site").string(); }
    void write(const std::string& descriptor, const std::string& data) {
        write_file(dir / "site_m4.txt", descriptor);
        write_file(dir / "site_m4.raw", data);
    }
    ScratchDir dir;
};

TEST_F(RasterPairFiles, LoadsRowZeroFromTheFirstBytes) {
    write("2\n3\n4\n100\n600\n25.000000\n", raster_bytes({100, 200, 300, 400, 500, -600}));
    for (unsigned threads : {1u, 2u}) {
        RasterInput in = held_raster_pair(base(), 100.0, {.threads = threads});
        EXPECT_EQ(in.descriptor.num_bytes, 4);
        EXPECT_EQ(in.descriptor.dpix_size, 25.0);
        ASSERT_EQ(in.values.nb_lig(), 2);
        ASSERT_EQ(in.values.nb_col(), 3);
        EXPECT_EQ(values_of(in.values), (std::vector<double>{1, 2, 3, 4, 5, -6}));
        EXPECT_EQ(in.range.smallest, -600);
        EXPECT_EQ(in.range.largest, 500);
    }
    // All negative: the largest is the largest value, not 0.
    write("2\n3\n4\n0\n0\n1\n", raster_bytes({-10, -14, -18, -22, -26, -30}));
    for (unsigned threads : {1u, 2u}) {
        const RasterSummary summary = read_raster_summary(base(), {.threads = threads});
        EXPECT_EQ(summary.range.smallest, -30);
        EXPECT_EQ(summary.range.largest, -10);
    }
}

TEST_F(RasterPairFiles, OpensTheDescriptorFirstThenTheData) {
    // Neither file: the descriptor is named.
    try {
        held_raster_pair(base(), 1.0);
        FAIL() << "no failure";
    } catch (const MissingInputFile& missing) {
        EXPECT_EQ(missing.path, base() + "_m4.txt");
    }
    write_file(dir / "site_m4.txt", "not even a descriptor");
    try {
        held_raster_pair(base(), 1.0);
        FAIL() << "no failure";
    } catch (const MissingInputFile& missing) {
        EXPECT_EQ(missing.path, base() + "_m4.raw");
    }
}

TEST_F(RasterPairFiles, RefusesShortDataBeforeAllocatingAnything) {
    const struct {
        const char* descriptor;
        std::string data;
        const char* says;
    } cases[] = {
        {"2 3 4 100 600 25", raster_bytes({1, 2, 3}),
         "holds 12 bytes, but 2 rows of 3 columns need 24 bytes"},
        {"2 3 4 100 600 25", raster_bytes({1, 2, 3, 4, 5, 6}).substr(0, 23), "holds 23 bytes"},
        {"2 3 4 100 600 25", "", "holds 0 bytes"},
        {"2147483647 2147483647 4 0 0 1", raster_bytes({1, 2, 3, 4, 5, 6}),
         "need 18446744056529682436 bytes"},
    };
    for (const auto& c : cases) {
        write(c.descriptor, c.data);
        const std::string message = failure_of([&] { held_raster_pair(base(), 1.0); });
        EXPECT_NE(message.find(base() + "_m4.raw"), std::string::npos) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
}

TEST_F(RasterPairFiles, WarnsAboutAndIgnoresExtraData) {
    write("1 2 4 0 0 1", raster_bytes({7, 8, 9}) + "xy");
    testing::internal::CaptureStderr();
    // Peeked at, then read, as a run does: one warning.
    peek_raster_pair(base());
    RasterInput in = held_raster_pair(base(), 1.0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(in.values[0][0], 7);
    EXPECT_EQ(in.values[0][1], 8);
    const std::string warning =
        "terrapivoter: warning: " + base() + "_m4.raw: holds 14 bytes; the 6 bytes";
    EXPECT_NE(err.find(warning), std::string::npos) << err;
    EXPECT_EQ(err.find(warning, err.find(warning) + 1), std::string::npos) << err;
}

TEST(RasterValues, UnitConversionsComeBackUnchanged) {
    // Dividing by the unit and multiplying back must return every stored integer; truncation
    // would write 3 back as 2 and 7 as 6 in decimetres.
    for (double coef : {1.0, 10.0, 100.0, 1000.0}) {
        for (int32_t v :
             {3, 7, 5, 10, -3, -7, 0, 1, -1, 123456789, -123456789, INT32_MAX, INT32_MIN}) {
            bool clamped = true;
            EXPECT_EQ(raster_value(working_value(v, coef), coef, clamped), v) << v << " / " << coef;
            EXPECT_FALSE(clamped);
        }
        for (int32_t v = -200000; v <= 200000; v += 7) {
            bool clamped;
            ASSERT_EQ(raster_value(working_value(v, coef), coef, clamped), v) << v << " / " << coef;
        }
    }
}

TEST(RasterValues, RoundHalfAwayFromZeroAndClamp) {
    const struct {
        double value;
        double coef;
        int32_t expected;
        bool clamped;
    } cases[] = {
        {2.5, 1, 3, false},
        {-2.5, 1, -3, false},
        {0.5, 1, 1, false},
        {2.4999, 1, 2, false},
        {0.25, 10, 3, false},
        {-0.25, 10, -3, false},
        {3e9, 1, INT32_MAX, true},
        {-3e9, 1, INT32_MIN, true},
        {1e7, 1000, INT32_MAX, true},
        {2147483647.0, 1, INT32_MAX, false},
        {-2147483648.0, 1, INT32_MIN, false},
        {2147483647.4, 1, INT32_MAX, false},
        {2147483647.5, 1, INT32_MAX, true},
        {1e308, 1000, INT32_MAX, true},
    };
    for (const auto& c : cases) {
        bool clamped = !c.clamped;
        EXPECT_EQ(raster_value(c.value, c.coef, clamped), c.expected) << c.value << " x " << c.coef;
        EXPECT_EQ(clamped, c.clamped) << c.value << " x " << c.coef;
    }
}

TEST(RasterValues, WriterConvertsEveryRowAndCountsClampedCells) {
    ScratchDir dir;
    Matrix<double> grid = grid_of(2, 2, {1.25, -0.7, 3e9, 2.0});
    {
        OutputFile out((dir / "o_m4.raw").string(), false);
        testing::internal::CaptureStderr();
        warn_clamped(out, write_raster_rows(grid.view(), 10.0, out, {}, nullptr));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("1 value lies outside the 32-bit integer range"), std::string::npos)
            << err;
        out.finish();
        out.commit();
    }
    EXPECT_EQ(raster_values(read_file(dir / "o_m4.raw")),
              (std::vector<int32_t>{13, -7, INT32_MAX, 20}));
}

TEST(RasterValues, WholeExtremesOfADoubleGrid) {
    Matrix<double> grid = grid_of(2, 3, {-32768, 0, 12.9, -0.5, 3e12, 7});
    const ValueRange r = whole_extremes(grid.view());
    EXPECT_EQ(r.smallest, -32768);
    EXPECT_EQ(r.largest, INT32_MAX);
    Matrix<double> small = grid_of(1, 2, {-12.9, -3.7});
    EXPECT_EQ(whole_extremes(small.view()).smallest, -12);
    EXPECT_EQ(whole_extremes(small.view()).largest, -3);
}

}  // namespace

namespace {

TEST_F(RasterPairFiles, AGridLargerThanMemoryIsRefusedBeforeAllocation) {
    // 200000 x 200000 cells need 320 GB as two double grids. The data file is sparse: it has
    // the right size without taking the space (a file grown on Windows is not).
#ifdef _WIN32
    GTEST_SKIP() << "a 160 GB file would take its space";
#endif
    write("200000 200000 4 0 0 1", "");
    fs::resize_file(dir / "site_m4.raw", uint64_t{4} * 200000 * 200000);
    const std::string message = failure_of([&] { held_raster_pair(base(), 1.0); });
    EXPECT_NE(
        message.find(base() + "_m4.txt: a grid of 200000 rows and 200000 columns needs about "),
        std::string::npos)
        << message;
    EXPECT_NE(message.find("of memory; this machine has"), std::string::npos) << message;
}

}  // namespace
