// The command line through the real program: the same bytes as the dialogue, usage errors and
// failed runs that write nothing, the enlarged extent, map-coordinate pivots.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <sstream>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>

#include "formats/ascii_grid.h"
#include "formats/gdal_raster.h"
#include "support.h"

using namespace terrapivoter;

namespace {

class CommandLine : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(images());
        for (const char* name : {"volcano_m4.txt", "volcano_m4.raw", "lux_elev.asc"}) {
            fs::copy_file(sample(name), images() / name);
            fs::copy_file(sample(name), work.path() / name);
        }
    }
    fs::path images() const { return images_folder(work.path(), "dem"); }
    ProgramRun succeeds(const std::string& arguments) {
        ProgramRun r = run_command(work.path(), arguments);
        EXPECT_EQ(r.status, 0) << arguments << "\n" << r.err;
        EXPECT_EQ(r.out, "") << arguments;
        EXPECT_EQ(r.err, "") << arguments;
        return r;
    }
    std::vector<double> ascii_values(const std::string& name) {
        return values_of(read_ascii_grid((work.path() / name).string()).values);
    }
    ScratchDir work;
};

// With the dialogue's reference point (half the counts) and background (the smallest value)
// given, as the command line's own defaults differ.
TEST_F(CommandLine, WritesWhatTheDialogueWritesInAllFourForms) {
    const struct {
        const char* answers;
        const char* dialogue_output;
        const char* arguments;
        std::vector<std::string> outputs;
    } cases[] = {
        {"dem volcano 0 2 o 0 0 30",
         "o",
         "-a 30 -p 43.5,30.5 --background min -u cm volcano_m4.txt o_m4.txt",
         {"o_m4.txt", "o_m4.raw"}},
        {"dem volcano 0 1 o 1 1756000 5917000.5 1 40 25.5 -17.3",
         "o",
         "--angle=-17.3 --unit dm --corner 1756000,5917000.5 --pivot 40,25.5 -j 1 "
         "volcano_m4.raw o.asc",
         {"o.asc"}},
        {"dem lux_elev 1 o 0 0 -45",
         "o",
         "-a -45 -p 45,47.5 --background min -j 3 lux_elev.asc o_m4.raw",
         {"o_m4.txt", "o_m4.raw"}},
        {"dem lux_elev 1 o 1 1 44.5 47 120",
         "o",
         "-a 120 -p 44.5,47 --background min -q lux_elev.asc o.asc",
         {"o.asc"}},
        {"dem lux_elev 1 o 1 0 0", "o", "--angle 0 --pivot 45,47.5 lux_elev.asc O.ASC", {"O.ASC"}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(run_program(work.path(), c.answers).status, 0) << c.answers;
        succeeds(c.arguments);
        for (const std::string& name : c.outputs) {
            const std::string dialogue_name =
                name == "O.ASC" ? "o.asc" : name;  // the dialogue always writes ".asc"
            EXPECT_EQ(read_file(work.path() / name), read_file(images() / dialogue_name))
                << c.arguments << ": " << name;
        }
    }
}

TEST_F(CommandLine, UsageErrorsAndFailedRunsWriteNothing) {
    write_file(work.path() / "bad.asc", "ncols 2\nnrows 2\nxllcorner 0\n");
    write_file(work.path() / "bad.asc.tif", "not a raster at all");
    fs::copy_file(sample("lux_elev.tif"), work.path() / "lux.tif");
    write_file(work.path() / "o.asc", "an older output");
    const struct {
        std::string arguments;
        int status;
        std::string says;
        bool through_gdal = false;  // without GDAL, a usage error that says so
    } cases[] = {
        {"", 2, "INPUT and OUTPUT are missing"},  // only -q: see below
        {"-a 30 lux_elev.asc", 2, "OUTPUT is missing"},
        {"-a 30 lux_elev.asc o.asc p.asc", 2, "one INPUT and one OUTPUT"},
        {"lux_elev.asc o.asc", 2, "--angle is required"},
        {"-a 181 lux_elev.asc o.asc", 2, "--angle: 181 is too great"},
        {"-a 200 lux_elev.asc o.asc", 2, "--angle: 200 is too great"},
        {"-a abc lux_elev.asc o.asc", 2, "--angle: \"abc\" is not a finite number"},
        {"-a nan lux_elev.asc o.asc", 2, "--angle: \"nan\" is not a finite number"},
        {"-a", 2, "--angle needs a value"},
        {"--bogus lux_elev.asc o.asc", 2, "there is no option --bogus"},
        {"--angel 30 lux_elev.asc o.asc", 2, "there is no option --angel; did you mean --angle?"},
        {"-a 30 -a 40 lux_elev.asc o.asc", 2, "--angle is given 2 times (30, 40); give it once"},
        {"-a 30 lux_elev.asc o.elev", 2, "OUTPUT \"o.elev\": the form is not known"},
        {"-a 30 --of NoSuchDriver lux_elev.asc o.dat", 2, "--of: GDAL has no driver named", true},
        {"-a 30 --of VRT lux_elev.asc o.vrt", 2, "--of: GDAL's VRT driver writes no raster", true},
        {"-a 30 --of GTiff -f ascii lux_elev.asc o.dat", 2, "--format and --of"},
        {"-a 30 --ot Byte lux.tif o.tif", 2,
         "no-data value -32768 does not fit its type: Byte holds whole numbers from 0 to 255; "
         "give one that does with --dst-nodata",
         true},
        {"-a 30 --ot uint16 --dst-nodata -1 lux.tif o.tif", 2, "UInt16 holds whole numbers", true},
        {"-a 30 --dst-nodata 0 -u cm volcano_m4.txt o_m4.txt", 2,
         "--dst-nodata: a raster pair has no no-data value"},
        {"-a 30 --ot Int16 lux_elev.asc o.asc", 2,
         "--ot applies to an output written through GDAL"},
        {"-a 30 --co TILED=YES lux_elev.asc o.asc", 2, "--co applies to an output"},
        {"-a 30 --ot Int17 lux_elev.asc o.tif", 2, "--ot: \"Int17\" is not a GDAL data type", true},
        {"-a 30 --co TILED lux_elev.asc o.tif", 2, "--co: \"TILED\" is not NAME=VALUE"},
        {"-a 30 --georef tilted lux_elev.asc o.tif", 2, "--georef: \"tilted\""},
        {"-a 30 -b 2 lux_elev.asc o.asc", 2, "--band applies to an input read through GDAL"},
        {"-a 30 -u cm --georef rotated volcano_m4.txt o.tif", 2,
         "--georef rotated: volcano_m4.txt has no georeference", true},
        {"-a 30 -b 2 lux.tif o.tif", 1, "lux.tif: has no band 2; it has 1", true},
        {"-a 30 lux_elev.tif o.asc", 1, "cannot open lux_elev.tif: No such file or directory",
         true},
        {"-a 30 bad.asc.tif o.asc", 1, "cannot open bad.asc.tif as a raster: ", true},
        {"-a 30 -f png lux_elev.asc o.asc", 2, "--format: \"png\""},
        {"-a 30 volcano_m4.txt o_m4.txt", 2, "--unit is required"},
        {"-a 30 -u km volcano_m4.txt o_m4.txt", 2, "--unit: \"km\""},
        {"-a 30 -u m lux_elev.asc o.asc", 2, "--unit applies to a raster pair input only"},
        {"-a 30 --corner 1,2 lux_elev.asc o.asc", 2, "--corner applies to a raster pair"},
        {"-a 30 -u cm volcano_m4.txt o.asc", 2, "--corner X,Y is required"},
        {"-a 30 -u cm --corner 1 volcano_m4.txt o.asc", 2, "--corner: \"1\" is not X,Y"},
        {"-a 30 -u cm --pivot-xy 1,2 volcano_m4.txt o_m4.txt", 2, "--pivot-xy needs"},
        {"-a 30 -p 1,2 --pivot-xy 1,2 lux_elev.asc o.asc", 2, "--pivot and --pivot-xy"},
        {"-a 30 -p middle lux_elev.asc o.asc", 2, "--pivot: \"middle\" is not centre"},
        {"-a 30 -p 1,2,3 lux_elev.asc o.asc", 2, "--pivot"},
        {"-a 30 --extent all lux_elev.asc o.asc", 2, "--extent: \"all\""},
        {"-a 30 -r lanczos lux_elev.asc o.asc", 2,
         "--resampling: \"lanczos\" is none of forward, nearest, bilinear, cubic"},
        {"-a 30 --background low lux_elev.asc o.asc", 2,
         "--background: \"low\" is none of min, nodata or a number"},
        {"-a 30 --background nodata -u cm volcano_m4.txt o_m4.txt", 2,
         "--background nodata: the input has no no-data value"},
        {"-a 30 --nodata x lux_elev.asc o.asc", 2, "--nodata: \"x\""},
        {"-a 30 -j -1 lux_elev.asc o.asc", 2, "--threads: \"-1\" is not a count"},
        {"-a 30 --memory lots lux_elev.asc o.asc", 2, "--memory: \"lots\" is not a size"},
        {"-a 30 --memory 0 lux_elev.asc o.asc", 2, "--memory: \"0\" is not a size"},
        {"-a 30 missing.asc o.asc", 1, "cannot open missing.asc: No such file or directory"},
        {"-a 30 -u cm missing_m4.raw o.asc --corner 0,0", 1, "cannot open missing_m4.txt"},
        {"-a 30 bad.asc o.asc", 1, "bad.asc: the header lacks"},
        {"-a 30 lux_elev.asc no-such-folder/o.asc", 1, "cannot create no-such-folder/o.asc"},
        // The output is created before the input is opened: its folder is the first fault.
        {"-a 30 missing.tif no-such-folder/o.tif", 1, "cannot create no-such-folder/o.tif", true},
    };
    const std::vector<std::string> before = file_names(work.path());
    for (const auto& c : cases) {
        const bool refused = c.through_gdal && !gdal_available();
        const int status = refused ? 2 : c.status;
        const ProgramRun r = run_command(work.path(), c.arguments.empty() ? "-q" : c.arguments);
        EXPECT_EQ(r.status, status) << c.arguments << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.arguments;
        EXPECT_EQ(r.err.rfind("terrapivoter: ", 0), 0u) << c.arguments << "\n" << r.err;
        EXPECT_NE(r.err.find(refused ? "(TERRAPIVOTER_GDAL=OFF)" : c.says), std::string::npos)
            << c.arguments << "\n"
            << r.err;
        const bool tries_help = r.err.find("\nTry 'terrapivoter --help'.\n") != std::string::npos;
        EXPECT_EQ(tries_help, status == 2) << c.arguments << "\n" << r.err;
        EXPECT_EQ(file_names(work.path()), before) << c.arguments;
        EXPECT_EQ(read_file(work.path() / "o.asc"), "an older output") << c.arguments;
    }
}

TEST_F(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
    const ProgramRun help = run_command(work.path(), "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: terrapivoter [OPTIONS] INPUT OUTPUT\n", 0), 0u);
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
#ifndef _WIN32
    // What cannot be written is a failure (/dev/full: a POSIX system's).
    for (const char* option : {"--help", "--version"}) {
        const int status = std::system(
            (std::string(TERRAPIVOTER_BINARY) + " " + option + " >/dev/full 2>/dev/null").c_str());
        EXPECT_EQ(WEXITSTATUS(status), 1) << option;
    }
#endif
    // The manual page as troff source, with its escaped dashes ("\\-") plain.
    std::string manual =
        read_file(fs::path(TERRAPIVOTER_SAMPLES) / ".." / "docs" / "terrapivoter.1");
    manual.erase(std::remove(manual.begin(), manual.end(), '\\'), manual.end());
    // Every long option of the help is documented in the manual page, and the other way round.
    auto long_options = [](const std::string& text) {
        const std::string dashes = "--";
        std::vector<std::string> found;
        for (std::size_t at = text.find(dashes); at != std::string::npos;
             at = text.find(dashes, at + 1)) {
            std::size_t end = at + dashes.size();
            while (end < text.size() &&
                   (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-')) {
                ++end;
            }
            const std::string name = text.substr(at + dashes.size(), end - at - dashes.size());
            if (!name.empty() && std::isalpha(static_cast<unsigned char>(name[0])))
                found.push_back(name);
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    };
    EXPECT_EQ(long_options(help.out), long_options(manual));
    const ProgramRun version = run_command(work.path(), "-V");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("terrapivoter ", 0), 0u);
    // The manual page the build makes names the same version.
    const std::string made =
        read_file(fs::path(TERRAPIVOTER_BINARY).parent_path() / "terrapivoter.1");
    const std::string number = version.out.substr(13, version.out.size() - 14);
    EXPECT_NE(made.find("\"terrapivoter " + number + "\""), std::string::npos) << number;
}

// The dynamic loader of GNU systems tells.
#ifndef _WIN32
TEST_F(CommandLine, OnlyRunsThroughGdalLoadIt) {
    // The dynamic loader names every library it opens (LD_DEBUG=files).
    const struct {
        const char* answers;
        const char* arguments;
        bool loads_gdal;
    } cases[] = {
        {"", "-a 30 -u cm volcano_m4.txt o_m4.txt", false},
        {"", "-a 10 -q lux_elev.asc o.asc", false},
        {"dem volcano 0 2 o 0 0 30", "", false},
        {"", "-a 10 -q lux_elev.asc o.tif", true},
        {"", "-a 10 -q o.tif o2.asc", true},
    };
    for (const auto& c : cases) {
        const ProgramRun r = run_program(work.path(), c.answers, "LD_DEBUG=files", c.arguments);
        EXPECT_EQ(r.status, 0) << c.arguments << c.answers;
        EXPECT_EQ(r.err.find("libgdal") != std::string::npos, c.loads_gdal)
            << c.arguments << c.answers;
        EXPECT_EQ(r.err.find("terrapivoter-gdal.so") != std::string::npos, c.loads_gdal)
            << c.arguments << c.answers;
    }
}

#endif

TEST_F(CommandLine, AFullExtentKeepsEveryCellAndTheMapPosition) {
    // 3 rows of 5 about line 1, column 2 (the middle cell), a quarter turn anticlockwise: the
    // turned terrain is 5 rows of 3, and the output grows one cell down and one up.
    write_file(work.path() / "s.asc",
               "ncols 5\nnrows 3\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
               "1 2 3 4 5\n6 7 8 9 10\n11 12 13 14 15\n");
    succeeds("-a 90 -p 1,2 --extent full --background -1 s.asc t.asc");
    const AsciiInput t = read_ascii_grid((work.path() / "t.asc").string());
    EXPECT_EQ(t.header.nb_col, 5);
    EXPECT_EQ(t.header.nb_lig, 5);
    EXPECT_EQ(t.header.X_min, 100.0);
    EXPECT_EQ(t.header.Y_min, 190.0);  // the middle cell stays at (125, 215) on the map
    EXPECT_EQ(values_of(t.values), (std::vector<double>{-1, 5, 10, 15, -1,  //
                                                        -1, 4, 9,  14, -1,  //
                                                        -1, 3, 8,  13, -1,  //
                                                        -1, 2, 7,  12, -1,  //
                                                        -1, 1, 6,  11, -1}));

    // A real DEM, a quarter turn about a point off its centre: every value reaches the output,
    // where the input's extent loses some over the edges.
    auto counts = [](const std::vector<double>& values) {
        std::map<double, int> n;
        for (double v : values)
            ++n[v];
        return n;
    };
    const auto input = counts(ascii_values("lux_elev.asc"));
    auto lost = [&](const std::string& name) {
        const auto output = counts(ascii_values(name));
        int missing = 0;
        for (const auto& [value, n] : input) {
            const auto found = output.find(value);
            missing += std::max(0, n - (found == output.end() ? 0 : found->second));
        }
        return missing;
    };
    succeeds("-a 90 -p 20,30 --extent full lux_elev.asc full.asc");
    succeeds("-a 90 -p 20,30 lux_elev.asc cut.asc");
    EXPECT_EQ(lost("full.asc"), 0);
    EXPECT_GT(lost("cut.asc"), 1000);
}

TEST_F(CommandLine, AMapPivotIsThePivotOfItsLineAndColumn) {
    // Column (x - xllcorner) / cellsize - 0.5, line (y - yllcorner) / cellsize - 0.5.
    succeeds("-a 33 --pivot-xy 6.1,49.75 lux_elev.asc xy.asc");
    const double column = (6.1 - 5.741666666667) / 0.008333333333 - 0.5;
    const double line = (49.75 - 49.441666666667) / 0.008333333333 - 0.5;
    char pivot[80];
    std::snprintf(pivot, sizeof pivot, "%.17g,%.17g", line, column);
    succeeds(std::string("-a 33 -p ") + pivot + " lux_elev.asc lc.asc");
    EXPECT_EQ(read_file(work.path() / "xy.asc"), read_file(work.path() / "lc.asc"));
    // A raster pair takes its corner from --corner and its cell size from its descriptor.
    succeeds("-a 33 -u cm --corner 1000,2000 --pivot-xy 1302.5,2405 volcano_m4.txt r_m4.txt");
    succeeds("-a 33 -u cm -p 40,29.75 volcano_m4.txt p_m4.txt");
    EXPECT_EQ(read_file(work.path() / "r_m4.raw"), read_file(work.path() / "p_m4.raw"));
    // The default centre is the middle of the extent.
    succeeds("-a 33 lux_elev.asc centre.asc");
    succeeds("-a 33 --pivot-xy 6.1375000000015,49.816666666666 lux_elev.asc middle.asc");
    EXPECT_EQ(read_file(work.path() / "centre.asc"), read_file(work.path() / "middle.asc"));
}

// About the default centre a half turn flips any grid and a quarter turn transposes a grid
// whose counts share their parity, every cell to a cell: nothing lost, nothing filled.
TEST_F(CommandLine, TheDefaultCentreTurnsAGridOntoItself) {
    for (const auto& [rows, cols] : {std::pair{4, 6}, {5, 7}, {8, 8}, {3, 9}, {6, 3}}) {
        std::string grid = "ncols " + std::to_string(cols) + "\nnrows " + std::to_string(rows) +
                           "\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
        for (int k = 0; k < rows * cols; ++k)
            grid += std::to_string(k + 1) + " ";
        write_file(work.path() / "g.asc", grid);
        // Each cell carried to a cell, or each cell's centre taken back to a cell's centre.
        for (const auto& [angle, method] : {std::pair{180, "forward"},
                                            {90, "forward"},
                                            {-90, "forward"},
                                            {180, "nearest"},
                                            {90, "nearest"},
                                            {-90, "nearest"}}) {
            const bool square = angle == 180;  // the output keeps the input's extent
            if (!square && (rows - cols) % 2 != 0) continue;
            succeeds("-a " + std::to_string(angle) + " -r " + method +
                     " --extent full -q g.asc t.asc");
            const AsciiInput t = read_ascii_grid((work.path() / "t.asc").string());
            const int32_t out_rows = square ? rows : cols;
            const int32_t out_cols = square ? cols : rows;
            // The full extent adds margins: the turned grid is the middle out_rows x out_cols.
            const int32_t top = (t.header.nb_lig - out_rows) / 2;
            const int32_t left = (t.header.nb_col - out_cols) / 2;
            for (int32_t i = 0; i < out_rows; ++i) {
                for (int32_t j = 0; j < out_cols; ++j) {
                    // The input cell (r, c) that lands on output cell (i, j).
                    const int32_t r = angle == 180 ? rows - 1 - i : angle == 90 ? j : rows - 1 - j;
                    const int32_t c = angle == 180 ? cols - 1 - j : angle == 90 ? cols - 1 - i : i;
                    EXPECT_EQ(t.values[top + i][left + j], r * cols + c + 1)
                        << rows << "x" << cols << " by " << angle << ", " << method << ", at " << i
                        << "," << j;
                }
            }
        }
    }
}

TEST_F(CommandLine, AGridInDegreesIsTurnedWithAWord) {
    if (!gdal_available()) GTEST_SKIP() << "reads a GeoTIFF";
    fs::copy_file(sample("lux_elev.tif"), work.path() / "lux.tif");
    const ProgramRun r = run_command(work.path(), "-a 30 -q lux.tif t.tif");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: lux.tif: its coordinate system is geographic"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("gdalwarp -t_srs"), std::string::npos) << r.err;
}

TEST_F(CommandLine, TooLittleMemoryIsRaisedToWhatABandNeedsWithOneWord) {
    const ProgramRun r = run_command(work.path(), "-a 30 -q --memory 1k lux_elev.asc little.asc");
    EXPECT_EQ(r.status, 0);
    const std::string said = "warning: --memory: a band of a few rows of lux_elev.asc needs";
    EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(said, r.err.find(said) + 1), std::string::npos) << r.err;
    succeeds("-a 30 lux_elev.asc plenty.asc");
    EXPECT_EQ(read_file(work.path() / "little.asc"), read_file(work.path() / "plenty.asc"));
}

