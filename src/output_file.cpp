#include "output_file.h"

#include <atomic>
#include <cerrno>

#include "failure.h"
#include "platform.h"

namespace {
std::atomic<unsigned> temporary_counter{0};
}

OutputFile::OutputFile(std::string displayed, bool text)
    : displayed_(std::move(displayed)), final_(platform::host_path(displayed_)) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = final_ + kTemporaryMarker + std::to_string(platform::process_id()) + "-" +
                     std::to_string(temporary_counter.fetch_add(1));
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
}

void OutputFile::fail(const std::string& what) {
    std::string reason = platform::last_error_text();
    discard();
    throw Failure("cannot " + what + " " + displayed_ + ": " + reason);
}

void OutputFile::write(const void* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, stream_) != size) fail("write");
}

void OutputFile::finish() {
    if (std::fflush(stream_) != 0 || std::ferror(stream_) != 0) fail("write");
    if (!platform::sync_to_disk(stream_)) fail("write");
    std::FILE* f = stream_;
    stream_ = nullptr;
    if (std::fclose(f) != 0) fail("write");
}

void OutputFile::commit() {
    if (!platform::replace_file(temporary_, final_)) fail("replace");
    platform::forget_on_interrupt(temporary_);
    committed_ = true;
}

void OutputFile::discard() noexcept {
    if (committed_) return;
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
