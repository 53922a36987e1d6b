// A file of the run's own beside a given path, for a grid too large for memory that cannot be
// read in place (an ASCII grid's values, once parsed). Its name carries the temporary mark, so
// no reader takes it for a grid; it is removed when it goes out of scope, and when the run is
// interrupted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace terrapivoter {

class ScratchFile {
  public:
    // `beside` is a path on the host; the file is made next to it.
    explicit ScratchFile(const std::string& beside);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    void append(const void* data, std::size_t size);
    // Flushes what was appended, so that it can be read back.
    void flush();
    // Reads `size` bytes at `offset`; any thread may.
    void read(uint64_t offset, void* out, std::size_t size) const;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::FILE* stream_ = nullptr;
};

}  // namespace terrapivoter
