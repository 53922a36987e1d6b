#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>

#include "formats/ascii_grid.h"
#include "formats/raster_pair.h"
#include "io/output_file.h"
#include "platform/platform.h"
#include "support.h"

using namespace terrapivoter;

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

// POSIX permissions, symbolic links and processes.
#ifndef _WIN32
TEST(OutputFile, ReplacingAFileKeepsItsPermissionsAndALinkReplacesWhatItPointsTo) {
    ScratchDir dir;
    fs::create_directory(dir / "data");
    write_file(dir / "data" / "real.asc", "old");
    fs::permissions(dir / "data" / "real.asc", fs::perms::owner_read | fs::perms::group_read);
    fs::create_symlink("data/real.asc", dir / "link.asc");
    // The link's target, then the file itself: each comes back read-only, the link a link.
    for (const fs::path& name : {dir / "link.asc", dir / "data" / "real.asc"}) {
        OutputFile out(name.string(), true);
        out.write("new through " + name.filename().string());
        out.finish();
        out.commit();
        EXPECT_TRUE(fs::is_symlink(dir / "link.asc"));
        EXPECT_EQ(read_file(dir / "data" / "real.asc"), "new through " + name.filename().string());
        EXPECT_EQ(fs::status(dir / "data" / "real.asc").permissions(),
                  fs::perms::owner_read | fs::perms::group_read);
        EXPECT_EQ(file_names(dir / "data"), (std::vector<std::string>{"real.asc"}));
    }
}

TEST(OutputFile, WhatAVanishedRunLeftBesideItsOutputIsRemoved) {
    ScratchDir dir;
    // A process that has ended, and one that runs (this one's parent).
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    const std::string gone = std::to_string(child);
    const std::string alive = std::to_string(getppid());
    write_file(dir / ("o.asc" + std::string(OutputFile::kTemporaryMarker) + gone + "-0"), "x");
    fs::create_directory(dir / ("o.tif" + std::string(OutputFile::kTemporaryMarker) + gone + "-3"));
    write_file(dir / ("o.tif" + std::string(OutputFile::kTemporaryMarker) + gone + "-3") / "o.tif",
               "x");
    const std::string running = "p.asc" + std::string(OutputFile::kTemporaryMarker) + alive + "-1";
    write_file(dir / running, "x");
    write_file(dir / "o.asc.tmp-notes", "x");
    OutputFile out((dir / "q.asc").string(), true);
    out.write("q");
    out.finish();
    out.commit();
    EXPECT_EQ(file_names(dir.path()),
              (std::vector<std::string>{"o.asc.tmp-notes", running, "q.asc"}));
}

#endif

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

// A POSIX process's file-size limit.
#ifndef _WIN32
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
#endif

