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

namespace {

constexpr std::size_t kHugePage = std::size_t{1} << 21;

// How far `at` lies past the huge page boundary below it, and before the one above it.
[[maybe_unused]] std::size_t from_huge_page(const void* at) {
    return reinterpret_cast<uintptr_t>(at) & (kHugePage - 1);
}
[[maybe_unused]] std::size_t to_huge_page(const void* at) {
    return (kHugePage - from_huge_page(at)) & (kHugePage - 1);
}

}  // namespace

PreparedGridMemory::PreparedGridMemory(
    std::size_t bytes, const std::function<void(char* block, std::size_t bytes)>& fault_in) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    // The heap, not a mapping of its own, serves the block (a mapping would be returned to the
    // system on free), and it keeps the block when it is freed.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    void* block = std::malloc(bytes);
    if (block == nullptr) return;
    char* const start = static_cast<char*>(block);
    char* const first = start + to_huge_page(start);
    char* const last = start + bytes - from_huge_page(start + bytes);
    if (last > first) madvise(first, static_cast<std::size_t>(last - first), MADV_HUGEPAGE);
    fault_in(static_cast<char*>(block), bytes);
    std::free(block);
#else
    (void)bytes;
    (void)fault_in;
#endif
}

LargeBlock::LargeBlock(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // One huge page more, so that the block can start on a huge page's boundary.
    const std::size_t size = (bytes + 2 * kHugePage - 1) & ~(kHugePage - 1);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    mapped_ = size;
    char* const first = static_cast<char*>(base) + to_huge_page(base);
    madvise(first, size - kHugePage, MADV_HUGEPAGE);
    data_ = first;
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
