// Linux: sample buffers of 512 KiB or more start where the output file's pages do; those of
// 2 MiB or more lie on transparent huge pages as well, which another thread faults in ahead of
// the read that fills them where a file fills them.
#include "sys/sample_memory.h"

#include <sys/mman.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <thread>

namespace {

// The size of a transparent huge page on x86-64 and most 64-bit platforms.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Blocks from this size on are laid out for writing straight to the file.
constexpr std::size_t kPageAligned = std::size_t{512} << 10;
constexpr std::size_t kPage = 4096;

// The block whose pages are being made ready ahead of the read that fills it, and the thread
// doing it. One at a time: a clip has one buffer.
std::thread gPopulating;
std::uint8_t* gPopulatingBlock = nullptr;

// Faults in the pages of the block, one huge page at a time, on another core than the read
// that fills it. A fresh page must be cleared before it can be used (and, in a virtual
// machine that hands its free memory back to the host, first taken back from the host);
// done here, that cost runs beside the copy of the file's bytes instead of inside it. Stops
// at the first refusal (an old kernel, a memory limit): the read then faults the rest itself.
void populate(std::uint8_t* block, std::size_t size) {
    for (std::size_t at = 0; at < size; at += kHugePage) {
        if (madvise(block + at, std::min(kHugePage, size - at), MADV_POPULATE_WRITE) != 0) return;
    }
}

}  // namespace

SampleLayout sampleMemoryLayout(std::size_t size, std::size_t headerSize) {
    if (size < kPageAligned) return {1, 0, size};
    // The samples start as far into a page as they will start into the output file. A large
    // clip is touched page by page as it is read in; on huge pages that costs one fault per
    // 2 MiB instead of one per 4 KiB. The rounding wastes less than one page.
    const std::size_t align = size < kHugePage ? kPage : kHugePage;
    return {align, headerSize, (size + headerSize + align - 1) / align * align};
}

std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t headerSize, bool filledFromFile,
                                   std::size_t& offset) {
    const SampleLayout layout = sampleMemoryLayout(size, headerSize);
    offset = layout.offset;
    if (layout.align == 1) return static_cast<std::uint8_t*>(std::malloc(size));
    auto* block = static_cast<std::uint8_t*>(std::aligned_alloc(layout.align, layout.blockSize));
    if (block == nullptr) return nullptr;
    if (layout.align == kHugePage) {
        madvise(block, layout.blockSize, MADV_HUGEPAGE);
        // Only memory that is sure to be filled: a pipe's declared length is not.
        if (filledFromFile && !gPopulating.joinable()) {
            // The thread takes no signal: a signal must reach the thread that knows which
            // file to remove, and that holds the signals while that changes.
            sigset_t all;
            sigset_t before;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, &before);
            try {
                gPopulating = std::thread(populate, block, layout.blockSize);
                gPopulatingBlock = block;
            } catch (const std::system_error&) {
                // No thread to be had: the read faults the pages in itself.
            }
            pthread_sigmask(SIG_SETMASK, &before, nullptr);
        }
    }
    offset = headerSize;
    return block;
}

void sampleMemoryFree(std::uint8_t* block) noexcept {
    if (block != nullptr && block == gPopulatingBlock) {
        gPopulating.join();
        gPopulatingBlock = nullptr;
    }
    std::free(block);
}
