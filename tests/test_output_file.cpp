#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "output_file.h"
#include "support.h"

namespace {

TEST(OutputFile, AppearsUnderItsNameOnlyWhenCommitted) {
    ScratchDir dir;
    const std::string name = (dir / "o.asc").string();
    OutputFile out(name, true);
    out.write("new content");
    EXPECT_FALSE(fs::exists(name));
    ASSERT_EQ(file_names(dir.path()).size(), 1u);
    EXPECT_NE(file_names(dir.path())[0].find(std::string("o.asc") + OutputFile::kTemporaryMarker),
              std::string::npos);
    out.finish();
    EXPECT_FALSE(fs::exists(name));
    out.commit();
    EXPECT_EQ(read_file(name), "new content");
    EXPECT_EQ(file_names(dir.path()), (std::vector<std::string>{"o.asc"}));
}

TEST(OutputFile, AnAbandonedFileLeavesTheExistingOutputAndNoTemporary) {
    ScratchDir dir;
    const std::string name = (dir / "o.asc").string();
    write_file(name, "old content");
    {
        OutputFile out(name, true);
        out.write(std::string(1 << 20, 'x'));
        // No commit: the run failed somewhere after this point.
    }
    EXPECT_EQ(read_file(name), "old content");
    EXPECT_EQ(file_names(dir.path()), (std::vector<std::string>{"o.asc"}));
    {
        OutputFile out(name, true);
        out.write("replaced");
        out.finish();
        out.commit();
    }
    EXPECT_EQ(read_file(name), "replaced");
}

TEST(OutputFile, AFolderThatCannotTakeTheFileIsReportedAtCreation) {
    ScratchDir dir;
    write_file(dir / "plain-file", "");
    for (const fs::path& where : {dir / "no-such-folder" / "o.asc", dir / "plain-file" / "o.asc"}) {
        try {
            OutputFile out(where.string(), true);
            FAIL() << where;
        } catch (const Failure& failure) {
            EXPECT_NE(std::string(failure.what()).find("cannot create " + where.string() + ": "),
                      std::string::npos)
                << failure.what();
        }
    }
}

TEST(OutputFile, AWriteErrorIsReportedAndTheTemporaryRemoved) {
    ScratchDir dir;
    const std::string name = (dir / "o_m4.raw").string();
    write_file(name, "old");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit stands in for a full disk: writes fail with EFBIG.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            OutputFile out(name, false);
            out.write(std::string(1 << 20, 'x'));
            out.finish();
            out.commit();
        } catch (const Failure& failure) {
            const std::string text = failure.what();
            _exit(text.find("cannot write " + name + ": File too large") == 0 ? 0 : 2);
        }
        _exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(name), "old");
    EXPECT_EQ(file_names(dir.path()), (std::vector<std::string>{"o_m4.raw"}));
}

}  // namespace
