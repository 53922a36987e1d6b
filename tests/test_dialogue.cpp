// The dialogue, run through the real program with scripted answers on standard input.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <chrono>
#include <cstdlib>

#include "support.h"

using namespace terrapivoter;

namespace {

// The dialogue's texts, typed out here independently of the program's own copy.
const std::string kBanner =
    "\n\t***********************************************************"
    "\n\t*                                                         *"
    "\n\t*                                                         *"
    "\n\t*                     TERRAPIVOTER                        *"
    "\n\t*                                                         *"
    "\n\t*                                                         *"
    "\n\t*                                                         *"
    "\n\t*                                                         *"
    "\n\t*                                                         *"
    "\n\t*                                         L.-M. VASTIN    *"
    "\n\t*                                        (August 2018)    *"
    "\n\t*                                                         *"
    "\n\t***********************************************************"
    "\n\n\tThis program, developed for my colleague Teodric provides"
    "\n\tclockwise or anticlockwise rotation applied on a DEM File.";
const std::string kFolder =
    "\n\n\tName of the File Folder located in the Directory c:\\images\\ : ";
const std::string kInputName = "\n\n\tName of the DEM file_in (whitout any extension) ? ";
const std::string kInputForm =
    "\n\n\tDEM Type :\n\t\t0 ====> raster con extension _m4.raw\n\t\t1 ====> ascii con extension "
    ".asc\n\t\t";
const std::string kUnit =
    "\n\n\tAre these value in : \n\t\t0 ====> meters\n\t\t1 ====> decimeters\n\t\t2 ====> "
    "centimeters\n\t\t3 ====> millimeters\n\t\t";
const std::string kOutputName = "\n\n\tName of the DEM file_out (whitout any extension) ? ";
const std::string kOutputForm =
    "\n\n\tDEM Type :\n\t\t0 ====> raster (_m4 type)\n\t\t1 ====> ascii\n\t\t";
const std::string kCornerLead =
    "\n\n\tIn order to create the required DEM ascii \n\tyou must enter the UTM coordinates ";
const std::string kXMin = "\n\t\tX_min ? ";
const std::string kYMin = "\t\tY_min ? ";
const std::string kReference =
    "\n\n\tCoordinates of the reference point \n\t\t0 ====> center defined by the program\n\t\t1 "
    "====> defined by the user\n\t\t";
const std::string kUserPointLead = "\n\n\tCoordinates of the reference point (in line and column) ";
const std::string kLine = "\n\t\tline ? ";
const std::string kColumn = "\tcolumn ? ";
const std::string kAngle =
    "\n\n\tTrigonometric rotation angle \n\t   (Note: a positive value creates an anticlockwise "
    "mouvement\n\t          a negative value creates an clockwise mouvement\n\t          these "
    "value must not be greater than 90 degrees)\n\n\tDecimal value ? ";
const std::string kTooGreat = "\n\n\tthe angular value is too great";
const std::string kInvalid = "\n\tInvalid answer, please try again.";
const std::string kEnd = "\n\n";

std::string range_line(int smallest, int largest) {
    return "\n\n\tHypsometric scale comprised between " + std::to_string(smallest) + " and " +
           std::to_string(largest) + " ";
}

class Dialogue : public testing::Test {
  protected:
    void SetUp() override {
        // A 4-line, 5-column grid in both forms: site (raster pair) and grid (ASCII grid).
        write_file(folder() / "site_m4.txt", "4\n5\n4\n0\n0\n25.000000\n");
        std::vector<int32_t> values;
        for (int v = 1; v <= 20; ++v)
            values.push_back(v * 100 - 5);
        write_file(folder() / "site_m4.raw", raster_bytes(values));
        write_file(folder() / "grid.asc",
                   "ncols 5\nnrows 4\nxllcorner 1000\nyllcorner 2000\ncellsize 25\n"
                   "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n16 17 18 19 20\n");
    }
    fs::path folder() const { return images_folder(work.path(), "dem1"); }
    ProgramRun run(const std::string& answers) { return run_program(work.path(), answers); }
    std::vector<std::string> inputs_only() const {
        return {"grid.asc", "site_m4.raw", "site_m4.txt"};
    }

