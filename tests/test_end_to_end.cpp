// Whole runs of the program on the bundled real elevation models.
#include <gtest/gtest.h>

#include <cmath>

#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "rotation/empty_cells.h"
#include "rotation/hole_filling.h"
#include "rotation/placement.h"
#include "rotation/sweep_reference.h"
#include "support.h"

using namespace terrapivoter;

namespace {

class RealDems : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(folder());
        for (const char* name : {"volcano_m4.txt", "volcano_m4.raw", "lux_elev.asc"}) {
            fs::copy_file(sample(name), folder() / name);
        }
    }
    fs::path folder() const { return images_folder(work.path(), "dem"); }
    ProgramRun run(const std::string& answers) {
        ProgramRun r = run_program(work.path(), answers);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r;
    }
    std::vector<double> ascii_values(const std::string& name) {
        return values_of(read_ascii_grid((folder() / name).string()).values);
    }
    ScratchDir work;
};

TEST_F(RealDems, RasterRoundTripWithoutRotationLosesNothing) {
    for (const char* unit : {"0", "1", "2", "3"}) {
        run(std::string("dem volcano 0 ") + unit + " same 0 0 0");
        EXPECT_EQ(read_file(folder() / "same_m4.raw"), read_file(sample("volcano_m4.raw"))) << unit;
        EXPECT_EQ(read_file(folder() / "same_m4.txt"), "87\n61\n4\n9400\n19500\n10.000000\n");
    }
}

TEST_F(RealDems, StoredZerosAreElevations) {
    // A coast: a whole row of sea at 0 on top, an inland 0 surrounded by land, some land below
    // sea level. Unturned, it comes back unchanged in every unit and both forms.
    const std::vector<int32_t> coast = {0,   0,  0,  0,   0,  0,  //
                                        12,  40, 55, 60,  3,  0,  //
                                        -7,  41, 0,  62,  9,  0,  //
                                        -20, 45, 58, 70,  11, 2,  //
                                        5,   6,  7,  800, 90, 14};
    write_file(folder() / "coast_m4.txt", "5\n6\n4\n-20\n800\n25.000000\n");
    write_file(folder() / "coast_m4.raw", raster_bytes(coast));
    for (const char* unit : {"0", "1", "2", "3"}) {
        run(std::string("dem coast 0 ") + unit + " same 0 0 0");
        EXPECT_EQ(raster_values(read_file(folder() / "same_m4.raw")), coast) << unit;
    }
    run("dem coast 0 2 same 1 100 200 0 0");
    run("dem same 1 back 1 0 0");
    std::vector<double> metres;
    for (int32_t v : coast)
        metres.push_back(v / 100.0);
    EXPECT_EQ(ascii_values("back.asc"), metres);

    // A sea of zeros with a few islands, turned: the sea stays 0 and the corners the turn
    // uncovers take the smallest value, 0; only the islands and the holes beside them differ.
    std::string sea = "ncols 40\nnrows 30\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    int islands = 0;
    for (int i = 0; i < 30; ++i) {
        for (int j = 0; j < 40; ++j) {
            const bool island = i % 10 == 5 && j % 10 == 5;
            islands += island ? 1 : 0;
            sea += island ? "9 " : "0 ";
        }
    }
    write_file(folder() / "sea.asc", sea);
    run("dem sea 1 turned 1 0 30");
    const std::vector<double> turned = ascii_values("turned.asc");
    // (The turn carries a few islands off the grid.)
    EXPECT_GE(std::count(turned.begin(), turned.end(), 9.0), islands - 4);
    EXPECT_GE(std::count(turned.begin(), turned.end(), 0.0), 30 * 40 - 5 * islands);
    for (std::size_t corner : {0u, 39u, 29u * 40u, 30u * 40u - 1u})
        EXPECT_EQ(turned[corner], 0.0) << corner;
}

TEST_F(RealDems, AsciiRoundTripWithoutRotationKeepsValuesAndGeoreference) {
    run("dem lux_elev 1 same 1 0 0");
    const std::string out = read_file(folder() / "same.asc");
    EXPECT_EQ(out.substr(0, out.find("nodata_value") + 27),
              "ncols 95\nnrows 90\nxllcorner 5.741666666667\nyllcorner 49.441666666667\n"
              "cellsize 0.008333333333\nnodata_value -32768.000000\n");
    EXPECT_EQ(ascii_values("same.asc"), ascii_values("lux_elev.asc"));
}

TEST_F(RealDems, AsciiToRasterKeepsTheGridUnitAndExtremes) {
    run("dem lux_elev 1 lux 0 0 0");
    EXPECT_EQ(read_file(folder() / "lux_m4.txt"), "90\n95\n4\n-32768\n547\n0.008333333333\n");
    std::vector<int32_t> expected;
    for (double v : ascii_values("lux_elev.asc"))
        expected.push_back(static_cast<int32_t>(v));
    EXPECT_EQ(raster_values(read_file(folder() / "lux_m4.raw")), expected);
}

