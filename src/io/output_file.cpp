#include "io/output_file.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "base/failure.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

std::atomic<unsigned> temporary_counter{0};

}  // namespace

namespace {

// Removes from `folder` ("" for the working folder) what the program's temporary names mark as
// left by a run that no longer exists: "<name>.tmp-terrapivoter-<pid>-<n>", <pid> gone.
void remove_stale_temporaries(const std::string& folder) {
    const auto names = platform::folder_entries(folder.empty() ? "." : folder);
    if (!names) return;
    const std::string marker = OutputFile::kTemporaryMarker;
    for (const std::string& name : *names) {
        const std::size_t at = name.rfind(marker);
        if (at == std::string::npos) continue;
        const std::string tail = name.substr(at + marker.size());  // "<pid>-<n>"
        const std::size_t dash = tail.find('-');
        if (dash == 0 || dash == std::string::npos || dash > 18 ||
            tail.find_first_not_of("0123456789-") != std::string::npos) {
            continue;
        }
        const unsigned long pid = std::stoul(tail.substr(0, dash));
        if (pid == platform::process_id() || platform::process_exists(pid)) continue;
        const std::string path = folder + name;
        if (!platform::remove_file(path)) platform::remove_tree(path);
    }
}

}  // namespace

std::string OutputFile::marked_name(const std::string& final_name) {
    // Each folder once a run: the run's own temporaries come after.
    static std::mutex cleaned_mutex;
    static std::set<std::string> cleaned;
    const std::size_t slash = final_name.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : final_name.substr(0, slash + 1);
    {
        const std::lock_guard lock(cleaned_mutex);
        if (cleaned.insert(folder).second) remove_stale_temporaries(folder);
    }
    return final_name + kTemporaryMarker + std::to_string(platform::process_id()) + "-" +
           std::to_string(temporary_counter.fetch_add(1));
}

OutputFile::OutputFile(const FileName& name, bool text)
    : displayed_(name.shown), final_(platform::link_target(name.host)) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = marked_name(final_);
        // Registered before it exists, so that no interruption can leave it behind.
        platform::remove_on_interrupt(temporary_);
        stream_ = platform::create_new_file(temporary_, text);
        if (stream_ != nullptr) return;
        int error = errno;
        platform::forget_on_interrupt(temporary_);
        if (error != EEXIST) {
            errno = error;
            throw Failure("cannot create " + displayed_ + ": " + platform::last_error_text());
        }
    }
    throw Failure("cannot create " + displayed_ + ": no free temporary name beside it");
}

OutputFile::~OutputFile() {
    if (!committed_) discard();
    wait_for_background_sync();
}

void OutputFile::sync_in_background(uint64_t written) {
    constexpr uint64_t kSyncStretch = uint64_t{32} << 20;
    if (written - synced_mark_ < kSyncStretch || sync_running_.load()) return;
    const std::unique_lock lock(syncing_, std::try_to_lock);
    if (!lock.owns_lock() || sync_running_.load() || written - synced_mark_ < kSyncStretch) return;
    // The previous sync has ended: its thread is joined at once.
    if (!wait_for_background_sync()) return;  // its error waits for finish()
    synced_mark_ = written;
    sync_running_.store(true);
    try {
        syncer_ = std::thread([this, f = stream_] {
            if (!platform::sync_to_disk(f)) sync_error_ = errno != 0 ? errno : EIO;
            sync_running_.store(false);
        });
    } catch (const std::system_error&) {
        sync_running_.store(false);  // no thread to be had: finish() syncs it all
    }
}

bool OutputFile::wait_for_background_sync() noexcept {
    if (syncer_.joinable()) {
        try {
            syncer_.join();
        } catch (const std::system_error&) {
            syncer_.detach();
        }
    }
    if (sync_error_ == 0) return true;
    errno = sync_error_;
    return false;
}

void OutputFile::fail(const std::string& what) {
    std::string reason = platform::last_error_text();
    discard();
    throw Failure("cannot " + what + " " + displayed_ + ": " + reason);
}

uint64_t OutputFile::begin_parallel() {
    if (std::fflush(stream_) != 0) fail("write");
    written_in_parallel_.store(written_);
    return written_;
}

