// Memory for large grids on POSIX systems: on Linux with glibc, huge pages asked for and freed
// memory handed back; elsewhere the heap as it comes.
#include <cstdint>
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>

#include "platform/platform.h"

namespace terrapivoter {

namespace platform {

PreparedGridMemory::PreparedGridMemory(
    std::size_t bytes, const std::function<void(char* block, std::size_t bytes)>& fault_in) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    // The heap, not a mapping of its own, serves the block (a mapping would be returned to the
    // system on free), and it keeps the block when it is freed.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    void* block = std::malloc(bytes);
    if (block == nullptr) return;
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    const auto first = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    const auto last = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    fault_in(static_cast<char*>(block), bytes);
    std::free(block);
#else
    (void)bytes;
    (void)fault_in;
#endif
}

LargeBlock::LargeBlock(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHuge = std::size_t{1} << 21;
    // One huge page more, so that the block can start on a huge page's boundary.
    const std::size_t size = (bytes + 2 * kHuge - 1) & ~(kHuge - 1);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    mapped_ = size;
    const auto first = (reinterpret_cast<uintptr_t>(base) + kHuge - 1) & ~(kHuge - 1);
    madvise(reinterpret_cast<void*>(first), size - kHuge, MADV_HUGEPAGE);
    data_ = reinterpret_cast<void*>(first);
    base_ = base;
#else
    data_ = std::malloc(bytes);
#endif
}

LargeBlock::~LargeBlock() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (mapped_ > 0) munmap(base_, mapped_);
#else
    std::free(data_);
#endif
}

PreparedGridMemory::~PreparedGridMemory() {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    // glibc's defaults, except that setting any of these fixes its otherwise growing mmap
    // threshold: pinned where growth would take it (and the trim threshold at twice that), so
    // that libraries' large buffers keep coming from the heap.
    mallopt(M_MMAP_MAX, 65536);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

void return_free_memory(std::size_t released) {
#if defined(__GLIBC__)
    if (released >= kLargeGridBytes) malloc_trim(0);
#else
    (void)released;
#endif
}

std::size_t heap_block_bytes(void* block) {
#if defined(__GLIBC__)
    return malloc_usable_size(block);
#else
    (void)block;
    return 0;
#endif
}

}  // namespace platform

}  // namespace terrapivoter