TEST_F(RealDems, RasterToAsciiWritesMetres) {
    run("dem volcano 0 2 v 1 1756000 5917000 0 0");
    const std::string out = read_file(folder() / "v.asc");
    EXPECT_EQ(out.substr(0, out.find("nodata_value")),
              "ncols 61\nnrows 87\nxllcorner 1756000.000000\nyllcorner 5917000.000000\n"
              "cellsize 10.000000\n");
    const std::vector<int32_t> raw = raster_values(read_file(sample("volcano_m4.raw")));
    const std::vector<double> metres = ascii_values("v.asc");
    ASSERT_EQ(raw.size(), metres.size());
    for (std::size_t k = 0; k < raw.size(); ++k)
        ASSERT_EQ(metres[k], raw[k] / 100.0) << k;
}

TEST_F(RealDems, QuarterTurnOfTheVolcanoMovesEveryCellExactly) {
    // 61 columns, 87 lines, centre (30.5, 43.5): a quarter turn takes column j, line y to
    // column 74 - y, line 13 + j, whole positions with no collision.
    run("dem volcano 0 2 q 0 0 90");
    const std::vector<int32_t> in = raster_values(read_file(sample("volcano_m4.raw")));
    const std::vector<int32_t> out = raster_values(read_file(folder() / "q_m4.raw"));
    ASSERT_EQ(out.size(), in.size());
    int moved = 0;
    for (int i = 0; i < 87; ++i) {
        for (int j = 0; j < 61; ++j) {
            const int line = 86 - i;
            const int col2 = 74 - line, line2 = 13 + j;
            if (col2 < 0 || col2 >= 61 || line2 < 0 || line2 >= 87) continue;
            ASSERT_EQ(out[static_cast<std::size_t>((86 - line2) * 61 + col2)],
                      in[static_cast<std::size_t>(i * 61 + j)]);
            ++moved;
        }
    }
    EXPECT_EQ(moved, 61 * 61);
    // Cells the turned terrain does not cover take its smallest value.
    EXPECT_EQ(out[0], *std::min_element(out.begin(), out.end()));
}

TEST_F(RealDems, RunsMatchTheCorePipelineInAllFourForms) {
    // The program's output equals the core's rotation, hole filling and background fill
    // applied to the same input, for each pair of forms.
    const struct {
        const char* answers;
        const char* output;
        bool raster_in;
        bool raster_out;
        RotationParameters p;
    } cases[] = {
        {"dem volcano 0 2 rr 0 0 30", "rr_m4.raw", true, true, {61 * 0.5, 87 * 0.5, 30}},
        {"dem volcano 0 2 ra 1 0 0 1 40 25.5 -17.3", "ra.asc", true, false, {25.5, 40, -17.3}},
        {"dem lux_elev 1 ar 0 0 -45", "ar_m4.raw", false, true, {95 * 0.5, 90 * 0.5, -45}},
        {"dem lux_elev 1 aa 1 1 44.5 47 120", "aa.asc", false, false, {47, 44.5, 120}},
    };
    for (const auto& c : cases) {
        run(c.answers);
        Matrix<double> in = c.raster_in ? Matrix<double>(87, 61) : Matrix<double>(90, 95);
        std::optional<double> nodata;
        if (c.raster_in) {
            const std::vector<int32_t> raw = raster_values(read_file(sample("volcano_m4.raw")));
            for (int i = 0; i < 87; ++i) {
                for (int j = 0; j < 61; ++j)
                    in[i][j] = working_value(raw[static_cast<std::size_t>(i * 61 + j)], 100.0);
            }
        } else {
            const std::vector<double> v = ascii_values("lux_elev.asc");
            for (int i = 0; i < 90; ++i) {
                for (int j = 0; j < 95; ++j)
                    in[i][j] = v[static_cast<std::size_t>(i * 95 + j)];
            }
            nodata = -32768.0;
        }
        Matrix<double> out = empty_grid(in.nb_lig(), in.nb_col());
        rotate_reference(in.view(), out.view(), c.p);
        fill_holes(out.view(), nodata);
        fill_background(out.view(), background_value(out.view()));
        const std::vector<double> expected = values_of(out.view());
        if (c.raster_out) {
            const std::vector<int32_t> got = raster_values(read_file(folder() / c.output));
            ASSERT_EQ(got.size(), expected.size()) << c.answers;
            const double coef = c.raster_in ? 100.0 : 1.0;
            for (std::size_t k = 0; k < got.size(); ++k) {
                ASSERT_EQ(got[k], static_cast<int32_t>(
                                      std::roundl(static_cast<long double>(expected[k]) * coef)))
                    << c.answers << " cell " << k;
            }
        } else {
            const std::vector<double> got = ascii_values(c.output);
            ASSERT_EQ(got.size(), expected.size()) << c.answers;
            for (std::size_t k = 0; k < got.size(); ++k) {
                ASSERT_NEAR(got[k], expected[k], 5e-7) << c.answers << " cell " << k;
            }
        }
    }
}

TEST_F(RealDems, NoDataCellsAreNeverAveragedIntoTheTerrain) {
    run("dem lux_elev 1 r 1 0 30");
    for (double v : ascii_values("r.asc")) {
        ASSERT_TRUE(v == -32768.0 || v > 0.0) << v;
    }
}

}  // namespace
