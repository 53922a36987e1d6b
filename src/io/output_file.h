// An output file that appears under its name only once it is complete.
//
// The data go to a new temporary file beside the final one; commit() renames it over the final
// name after everything was written, flushed, synced and closed. Until then an existing file of
// that name is untouched, and a run that fails or is interrupted removes its temporary file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file_name.h"

namespace terrapivoter {

class OutputFile {
  public:
    // `name.shown` names the file in every message. Fails (Failure) when the temporary file
    // cannot be created.
    OutputFile(const FileName& name, bool text);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    void write(const void* data, std::size_t size);
    void write(const std::string& text) { write(text.data(), text.size()); }

    // Writing from several threads at once, for writers that make blocks in parallel:
    // begin_parallel() flushes what write() left and returns where the parallel part starts
    // (the bytes written so far); write_at() then puts blocks at offsets of their own, from any
    // thread, each sent on to the device as it is written (it fails without discarding the file:
    // other threads may still be writing); end_parallel(end) carries on with write() at `end`.
    // Large outputs are synced in stretches while they are written (see sync_in_background).
    uint64_t begin_parallel();
    void write_at(uint64_t offset, const void* data, std::size_t size);
    void end_parallel(uint64_t end);

    // Starts writing again from the first byte, over what was written (which a writer that
    // writes as much again replaces whole).
    void rewind();
    // Flushes, syncs and closes the temporary file; fails on any write error.
    void finish();

    // Closes the temporary file so that another writer (GDAL) writes it by its path
    // (temporary_path()); finish() then syncs what that writer left.
    void hand_over();

    // A file that another writer made under a temporary name, to be finished and committed as
    // `name` (a driver's file beside the one handed over).
    static std::unique_ptr<OutputFile> adopt(const FileName& name, const std::string& temporary);
    // Gives the finished file its final name.
    void commit() { commit_together({this}); }
    // Closes and removes the temporary file (nothing happens to the final name).
    void discard() noexcept;

    // Gives finished files their final names, all or none: when one cannot take its name, those
    // renamed before it are put back as they were (the older file, or no file) and it fails.
    static void commit_together(const std::vector<OutputFile*>& files);

    // For writers that format straight into the file; errors surface in finish().
    std::FILE* stream() const { return stream_; }
    const std::string& displayed() const { return displayed_; }
    const std::string& temporary_path() const { return temporary_; }

    // Marks every temporary file of this program: "<final name>.tmp-terrapivoter-<pid>-<n>".
    static constexpr const char* kTemporaryMarker = ".tmp-terrapivoter-";
    // A name of that form, not used before in this run. The first one in a folder removes what
    // runs of the program that no longer exist left there under such names (killed outright).
    static std::string marked_name(const std::string& final_name);

  private:
    OutputFile() = default;
    [[noreturn]] void fail(const std::string& what);
    // Once kSyncStretch bytes more than at the last such sync were written (`written` in all),
    // syncs the file on a thread of its own, unless one is still syncing: a sync costs in
    // proportion to what it sends to lasting storage, and so the device stores the output while
    // the rest is made, and the sync in finish() waits for the last stretch alone.
    void sync_in_background(uint64_t written);
    // Waits for a sync started by sync_in_background; false when it failed (errno set).
    bool wait_for_background_sync() noexcept;

    std::string displayed_;
    std::string final_;
    std::string temporary_;
    std::FILE* stream_ = nullptr;
    bool committed_ = false;
    uint64_t written_ = 0;      // bytes handed to write()
    uint64_t writing_out_ = 0;  // of which the system was asked to start writing out
    // Bytes written so far, write_at()'s included: set by begin_parallel(), then counted up.
    std::atomic<uint64_t> written_in_parallel_{0};
    std::mutex syncing_;  // held while a background sync is started
    std::thread syncer_;
    std::atomic<bool> sync_running_{false};
    std::atomic<uint64_t> synced_mark_{0};  // bytes written when the last background sync began
    int sync_error_ = 0;                    // errno of a failed background sync
};

}  // namespace terrapivoter
