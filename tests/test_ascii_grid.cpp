#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "formats/ascii_grid.h"
#include "io/output_file.h"
#include "support.h"

using namespace terrapivoter;

namespace {

const std::string kName = "c:\\images\\x\\g.asc";

// Reads `text` as the whole content of an ASCII grid file.
AsciiInput read_text(const ScratchDir& dir, const std::string& text) {
    write_file(dir / "g.asc", text);
    return read_ascii_grid((dir / "g.asc").string());
}

std::string written(const AsciiHeader& header, DoubleGrid values) {
    ScratchDir dir;
    {
        OutputFile out((dir / "o.asc").string(), true);
        out.write(format_ascii_header(header));
        write_ascii_values(values, out);
        out.finish();
        out.commit();
    }
    return read_file(dir / "o.asc");
}

TEST(AsciiGridWriter, WritesTheHeaderThenEveryValueOnOneLine) {
    Matrix<double> values = grid_of(2, 3, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(written({3, 2, 500000, 4000000, 30, {}}, values.view()),
              "ncols 3\nnrows 2\nxllcorner 500000.000000\nyllcorner 4000000.000000\n"
              "cellsize 30.000000\nnodata_value -9999.9999\n"
              "1.000000\t2.000000\t3.000000\t4.000000\t5.000000\t6.000000\t");
}

TEST(AsciiGridWriter, KeepsAGeoreferenceInDegreesAndACarriedNoDataValue) {
    Matrix<double> values = grid_of(1, 2, {-32768, 0.0078125});
    EXPECT_EQ(
        written({2, 1, 5.741666666667, 49.441666666667, 0.008333333333, -32768.0}, values.view()),
        "ncols 2\nnrows 1\nxllcorner 5.741666666667\nyllcorner 49.441666666667\n"
        "cellsize 0.008333333333\nnodata_value -32768.000000\n-32768.000000\t0.007812\t");
}

TEST(AsciiGridReader, ReadsBackWhatTheWriterWrote) {
    ScratchDir dir;
    Matrix<double> values = grid_of(3, 2, {1.5, -2.25, 1e6, 0.1234564, -0.0000004, 7});
    AsciiInput back(read_text(
        dir, written({2, 3, 5.741666666667, 49.441666666667, 0.008333333333, {}}, values.view())));
    const AsciiHeader& h = back.header;
    EXPECT_EQ(h.nb_col, 2);
    EXPECT_EQ(h.nb_lig, 3);
    EXPECT_EQ(h.X_min, 5.741666666667);
    EXPECT_EQ(h.Y_min, 49.441666666667);
    EXPECT_EQ(h.dsize_pix, 0.008333333333);
    ASSERT_TRUE(h.nodata.has_value());
    EXPECT_EQ(*h.nodata, -9999.9999);
    EXPECT_EQ(values_of(back.values), (std::vector<double>{1.5, -2.25, 1e6, 0.123456, -0.0, 7}));
}

TEST(AsciiGridReader, AcceptsTheHeaderForms) {
    ScratchDir dir;
    const struct {
        const char* text;
        double x_min;
        bool has_nodata;
    } cases[] = {
        {"ncols 2\nnrows 1\nxllcorner 10\nyllcorner 20\ncellsize 2\nnodata_value -9999\n1 2\n", 10,
         true},
        {"NCOLS 2\nNROWS 1\nXLLCORNER 10\nYLLCORNER 20\nCELLSIZE 2\nNODATA_VALUE -9999\n1 2", 10,
         true},
        {"ncols 2\r\nnrows 1\r\nxllcorner 10\r\nyllcorner 20\r\ncellsize 2\r\n1\r\n2\r\n", 10,
         false},
        {"cellsize 2 nrows 1 yllcorner 20 NoData_Value -9999 xllcorner 10 ncols 2 1 2", 10, true},
        {"ncols\t2\nnrows\t1\nxllcenter\t11\nyllcenter\t21\ncellsize\t2\n1\t2\t", 10, false},
        // As GDAL writes and reads them: dx and dy for the cell size, counts as reals, decimal
        // commas, a NaN no-data value.
        {"ncols 2\nnrows 1\nxllcorner 10\nyllcorner 20\ndx 2\ndy 2\n1 2\n", 10, false},
        {"ncols 2.0\nnrows 1.0\nxllcorner 10\nyllcorner 20\ncellsize 2\n1 2\n", 10, false},
        {"ncols 2\nnrows 1\nxllcorner 10,0\nyllcorner 20\ncellsize 2\n1,0 0,2E+01\n", 10, false},
        {"ncols 2\nnrows 1\nxllcorner 10\nyllcorner 20\ncellsize 2\nnodata_value nan\n1 2\n", 10,
         true},
    };
    for (const auto& c : cases) {
        AsciiInput in(read_text(dir, c.text));
        const AsciiHeader& h = in.header;
        EXPECT_EQ(h.nb_col, 2) << c.text;
        EXPECT_EQ(h.nb_lig, 1) << c.text;
        EXPECT_EQ(h.X_min, c.x_min) << c.text;
        EXPECT_EQ(h.Y_min, 20) << c.text;
        EXPECT_EQ(h.dsize_pix, 2) << c.text;
        EXPECT_EQ(h.nodata.has_value(), c.has_nodata) << c.text;
        EXPECT_EQ(values_of(in.values), (std::vector<double>{1, 2})) << c.text;
    }
}

TEST(AsciiGridReader, ReadsNotANumberInfinitiesAndDecimalCommasAsGdalDoes) {
    ScratchDir dir;
    const AsciiInput in = read_text(dir,
                                    "ncols 4\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 1\n"
                                    "NODATA_value nan\nnan NaN -nan 0,5E+02\n,5 5, -,25 +1,5\n"
                                    "inf -Inf +INFINITY -infinity\n");
    ASSERT_TRUE(in.header.nodata.has_value());
    EXPECT_TRUE(std::isnan(*in.header.nodata));
    const std::vector<double> v = values_of(in.values);
    for (std::size_t k = 0; k < 3; ++k) {
        // The C library's quiet NaN, whatever the sign written: never an empty cell's mark.
        EXPECT_EQ(std::bit_cast<uint64_t>(v[k]), 0x7ff8000000000000u) << k;
    }
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(std::vector<double>(v.begin() + 3, v.end()),
              (std::vector<double>{50, 0.5, 5, -0.25, 1.5, inf, -inf, inf, -inf}));
    // An ASCII grid output writes every NaN, the no-data value too, as "nan".
    Matrix<double> grid = grid_of(1, 2, {-std::numeric_limits<double>::quiet_NaN(), 1});
    const std::string text =
        written({2, 1, 0, 0, 1, std::numeric_limits<double>::quiet_NaN()}, grid.view());
    EXPECT_EQ(text.substr(text.find("nodata_value")), "nodata_value nan\nnan\t1.000000\t");
}

TEST(AsciiGridReader, RefusesBadFilesNamingTheFileAndTheFault) {
    ScratchDir dir;
    const std::string head = "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    const struct {
        std::string text;
        const char* says;
    } cases[] = {
        {"", "is empty"},
        {"\n\n  \t\n", "is empty"},
        {"nrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3 4", "the header lacks ncols"},
        {"ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\n1 2 3 4", "the header lacks cellsize"},
        {"ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ndx 1\ndy 2\n1 2 3 4",
         "dx 1.000000 and dy 2.000000 differ"},
        {"ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ndx 1\n1 2 3 4", "the header lacks dy"},
        {"ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\ndx 1\ndy 1\n1 2 3 4",
         "gives dx as well as the cell size"},
        {"ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize nan\n1 2 3 4",
         "cellsize is \"nan\", not a finite number"},
        {"ncols 2\nncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3 4",
         "gives ncols twice"},
        {"ncols 2\nnrows 2\nxllcorner 0\nxllcenter 0\nyllcorner 0\ncellsize 1\n1 2 3 4",
         "gives xllcenter as well as its corner/centre twin"},
        {"ncols two\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3 4",
         "ncols is \"two\", not a whole number"},
        {"ncols 2.5\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2 3 4", "ncols is \"2.5\""},
        {"ncols 0\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n", "not 2 rows and 0 columns"},
        {"ncols 2\nnrows -5\nxllcorner 0\nyllcorner 0\ncellsize 1\n", "not -5 rows and 2 columns"},
        {"ncols 2\nnrows 2\nxllcorner zero\nyllcorner 0\ncellsize 1\n1 2 3 4",
         "xllcorner is \"zero\", not a finite number"},
        {"ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize", "cellsize is \"\""},
        {"\xEF\xBB\xBF" + head + "1 2 3 4", "UTF-8 byte-order mark"},
        {"\xFF\xFEn\0c\0o\0l\0s\0", "UTF-16"},
        {"\x7f"
         "ELF\x02\x01\x01\0\0\0garbage",
         "is not an ASCII grid: it starts with \"\\x7FELF\\x02\\x01\\x01\""},
        {head + "1 2 infinit 4", "row 2, column 1 holds \"infinit\", not a finite number"},
        {head + "1 2 3 1e999", "row 2, column 2 holds \"1e999\""},
        {head + "1,5,3 2 3 4", "row 1, column 1 holds \"1,5,3\""},
        {head + "1 2,5.1 3 4", "row 1, column 2 holds \"2,5.1\""},
        {head + "1 nan(1) 3 4", "row 1, column 2 holds \"nan(1)\""},
        {head + "1 --3 3 4", "row 1, column 2 holds \"--3\""},
        {head + "1 2 3", "the 5 bytes after it can hold at most 3 values"},
        {head + "1   2   3\n\n",
         "ends after 3 values, but 2 rows of 2 columns need 4 (row 2, column 2 is missing)"},
        {head + "1 2 3 unknown", "row 2, column 2 holds \"unknown\""},
        {"ncols 100000\nnrows 100000\nxllcorner 0\nyllcorner 0\ncellsize 1\n" +
             std::string(1000, '1'),
         "the header announces 100000 rows of 100000 columns, but the 1000 bytes after it can hold "
         "at most 500 values"},
    };
    for (const auto& c : cases) {
        const std::string message = failure_of([&] { read_text(dir, c.text); });
        EXPECT_NE(message.find((dir / "g.asc").string() + ": "), std::string::npos) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << c.text << "\n -> " << message;
    }
}

TEST(AsciiGridReader, WarnsAboutValuesAfterTheLastCell) {
    ScratchDir dir;
    testing::internal::CaptureStderr();
    AsciiInput in(
        read_text(dir, "ncols 1\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\n5 6 7\n"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(values_of(in.values), (std::vector<double>{5}));
    EXPECT_NE(err.find("terrapivoter: warning: " + (dir / "g.asc").string() +
                       ": the 2 values after the last cell are ignored"),
              std::string::npos)
        << err;
}

TEST(AsciiGridReader, ReadsTheLuxembourgGridThatGdalWrote) {
    AsciiInput in(read_ascii_grid(sample("lux_elev.asc").string()));
    const AsciiHeader& h = in.header;
    EXPECT_EQ(h.nb_lig, 90);
    EXPECT_EQ(h.nb_col, 95);
    EXPECT_EQ(h.X_min, 5.741666666667);
    EXPECT_EQ(h.Y_min, 49.441666666667);
    EXPECT_EQ(h.dsize_pix, 0.008333333333);
    ASSERT_TRUE(h.nodata.has_value());
    EXPECT_EQ(*h.nodata, -32768);
    EXPECT_EQ(in.values[0][0], -32768);
    EXPECT_EQ(in.values[45][47], 290);
    EXPECT_EQ(in.values[89][94], -32768);
}

TEST(AsciiGridReader, MissingFileIsReportedAsSuch) {
    ScratchDir dir;
    EXPECT_THROW(read_ascii_grid((dir / "none.asc").string()), MissingInputFile);
}

TEST(AsciiGridCompanions, AGeographicCoordinateSystemIsKnownByItsOutermostKeyword) {
    const struct {
        const char* wkt;
        bool geographic;
    } cases[] = {
        {"GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\"]]", true},
        {"  GEOGCRS[\"WGS 84\",DATUM[\"World Geodetic System 1984\"]]", true},
        {"GEODCRS[\"WGS 84\"]", true},
        {"PROJCS[\"WGS_1984_UTM_Zone_31N\",GEOGCS[\"GCS_WGS_1984\"]]", false},
        {"PROJCRS[\"WGS 84 / UTM zone 31N\",BASEGEOGCRS[\"WGS 84\"]]", false},
        {"GEOCCS[\"WGS 84\"]", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(crs_is_geographic(c.wkt), c.geographic) << c.wkt;
}

}  // namespace
