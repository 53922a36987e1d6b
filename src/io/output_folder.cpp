#include "io/output_folder.h"

#include <cerrno>
#include <memory>
#include <vector>

#include "base/failure.h"
#include "io/output_file.h"
#include "platform/platform.h"

namespace terrapivoter {

namespace {

// The part of a path up to and with its last separator ("" for a bare name).
std::string folder_part(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

OutputFolder::OutputFolder(const FileName& name)
    : final_(platform::link_target(name.host), name.shown) {
    const std::string last = final_.host.substr(folder_part(final_.host).size());
    for (int attempt = 0; attempt < 100; ++attempt) {
        folder_ = OutputFile::marked_name(final_.host);
        // Registered before it exists, so that no interruption can leave it behind.
        platform::remove_folder_on_interrupt(folder_);
        if (platform::create_new_folder(folder_)) {
            inside_ = folder_ + "/" + last;
            return;
        }
        const int error = errno;
        platform::forget_on_interrupt(folder_);
        if (error != EEXIST) {
            errno = error;
            folder_.clear();
            throw Failure("cannot create " + final_.shown + ": " + platform::last_error_text());
        }
    }
    folder_.clear();
    throw Failure("cannot create " + final_.shown + ": no free temporary name beside it");
}

OutputFolder::~OutputFolder() {
    discard();
}

void OutputFolder::commit() {
    const auto names = platform::folder_entries(folder_);
    if (!names || names->empty()) {
        const std::string reason = names ? "the writer made no file" : platform::last_error_text();
        discard();
        throw Failure("cannot write " + final_.shown + ": " + reason);
    }
    const std::string host_folder = folder_part(final_.host);
    const std::string shown_folder = folder_part(final_.shown);
    std::vector<std::unique_ptr<OutputFile>> files;
    std::vector<OutputFile*> committed;
    for (const std::string& entry : *names) {
        files.push_back(
            OutputFile::adopt({host_folder + entry, shown_folder + entry}, folder_ + "/" + entry));
        committed.push_back(files.back().get());
    }
    try {
        for (OutputFile* file : committed)
            file->finish();
        OutputFile::commit_together(committed);
    } catch (...) {
        discard();
        throw;
    }
    committed_ = true;
    platform::remove_tree(folder_);
    platform::forget_on_interrupt(folder_);
}

void OutputFolder::discard() noexcept {
    if (committed_ || folder_.empty()) return;
    platform::remove_tree(folder_);
    platform::forget_on_interrupt(folder_);
    folder_.clear();
}

}  // namespace terrapivoter