// A raster pair is replaced whole or not at all, whichever system call fails on the way.
TEST(OutputFile, AFailingCallLeavesTheOlderPairWholeAndNoTemporary) {
    using platform::Call;
    const struct {
        Call call;
        int error;
        unsigned successes;  // calls of that kind that succeed first
        const char* says;
        bool by_offset = false;  // the data written by offsets (from several threads)
        bool large = false;      // enough data that the file is synced while it is written
    } cases[] = {
        {Call::create, EACCES, 0, "cannot create D/o_m4.raw: Permission denied"},
        {Call::create, EMFILE, 1, "cannot create D/o_m4.txt: Too many open files"},
        {Call::write, ENOSPC, 0, "cannot write D/o_m4.raw: No space left on device"},
        {Call::write, ENOSPC, 1, "cannot write D/o_m4.txt: No space left on device"},
        {Call::write, ENOSPC, 0, "cannot write D/o_m4.raw: No space left on device", true},
        {Call::write, ENOSPC, 1, "cannot write D/o_m4.raw: No space left on device", true},
        {Call::sync, EIO, 0, "cannot write D/o_m4.raw: Input/output error", true},
        {Call::sync, EIO, 0, "cannot write D/o_m4.raw: Input/output error"},
        {Call::sync, EIO, 1, "cannot write D/o_m4.txt: Input/output error"},
        {Call::sync, EIO, 0, "cannot write D/o_m4.raw: Input/output error", false, true},
        {Call::sync, EIO, 0, "cannot write D/o_m4.raw: Input/output error", true, true},
        {Call::sync, EIO, 1, "cannot write D/o_m4.raw: Input/output error", true, true},
        {Call::rename, EXDEV, 0, "cannot replace D/o_m4.raw: Invalid cross-device link"},
        // The data file has its new name already: it must be put back.
        {Call::rename, EROFS, 1, "cannot replace D/o_m4.txt: Read-only file system"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string data = (dir / "o_m4.raw").string();
        const std::string descriptor = (dir / "o_m4.txt").string();
        write_file(data, "old data");
        write_file(descriptor, "old descriptor");
        platform::faults::fail_next(c.call, c.error, c.successes);
        std::string message = failure_of([&] {
            OutputFile d(data, false);
            OutputFile t(descriptor, true);
            if (c.large) {
                // 48 MB in blocks of 1 MB: syncs start on the way, the first one failing.
                const std::vector<char> block(std::size_t{1} << 20, 'x');
                const uint64_t start = c.by_offset ? d.begin_parallel() : 0;
                for (uint64_t k = 0; k < 48; ++k) {
                    if (c.by_offset) {
                        d.write_at(start + k * block.size(), block.data(), block.size());
                    } else {
                        d.write(block.data(), block.size());
                    }
                }
                if (c.by_offset) d.end_parallel(start + 48 * block.size());
            } else if (c.by_offset) {
                d.write("new ");
                const uint64_t start = d.begin_parallel();
                d.write_at(start + 2, "ta", 2);
                d.write_at(start, "da", 2);
                d.end_parallel(start + 4);
            } else {
                d.write("new data");
            }
            t.write("new descriptor");
            d.finish();
            t.finish();
            OutputFile::commit_together({&d, &t});
        });
        platform::faults::clear();
        const std::string folder = (dir.path() / "").string();
        const std::size_t at = message.find(folder);
        if (at != std::string::npos)
            message = message.substr(0, at) + "D/" + message.substr(at + folder.size());
        EXPECT_EQ(message, c.says);
        // Compared as truth values: a large file's 48 MB would fill the log.
        EXPECT_TRUE(read_file(data) == "old data") << c.says;
        EXPECT_TRUE(read_file(descriptor) == "old descriptor") << c.says;
        EXPECT_EQ(file_names(dir.path()), (std::vector<std::string>{"o_m4.raw", "o_m4.txt"}));
    }
    // Blocks written by offset, out of order, then more written after them: all in place.
    ScratchDir dir;
    OutputFile d((dir / "o_m4.raw").string(), false);
    d.write("new ");
    const uint64_t start = d.begin_parallel();
    d.write_at(start + 2, "ta", 2);
    d.write_at(start, "da", 2);
    d.end_parallel(start + 4);
    d.write("!");
    d.finish();
    d.commit();
    EXPECT_EQ(read_file(dir / "o_m4.raw"), "new data!");
}

TEST(OutputFile, APairWithoutOlderFilesIsTakenBackWhole) {
    ScratchDir dir;
    OutputFile d((dir / "o_m4.raw").string(), false);
    OutputFile t((dir / "o_m4.txt").string(), true);
    d.finish();
    t.finish();
    platform::faults::fail_next(platform::Call::rename, EIO, 1);
    EXPECT_NE(failure_of([&] { OutputFile::commit_together({&d, &t}); }), "(no failure)");
    EXPECT_EQ(file_names(dir.path()), std::vector<std::string>{});
}

TEST(OutputFile, ReadErrorsNameTheFile) {
    ScratchDir dir;
    write_file(dir / "g_m4.txt", "1 2 4 0 0 1");
    write_file(dir / "g_m4.raw", raster_bytes({1, 2}));
    write_file(dir / "g.asc", "ncols 1 nrows 1 xllcorner 0 yllcorner 0 cellsize 1 5");
    const std::string base = (dir / "g").string();
    platform::faults::fail_next(platform::Call::read, EIO);
    EXPECT_EQ(failure_of([&] { held_raster_pair(base, 1.0); }),
              "cannot read " + base + "_m4.raw: Input/output error");
    platform::faults::fail_next(platform::Call::read, EIO);
    EXPECT_EQ(failure_of([&] { read_ascii_grid_reference(base + ".asc"); }),
              "cannot read " + base + ".asc: Input/output error");
    platform::faults::clear();
}

}  // namespace
