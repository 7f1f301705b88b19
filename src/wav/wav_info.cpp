#include "wav/wav_info.h"

#include <sys/mman.h>

namespace {

// The size of a transparent huge page on x86-64 and most 64-bit platforms.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

WavBuffer wavBufferAllocate(std::uint32_t size) {
    if (size == 0) return nullptr;
    if (size < kHugePage) return WavBuffer(static_cast<std::uint8_t*>(std::malloc(size)));
    // A large clip is touched page by page as it is read in; on huge pages that costs one
    // fault per 2 MiB instead of one per 4 KiB. The rounding wastes less than one huge page.
    const std::size_t rounded = (std::size_t{size} + kHugePage - 1) / kHugePage * kHugePage;
    auto* p = static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, rounded));
    if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
    return WavBuffer(p);
}