void OutputFile::write_at(uint64_t offset, const void* data, std::size_t size) {
    if (!platform::write_at(stream_, offset, data, size))
        throw Failure("cannot write " + displayed_ + ": " + platform::last_error_text());
    platform::start_writing_range_out(stream_, offset, size);
    sync_in_background(written_in_parallel_.fetch_add(size) + size);
}

void OutputFile::end_parallel(uint64_t end) {
    if (!platform::seek_to(stream_, end)) fail("write");
    written_ = end;
    writing_out_ = end;
}

void OutputFile::rewind() {
    if (std::fflush(stream_) != 0 || !platform::seek_to(stream_, 0)) fail("write");
    written_ = 0;
    writing_out_ = 0;
    written_in_parallel_.store(0);
    synced_mark_.store(0);
}

void OutputFile::write(const void* data, std::size_t size) {
    if (!platform::write_all(stream_, data, size)) fail("write");
    // Large outputs go out to the device while the rest is still being made, so that the sync
    // at the end waits for little.
    constexpr uint64_t kStretch = uint64_t{16} << 20;
    written_ += size;
    if (written_ - writing_out_ >= kStretch) {
        platform::start_writing_out(stream_, writing_out_, written_ - writing_out_);
        writing_out_ = written_;
        sync_in_background(written_);
    }
}

void OutputFile::hand_over() {
    if (stream_ == nullptr) return;
    if (!wait_for_background_sync()) fail("write");
    std::FILE* f = stream_;
    stream_ = nullptr;
    if (std::fclose(f) != 0) fail("write");
}

std::unique_ptr<OutputFile> OutputFile::adopt(const FileName& name, const std::string& temporary) {
    std::unique_ptr<OutputFile> file(new OutputFile());
    file->displayed_ = name.shown;
    file->final_ = name.host;
    file->temporary_ = temporary;
    platform::remove_on_interrupt(temporary);
    return file;
}

void OutputFile::finish() {
    if (!wait_for_background_sync()) fail("write");
    if (stream_ == nullptr) {
        // Written by another writer: only its data's way to the disk is left.
        if (!platform::sync_file(temporary_)) fail("write");
        return;
    }
    if (std::fflush(stream_) != 0 || std::ferror(stream_) != 0) fail("write");
    if (!platform::sync_to_disk(stream_)) fail("write");
    std::FILE* f = stream_;
    stream_ = nullptr;
    if (std::fclose(f) != 0) fail("write");
}

void OutputFile::commit_together(const std::vector<OutputFile*>& files) {
    // Each older file keeps a second name until every new one has its own, so that a failed
    // rename can put back what the earlier ones replaced. Interruptions wait meanwhile: the
    // handlers would remove the temporaries between two renames.
    const platform::InterruptsHeld held;
    struct Step {
        OutputFile* file;
        bool replaced;      // a file of that name existed
        std::string older;  // its second name; empty when it had none (or could not have one)
    };
    std::vector<Step> done;
    auto put_back = [&] {
        for (auto step = done.rbegin(); step != done.rend(); ++step) {
            if (!step->replaced) {
                platform::remove_file(step->file->final_);
            } else if (!step->older.empty()) {
                platform::replace_file(step->older, step->file->final_);
            }
        }
    };
    for (OutputFile* file : files) {
        std::string older;
        const bool replaced = files.size() > 1 && platform::file_exists(file->final_);
        if (replaced) {
            older = marked_name(file->final_);
            if (!platform::link_file(file->final_, older)) older.clear();
        }
        // A replaced file keeps its permissions (one made read-only stays so).
        platform::copy_permissions(file->final_, file->temporary_);
        if (!platform::replace_file(file->temporary_, file->final_)) {
            const std::string reason = platform::last_error_text();
            if (!older.empty()) platform::remove_file(older);
            put_back();
            for (OutputFile* f : files)
                f->discard();
            throw Failure("cannot replace " + file->displayed_ + ": " + reason);
        }
        platform::forget_on_interrupt(file->temporary_);
        file->committed_ = true;
        done.push_back({file, replaced, std::move(older)});
    }
    for (const Step& step : done) {
        if (!step.older.empty()) platform::remove_file(step.older);
    }
}

void OutputFile::discard() noexcept {
    if (committed_) return;
    wait_for_background_sync();
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temporary_.empty()) {
        platform::remove_file(temporary_);
        platform::forget_on_interrupt(temporary_);
        temporary_.clear();
    }
}

}  // namespace terrapivoter
