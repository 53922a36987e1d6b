// Malformed files, odd answers and faults while writing, through the real program.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include "support.h"

using namespace terrapivoter;

namespace {

const std::string kOldOutput = "an output of an earlier run, which must survive";

class BadInput : public testing::Test {
  protected:
    void SetUp() override {
        write_file(folder() / "out.asc", kOldOutput);
        write_file(folder() / "out_m4.raw", kOldOutput);
        write_file(folder() / "out_m4.txt", kOldOutput);
    }
    fs::path folder() const { return images_folder(work.path(), "dem1"); }

    // Runs the program on `files` (name, content) and checks that it failed without touching
    // any output; returns what it printed on standard error.
    std::string fails(const std::vector<std::pair<std::string, std::string>>& files,
                      const std::string& answers) {
        for (const auto& [name, content] : files)
            write_file(folder() / name, content);
        const std::vector<std::string> before = file_names(folder());
        const ProgramRun r = run_program(work.path(), answers);
        EXPECT_EQ(r.status, 1) << answers << "\n" << r.err;
        EXPECT_EQ(file_names(folder()), before) << answers;
        for (const char* name : {"out.asc", "out_m4.raw", "out_m4.txt"}) {
            EXPECT_EQ(read_file(folder() / name), kOldOutput) << name;
        }
        for (const auto& [name, content] : files)
            fs::remove(folder() / name);
        return r.err;
    }

    ScratchDir work;
};

const std::string kRasterAnswers = "dem1 site 0 2 out 1 0 0 0 30";
const std::string kAsciiAnswers = "dem1 grid 1 out 1 0 30";
const std::string kDescriptor = "c:\\images\\dem1\\site_m4.txt";
const std::string kData = "c:\\images\\dem1\\site_m4.raw";
const std::string kAscii = "c:\\images\\dem1\\grid.asc";

TEST_F(BadInput, MalformedFilesAreRefusedNamingTheFileAndTheFault) {
    const std::string six = raster_bytes({1, 2, 3, 4, 5, 6});
    const std::string head = "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    std::string garbage;
    for (int k = 0; k < 4096; ++k)
        garbage.push_back(static_cast<char>((k * 7919 + 13) % 256));
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
        const std::string* answers;
        std::string names;
        std::string says;
    } cases[] = {
        {"empty descriptor",
         {{"site_m4.txt", ""}, {"site_m4.raw", six}},
         &kRasterAnswers,
         kDescriptor,
         "ends after 0 values"},
        {"letters",
         {{"site_m4.txt", "two\nthree\n4\n1\n6\n25\n"}, {"site_m4.raw", six}},
         &kRasterAnswers,
         kDescriptor,
         "value 1 (the number of rows) is \"two\""},
        {"five values",
         {{"site_m4.txt", "2\n3\n4\n1\n6\n"}, {"site_m4.raw", six}},
         &kRasterAnswers,
         kDescriptor,
         "ends after 5 values"},
        {"zero rows",
         {{"site_m4.txt", "0 3 4 1 6 25"}, {"site_m4.raw", six}},
         &kRasterAnswers,
         kDescriptor,
         "at least one row and one column"},
        {"negative columns",
         {{"site_m4.txt", "2 -3 4 1 6 25"}, {"site_m4.raw", six}},
         &kRasterAnswers,
         kDescriptor,
         "not 2 rows and -3 columns"},
        {"enormous",
         {{"site_m4.txt", "2147483647 2 4 1 6 25"}, {"site_m4.raw", six}},
         &kRasterAnswers,
         kData,
         "holds 24 bytes, but 2147483647 rows of 2 columns need 17179869176 bytes"},
        {"empty data",
         {{"site_m4.txt", "2 3 4 1 6 25"}, {"site_m4.raw", ""}},
         &kRasterAnswers,
         kData,
         "holds 0 bytes"},
        {"one byte short",
         {{"site_m4.txt", "2 3 4 1 6 25"}, {"site_m4.raw", six.substr(0, 23)}},
         &kRasterAnswers,
         kData,
         "holds 23 bytes"},
        {"odd length",
         {{"site_m4.txt", "2 3 4 1 6 25"}, {"site_m4.raw", six.substr(0, 21)}},
         &kRasterAnswers,
         kData,
         "holds 21 bytes"},
        {"empty grid", {{"grid.asc", ""}}, &kAsciiAnswers, kAscii, "is empty"},
        {"missing keyword",
         {{"grid.asc", "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\n1 2 3 4"}},
         &kAsciiAnswers,
         kAscii,
         "the header lacks cellsize"},
        {"repeated keyword",
         {{"grid.asc", "nrows 2\n" + head + "1 2 3 4"}},
         &kAsciiAnswers,
         kAscii,
         "gives nrows twice"},
        {"unknown keyword",
         {{"grid.asc", "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\nstep 1\n1 2 3 4"}},
         &kAsciiAnswers,
         kAscii,
         "the header lacks cellsize"},
        {"UTF-8 mark",
         {{"grid.asc", "\xEF\xBB\xBF" + head + "1 2 3 4"}},
         &kAsciiAnswers,
         kAscii,
         "UTF-8 byte-order mark"},
        {"UTF-16 mark",
         {{"grid.asc", std::string("\xFF\xFEn\0c\0", 6)}},
         &kAsciiAnswers,
         kAscii,
         "UTF-16"},
        {"infinite",
         {{"grid.asc", head + "1 2 infinit 4"}},
         &kAsciiAnswers,
         kAscii,
         "row 2, column 1 holds \"infinit\""},
        {"overflow",
         {{"grid.asc", head + "1 2 3 1e999"}},
         &kAsciiAnswers,
         kAscii,
         "holds \"1e999\""},
        {"two decimal commas",
         {{"grid.asc", head + "1,5,3 2 3 4"}},
         &kAsciiAnswers,
         kAscii,
         "holds \"1,5,3\""},
        {"double minus",
         {{"grid.asc", head + "1 --3 3 4"}},
         &kAsciiAnswers,
         kAscii,
         "holds \"--3\""},
        {"huge header",
         {{"grid.asc", "ncols 100000\nnrows 100000\nxllcorner 0\nyllcorner 0\ncellsize 1\n" +
                           std::string(1000, '7')}},
         &kAsciiAnswers,
         kAscii,
         "can hold at most 500 values"},
        {"binary garbage", {{"grid.asc", garbage}}, &kAsciiAnswers, kAscii, "is not an ASCII grid"},
    };
    for (const auto& c : cases) {
        const std::string err = fails(c.files, *c.answers);
        EXPECT_EQ(err.rfind("terrapivoter: " + c.names + ": ", 0), 0u) << c.what << ": " << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.what << ": " << err;
    }
}

