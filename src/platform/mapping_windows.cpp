// Files mapped into memory on Windows: not yet; the readers read them instead.
#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

std::unique_ptr<MappedFile> MappedFile::map(std::FILE* f, bool read_ahead) {
    (void)f;
    (void)read_ahead;
    return nullptr;
}

MappedFile::~MappedFile() {}

}  // namespace platform

}  // namespace terrapivoter
