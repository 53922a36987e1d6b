#include "io/scratch_file.h"

#include <cerrno>

#include "base/failure.h"
#include "io/output_file.h"
#include "platform/platform.h"

namespace terrapivoter {

ScratchFile::ScratchFile(const std::string& beside) {
    for (int attempt = 0; attempt < 100 && stream_ == nullptr; ++attempt) {
        path_ = OutputFile::marked_name(beside);
        platform::remove_on_interrupt(path_);
        stream_ = platform::create_new_file(path_, false, true);
        if (stream_ != nullptr) return;
        const int error = errno;
        platform::forget_on_interrupt(path_);
        if (error != EEXIST) {
            errno = error;
            throw Failure("cannot create a scratch file beside " + beside + ": " +
                          platform::last_error_text());
        }
    }
    throw Failure("cannot create a scratch file beside " + beside + ": no free name");
}

ScratchFile::~ScratchFile() {
    std::fclose(stream_);
    platform::remove_file(path_);
    platform::forget_on_interrupt(path_);
}

void ScratchFile::append(const void* data, std::size_t size) {
    if (!platform::write_all(stream_, data, size)) {
        throw Failure("cannot write the scratch file " + path_ + ": " +
                      platform::last_error_text());
    }
}

void ScratchFile::flush() {
    if (std::fflush(stream_) != 0) {
        throw Failure("cannot write the scratch file " + path_ + ": " +
                      platform::last_error_text());
    }
}

void ScratchFile::read(uint64_t offset, void* out, std::size_t size) const {
    const int64_t got = platform::read_at(stream_, offset, out, size);
    if (got < 0 || static_cast<std::size_t>(got) != size) {
        throw Failure("cannot read the scratch file " + path_ + ": " +
                      (got < 0 ? platform::last_error_text() : std::string("it is short")));
    }
}

}  // namespace terrapivoter