TEST_F(BadInput, AnyNameIsJustANameAndEndsInTheMissingFileMessage) {
    for (const std::string& name : {std::string(5000, 'n'), std::string("\x01\xff\x7f\"'$(ls)")}) {
        const ProgramRun r = run_program(work.path(), "dem1 " + name + " 1 out 1 0 30");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        const std::string message = "\n No File c:\\images\\dem1\\" + name + ".asc \n";
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), message.size())), message);
    }
}

// The lux sample as input, its rotation as an ASCII grid output of about 100 kB.
class WriteFault : public BadInput {
  protected:
    void SetUp() override {
        BadInput::SetUp();
        fs::copy_file(sample("lux_elev.asc"), folder() / "grid.asc");
    }
    void expect_old_outputs_and_no_temporary() {
        EXPECT_EQ(file_names(folder()),
                  (std::vector<std::string>{"grid.asc", "out.asc", "out_m4.raw", "out_m4.txt"}));
        for (const char* name : {"out.asc", "out_m4.raw", "out_m4.txt"})
            EXPECT_EQ(read_file(folder() / name), kOldOutput) << name;
    }
};

// The answers of a run from grid.asc to a raster pair output.
const std::string kToRaster = "dem1 grid 1 out 0 0 30";

// Limits, users and signals of POSIX processes (Windows runs have their own test under Wine).
#ifndef _WIN32
TEST_F(WriteFault, AFullDiskIsAnErrorAndLeavesNothingBehind) {
    // A file-size limit of 16 kB stands in for a full disk; both outputs are larger.
    for (const auto& [answers, written] :
         {std::pair{kAsciiAnswers, "out.asc"}, std::pair{kToRaster, "out_m4.raw"}}) {
        const ProgramRun r = run_program(work.path(), answers, "ulimit -f 16 &&");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("terrapivoter: cannot write c:\\images\\dem1\\") + written +
                             ": File too large\n");
        expect_old_outputs_and_no_temporary();
    }
}

TEST_F(WriteFault, AFolderThatCannotBeWrittenIsReportedBeforeTheReferencePoint) {
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root and setpriv(1) to run the program as another user";
    }
    // The program runs as "nobody", who may read the folder but not write it.
    for (fs::path p = folder(); p != work.path().parent_path(); p = p.parent_path()) {
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    }
    fs::permissions(folder() / "grid.asc", fs::perms::others_read, fs::perm_options::add);
    const ProgramRun r = run_program(work.path(), kAsciiAnswers,
                                     "setpriv --reuid=65534 --regid=65534 --clear-groups");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "terrapivoter: cannot create c:\\images\\dem1\\out.asc: Permission denied\n");
    EXPECT_EQ(r.out.find("Coordinates of the reference point"), std::string::npos);
    expect_old_outputs_and_no_temporary();
}

