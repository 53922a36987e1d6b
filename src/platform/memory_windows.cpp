// Memory for large grids on Windows: the heap as it comes.
#include <cstdlib>

#include <malloc.h>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

PreparedGridMemory::PreparedGridMemory(
    std::size_t bytes, const std::function<void(char* block, std::size_t bytes)>& fault_in) {
    (void)bytes;
    (void)fault_in;
}

LargeBlock::LargeBlock(std::size_t bytes) {
    data_ = std::malloc(bytes);
}

LargeBlock::~LargeBlock() {
    std::free(data_);
}

PreparedGridMemory::~PreparedGridMemory() {}

void return_free_memory(std::size_t released) {
    (void)released;
}

std::size_t heap_block_bytes(void* block) {
    return _msize(block);
}

}  // namespace platform

}  // namespace terrapivoter
