#include "wav/sample_memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace {

// The size of a transparent huge page on x86-64 and most 64-bit platforms.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Blocks from this size on are laid out for writing straight to the file.
constexpr std::size_t kPageAligned = std::size_t{512} << 10;
constexpr std::size_t kPage = 4096;

}  // namespace

std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t headerSize, std::size_t& offset) {
    offset = 0;
    if (size < kPageAligned) return static_cast<std::uint8_t*>(std::malloc(size));
    // The samples start as far into a page as they will start into the output file, so that
    // whole pages of the file can be written straight from memory. A large clip is touched
    // page by page as it is read in; on huge pages that costs one fault per 2 MiB instead of
    // one per 4 KiB. The rounding wastes less than one page.
    const std::size_t align = size < kHugePage ? kPage : kHugePage;
    const std::size_t rounded = (size + headerSize + align - 1) / align * align;
    auto* block = static_cast<std::uint8_t*>(std::aligned_alloc(align, rounded));
    if (block == nullptr) return nullptr;
    if (align == kHugePage) madvise(block, rounded, MADV_HUGEPAGE);
    offset = headerSize;
    return block;
}
