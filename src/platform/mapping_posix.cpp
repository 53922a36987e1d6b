// Files mapped into memory on POSIX systems.
#include <cstdint>

#include <sys/mman.h>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

std::unique_ptr<MappedFile> MappedFile::map(std::FILE* f, bool read_ahead) {
    const auto size = regular_file_size(f);
    if (!size || *size == 0 || *size > SIZE_MAX) return nullptr;
    int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
    if (read_ahead) flags |= MAP_POPULATE;
#else
    (void)read_ahead;
#endif
    void* base = mmap(nullptr, static_cast<std::size_t>(*size), PROT_READ, flags, fileno(f), 0);
    if (base == MAP_FAILED) return nullptr;
    return std::unique_ptr<MappedFile>(new MappedFile(base, static_cast<std::size_t>(*size)));
}

MappedFile::~MappedFile() {
    munmap(base_, size_);
}

}  // namespace platform

}  // namespace terrapivoter