    ScratchDir work;
};

const std::string kRasterHead =
    kBanner + kFolder + kInputName + kInputForm + range_line(95, 1995) + kUnit;

TEST_F(Dialogue, RasterPairToRasterPair) {
    const ProgramRun r = run("dem1\nsite\n0\n2\nsite_r\n0\n0\n30\n");
    EXPECT_EQ(r.out, kRasterHead + kOutputName + kOutputForm + kReference + kAngle + kEnd);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(folder() / "site_r_m4.txt"), "4\n5\n4\n95\n1995\n25.000000\n");
    EXPECT_EQ(read_file(folder() / "site_r_m4.raw").size(), 80u);
}

TEST_F(Dialogue, RasterPairToAsciiGridAsksTheCorner) {
    const ProgramRun r = run("dem1 site 0 2 site_r 1 500000 4000000 0 30\n");
    EXPECT_EQ(r.out, kRasterHead + kOutputName + kOutputForm + kCornerLead + kXMin + kYMin +
                         kReference + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
    const std::string out = read_file(folder() / "site_r.asc");
    EXPECT_EQ(out.substr(0, out.find("nodata_value")),
              "ncols 5\nnrows 4\nxllcorner 500000.000000\nyllcorner 4000000.000000\n"
              "cellsize 25.000000\n");
}

TEST_F(Dialogue, AsciiGridToRasterPairAsksNothingMore) {
    const ProgramRun r = run("dem1\ngrid\n1\ngrid_r\n0\n0\n0\n");
    EXPECT_EQ(r.out, kBanner + kFolder + kInputName + kInputForm + kOutputName + kOutputForm +
                         kReference + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(folder() / "grid_r_m4.txt"), "4\n5\n4\n1\n20\n25.000000\n");
    std::vector<int32_t> expected;
    for (int v = 1; v <= 20; ++v)
        expected.push_back(v);
    EXPECT_EQ(raster_values(read_file(folder() / "grid_r_m4.raw")), expected);
}

TEST_F(Dialogue, AsciiGridToAsciiGrid) {
    const ProgramRun r = run("dem1\ngrid\n1\ngrid_r\n1\n0\n0\n");
    EXPECT_EQ(r.out, kBanner + kFolder + kInputName + kInputForm + kOutputName + kOutputForm +
                         kReference + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
    std::string expected =
        "ncols 5\nnrows 4\nxllcorner 1000.000000\nyllcorner 2000.000000\ncellsize 25.000000\n"
        "nodata_value -9999.9999\n";
    for (int v = 1; v <= 20; ++v)
        expected += std::to_string(v) + ".000000\t";
    EXPECT_EQ(read_file(folder() / "grid_r.asc"), expected);
}

TEST_F(Dialogue, ChoicesAboveTheLargestOrNegativeAreAskedAgain) {
    const ProgramRun r = run("dem1 site 2 -1 0 4 -3 2 site_r 7 0 2 0 30");
    EXPECT_EQ(r.out, kBanner + kFolder + kInputName + kInputForm + kInputForm + kInputForm +
                         range_line(95, 1995) + kUnit + kUnit + kUnit + kOutputName + kOutputForm +
                         kOutputForm + kReference + kReference + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
}

TEST_F(Dialogue, AnglesBeyondAHalfTurnAreRefused) {
    const ProgramRun r = run("dem1 site 0 0 site_r 0 0 181 -181 200 -180.9");
    EXPECT_EQ(r.out, kRasterHead + kOutputName + kOutputForm + kReference + kAngle + kTooGreat +
                         kAngle + kTooGreat + kAngle + kTooGreat + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
}

TEST_F(Dialogue, AcceptedAnglesAndUserPoints) {
    for (const char* angle : {"180", "180.9", "-180.9", "90.5", "0", "+5", ".5", "1e1"}) {
        const ProgramRun r = run(std::string("dem1 site 0 0 site_r 0 1 10.5 3.25 ") + angle);
        EXPECT_EQ(r.out, kRasterHead + kOutputName + kOutputForm + kReference + kUserPointLead +
                             kLine + kColumn + kAngle + kEnd)
            << angle;
        EXPECT_EQ(r.status, 0) << angle;
    }
}

TEST_F(Dialogue, UnreadableAnswersAreRefusedAndTheirLineDropped) {
    const ProgramRun r =
        run("dem1\nsite\nabc 1\n0\n2.5\n2\nsite_r\n12abc\n1\nnan\n5\ninf 7\n6\n"
            "99999999999\n1\nx\n10.5\n1e999\n3.25\nabc\n30\n");
    EXPECT_EQ(r.out, kBanner + kFolder + kInputName + kInputForm + kInvalid + kInputForm +
                         range_line(95, 1995) + kUnit + kInvalid + kUnit + kOutputName +
                         kOutputForm + kInvalid + kOutputForm + kCornerLead + kXMin + kInvalid +
                         kXMin + kYMin + kInvalid + kYMin + kReference + kInvalid + kReference +
                         kUserPointLead + kLine + kInvalid + kLine + kColumn + kInvalid + kColumn +
                         kAngle + kInvalid + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
}

TEST_F(Dialogue, BlankLinesAreSkipped) {
    const ProgramRun r = run("\n\n  dem1\n\n\t\nsite\n\n0\n\n2 \r\n site_r \n 0 \n\n0\n30\n");
    EXPECT_EQ(r.out, kRasterHead + kOutputName + kOutputForm + kReference + kAngle + kEnd);
    EXPECT_EQ(r.status, 0);
}

TEST_F(Dialogue, TheCentreIsHalfTheCounts) {
    // The centre of 5 columns and 4 lines is column 2.5, line 2.0 (not 2, 1.5).
    ASSERT_EQ(run("dem1 site 0 0 centre 0 0 37").status, 0);
    ASSERT_EQ(run("dem1 site 0 0 user 0 1 2.0 2.5 37").status, 0);
    ASSERT_EQ(run("dem1 site 0 0 other 0 1 1.5 2 37").status, 0);
    EXPECT_EQ(read_file(folder() / "centre_m4.raw"), read_file(folder() / "user_m4.raw"));
    EXPECT_NE(read_file(folder() / "centre_m4.raw"), read_file(folder() / "other_m4.raw"));
}

TEST_F(Dialogue, MissingInputFilesAreNamedInOrder) {
    const struct {
        const char* answers;
        const char* remove;
        std::string message;
    } cases[] = {
        {"dem1 nosuch 0", nullptr, "\n No File c:\\images\\dem1\\nosuch_m4.txt \n"},
        {"dem1 site 0", "site_m4.raw", "\n No File c:\\images\\dem1\\site_m4.raw \n"},
        {"dem1 nosuch 1", nullptr, "\n No File c:\\images\\dem1\\nosuch.asc \n"},
        {"dem2 site 0", nullptr, "\n No File c:\\images\\dem2\\site_m4.txt \n"},
    };
    for (const auto& c : cases) {
        if (c.remove) fs::remove(folder() / c.remove);
        const ProgramRun r = run(std::string(c.answers) + " out 0 0 30");
        EXPECT_EQ(r.out, kBanner + kFolder + kInputName + kInputForm + c.message) << c.answers;
        EXPECT_EQ(r.status, 1) << c.answers;
        EXPECT_EQ(r.err, "") << c.answers;
    }
}

TEST_F(Dialogue, EndOfInputAtAnyQuestionWritesNothing) {
    // An ASCII grid output, and a raster pair whose descriptor is ready before the reference
    // point is asked: either way the older output stays, every file of it.
    const struct {
        std::vector<std::string> answers;
        std::vector<std::string> outputs;
    } runs[] = {
        {{"dem1", "site", "0", "2", "site_r", "1", "500", "600", "1", "2", "2", "30"},
         {"site_r.asc"}},
        {{"dem1", "site", "0", "2", "site_r", "0", "1", "2", "2", "30"},
         {"site_r_m4.raw", "site_r_m4.txt"}},
    };
    for (const auto& [answers, outputs] : runs) {
        for (const std::string& name : outputs)
            write_file(folder() / name, "an older " + name + " that must survive");
        std::vector<std::string> expected = inputs_only();
        expected.insert(expected.end(), outputs.begin(), outputs.end());
        std::sort(expected.begin(), expected.end());
        std::string input;
        for (const std::string& answer : answers) {
            const ProgramRun r = run(input);
            EXPECT_EQ(r.status, 1) << input;
            EXPECT_EQ(r.err,
                      "terrapivoter: standard input ended before the dialogue was complete\n")
                << input;
            EXPECT_EQ(file_names(folder()), expected) << input;
            for (const std::string& name : outputs) {
                EXPECT_EQ(read_file(folder() / name), "an older " + name + " that must survive")
                    << input;
            }
            input += answer + "\n";
        }
        // With every answer given the run completes and replaces them.
        EXPECT_EQ(run(input).status, 0);
        for (const std::string& name : outputs)
            EXPECT_NE(read_file(folder() / name), "an older " + name + " that must survive");
        for (const std::string& name : outputs)
            fs::remove(folder() / name);
    }
}

TEST_F(Dialogue, AnOutputFolderThatCannotBeWrittenIsReportedBeforeTheReferencePoint) {
    // The output goes to the input's folder; a name with a missing subfolder cannot be created.
    const ProgramRun r = run("dem1 site 0 2 missing\\sub 0 0 30");
    EXPECT_EQ(r.out, kRasterHead + kOutputName + kOutputForm);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("terrapivoter: cannot create c:\\images\\dem1\\missing\\sub_m4.txt: ", 0),
              0u)
        << r.err;
    EXPECT_EQ(file_names(folder()), inputs_only());
}

TEST_F(Dialogue, TheOutputMayReplaceItsOwnInput) {
    ASSERT_EQ(run("dem1 site 0 0 site 0 0 0").status, 0);
    std::vector<int32_t> expected;
    for (int v = 1; v <= 20; ++v)
        expected.push_back(v * 100 - 5);
    EXPECT_EQ(raster_values(read_file(folder() / "site_m4.raw")), expected);
    EXPECT_EQ(file_names(folder()), inputs_only());
}

}  // namespace

// Terminals here are POSIX pseudo-terminals (script(1)).
#ifndef _WIN32
namespace {

// Seen at a real terminal: after the missing-file message the program waits for one key,
// which is not echoed, before it exits. Run under a pseudo-terminal with the key sent a second
// later, the run must take that second and show no "q".
TEST_F(Dialogue, AtATerminalTheMissingFileMessageWaitsForAKey) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
    const fs::path out = work / "terminal-output";
    const std::string command = "cd '" + work.path().string() +
                                "' && (printf 'dem1 nosuch 0\\n'; sleep 1; printf q) | "
                                "timeout 20 script -qfec '" TERRAPIVOTER_BINARY "' /dev/null > '" +
                                out.string() + "'";
    const auto start = std::chrono::steady_clock::now();
    const int raw = std::system(command.c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_GE(seconds, 0.9);
    const std::string shown = read_file(out);
    const std::size_t message = shown.find(" No File c:\\images\\dem1\\nosuch_m4.txt ");
    ASSERT_NE(message, std::string::npos) << shown;
    EXPECT_EQ(shown.find('q', message), std::string::npos) << shown;
}

}  // namespace

namespace {

// Large grids show their progress on a terminal's standard error, and nothing elsewhere.
TEST_F(Dialogue, ProgressIsShownOnlyAtATerminal) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
    std::vector<int32_t> values(1000 * 1000, 500);
    write_file(folder() / "big_m4.txt", "1000 1000 4 0 0 1");
    write_file(folder() / "big_m4.raw", raster_bytes(values));
    const std::string answers = "dem1 big 0 0 big_r 0 0 30\n";
    const ProgramRun piped = run(answers);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    write_file(work / "answers", answers);
    const fs::path shown = work / "terminal-output";
    const std::string command = "cd '" + work.path().string() + "' && timeout 60 script -qfec '" +
                                TERRAPIVOTER_BINARY "' /dev/null < answers > '" + shown.string() +
                                "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string terminal = read_file(shown);
    for (const char* step :
         {"terrapivoter: reading c:\\images\\dem1\\big_m4.raw: ", "terrapivoter: rotating: ",
          "terrapivoter: writing c:\\images\\dem1\\big_r_m4.raw: "}) {
        EXPECT_NE(terminal.find(step), std::string::npos) << step;
    }
    // The last line drawn is cleared when its step ends.
    ASSERT_NE(terminal.rfind("% ("), std::string::npos);
    EXPECT_GT(terminal.rfind("\r\033[K"), terminal.rfind("% ("));
}

}  // namespace
#endif