TEST_F(CommandLine, TheBackgroundAndTheNoDataValueAreChosen) {
    succeeds("-a 30 --background nodata lux_elev.asc nd.asc");
    const std::vector<double> nd = ascii_values("nd.asc");
    EXPECT_EQ(nd.front(), -32768.0);  // an uncovered corner: no-data
    // By default, the no-data value of an input that has one, the smallest value otherwise.
    succeeds("-a 30 lux_elev.asc default.asc");
    EXPECT_EQ(read_file(work.path() / "default.asc"), read_file(work.path() / "nd.asc"));
    succeeds("-a 30 -u cm volcano_m4.txt default_m4.txt");
    succeeds("-a 30 -u cm --background min volcano_m4.txt min_m4.txt");
    EXPECT_EQ(read_file(work.path() / "default_m4.raw"), read_file(work.path() / "min_m4.raw"));
    succeeds("-a 30 --background 12.5 lux_elev.asc v.asc");
    EXPECT_EQ(ascii_values("v.asc").front(), 12.5);
    // A raster pair in centimetres: VALUE in its stored units, written back as such.
    succeeds("-a 30 -u cm --nodata -5 --background nodata volcano_m4.txt n_m4.txt");
    EXPECT_EQ(raster_values(read_file(work.path() / "n_m4.raw")).front(), -5);
    succeeds("-a 30 -u cm --nodata -5 --background nodata --corner 0,0 volcano_m4.txt n.asc");
    const std::string n = read_file(work.path() / "n.asc");
    EXPECT_NE(n.find("nodata_value -0.050000\n-0.050000\t"), std::string::npos) << n.substr(0, 200);
}

}  // namespace