// Starts the program on a 3000 x 3000 raster pair (an ASCII output of about 60 MB, or a raster
// pair of 36 MB), waits until its temporary output is being written, and sends `sig`; returns
// the wait status.
int interrupt_while_writing(const fs::path& workdir, const fs::path& folder, int sig,
                            const char* output_form = "1") {
    std::vector<int32_t> values(3000 * 3000);
    for (std::size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<int32_t>(k % 9973) + 100;
    write_file(folder / "big_m4.txt", "3000 3000 4 0 0 10");
    write_file(folder / "big_m4.raw", raster_bytes(values));
    write_file(workdir / "answers", std::string("dem1 big 0 0 out ") + output_form +
                                        (output_form[0] == '1' ? " 0 0" : "") + " 0 30\n");
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(workdir.c_str()) != 0) _exit(100);
        const int in = open("answers", O_RDONLY);
        const int null = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(null, 1);
        dup2(null, 2);
        execl(TERRAPIVOTER_BINARY, TERRAPIVOTER_BINARY, static_cast<char*>(nullptr));
        _exit(101);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool writing = false;
    while (!writing && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            std::error_code ignored;
            if (entry.path().filename().string().find(".tmp-terrapivoter-") != std::string::npos &&
                fs::file_size(entry.path(), ignored) > 1000000) {
                writing = true;
            }
        }
        if (!writing) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(child, sig);
    int status = 0;
    waitpid(child, &status, 0);
    fs::remove(folder / "big_m4.txt");
    fs::remove(folder / "big_m4.raw");
    fs::remove(workdir / "answers");
    return writing ? status : -1;
}

TEST_F(WriteFault, InterruptionsDuringTheWriteLeaveTheOldOutputsAndNoTemporary) {
    for (const auto& [sig, form] : {std::pair{SIGINT, "1"}, std::pair{SIGTERM, "1"},
                                    std::pair{SIGINT, "0"}, std::pair{SIGTERM, "0"}}) {
        const int status = interrupt_while_writing(work.path(), folder(), sig, form);
        ASSERT_NE(status, -1) << "the write was not caught in progress";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        expect_old_outputs_and_no_temporary();
    }
}

TEST_F(WriteFault, AKilledRunLeavesTheOldOutputsAndAMarkedTemporary) {
    const int status = interrupt_while_writing(work.path(), folder(), SIGKILL);
    ASSERT_NE(status, -1) << "the write was not caught in progress";
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(read_file(folder() / "out.asc"), kOldOutput);
    std::vector<std::string> names = file_names(folder());
    ASSERT_EQ(names.size(), 5u);
    // The only new file is named out.asc.tmp-terrapivoter-<pid>-<n>: no reader takes it for a grid.
    EXPECT_EQ(names[2].rfind("out.asc.tmp-terrapivoter-", 0), 0u) << names[2];
}

// A run of the command line made a row at a time (too little memory for the grids): an ASCII
// grid parsed into a scratch copy, a first pass for the background, a second that writes.
// Interrupted in each, it leaves no scratch copy, no temporary output, and the older output.
TEST_F(WriteFault, InterruptionsInEachPassOfABandedRunLeaveNothingBehind) {
    std::string grid = "ncols 700\nnrows 700\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
    for (int k = 0; k < 700 * 700; ++k)
        grid += std::to_string(k % 977) + (k % 700 == 699 ? "\n" : " ");
    write_file(folder() / "banded.asc", grid);
    const uint64_t scratch_bytes = uint64_t{700} * 700 * sizeof(double);
    // 0: while parsing (the output, made first, still empty), 1: the first pass (the scratch
    // copy whole, the output still empty), 2: the second pass (the output growing).
    for (int pass = 0; pass < 3; ++pass) {
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(folder().c_str()) != 0) _exit(100);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            setenv("TERRAPIVOTER_TEST_MEMORY", "1024", 1);
            execl(TERRAPIVOTER_BINARY, TERRAPIVOTER_BINARY, "-a", "30", "-j", "1", "banded.asc",
                  "out.asc", static_cast<char*>(nullptr));
            _exit(101);
        }
        bool caught = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!caught && std::chrono::steady_clock::now() < deadline) {
            std::vector<uint64_t> sizes;
            for (const auto& entry : fs::directory_iterator(folder())) {
                std::error_code ignored;
                if (entry.path().filename().string().find(".tmp-terrapivoter-") !=
                    std::string::npos) {
                    sizes.push_back(fs::file_size(entry.path(), ignored));
                }
            }
            const bool scratch_whole =
                std::find(sizes.begin(), sizes.end(), scratch_bytes) != sizes.end();
            if (pass == 0)
                caught = sizes.size() == 2 &&
                         std::any_of(sizes.begin(), sizes.end(),
                                     [&](uint64_t n) { return n > 0 && n < scratch_bytes; });
            if (pass == 1)
                caught = sizes.size() == 2 && scratch_whole &&
                         std::find(sizes.begin(), sizes.end(), 0u) != sizes.end();
            if (pass == 2)
                caught =
                    sizes.size() == 2 && scratch_whole &&
                    std::none_of(sizes.begin(), sizes.end(), [](uint64_t n) { return n == 0; });
            if (!caught) std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(caught) << "pass " << pass << " was not caught";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << pass;
        EXPECT_EQ(file_names(folder()),
                  (std::vector<std::string>{"banded.asc", "grid.asc", "out.asc", "out_m4.raw",
                                            "out_m4.txt"}))
            << pass;
        EXPECT_EQ(read_file(folder() / "out.asc"), kOldOutput) << pass;
    }
}

#endif

}  // namespace
