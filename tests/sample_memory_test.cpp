// The sample buffer's layout, which the output's fast path relies on: where the platform lays
// large clips out for writing past the cache, the samples start as far past a page boundary as
// they start into the output file, and the block holds them all.
#include <gtest/gtest.h>

#include <cstdint>

#include "sys/sample_memory.h"
#include "wav/wav_info.h"

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(SampleMemory, BlocksHoldTheirSamplesAndLargeOnesLineUpWithTheFilesPages) {
    // Around the sizes where the layout changes, and whole multiples of its alignments.
    for (const std::size_t size : std::initializer_list<std::size_t>{1, 512 * 1024 - 1, 512 * 1024, 2 * kMiB - 44, 2 * kMiB - 43, 2 * kMiB,
                                   2 * kMiB + 1, 4 * kMiB, 4 * kMiB - 44, 64 * kMiB + 4000, 0xFFFFFFFF}) {
        SCOPED_TRACE(size);
        const SampleLayout layout = sampleMemoryLayout(size, kWavHeaderSize);
        ASSERT_GT(layout.align, 0u);
        EXPECT_EQ(layout.blockSize % layout.align, 0u);
        EXPECT_GE(layout.blockSize, layout.offset + size) << "the samples run past the block";
        EXPECT_LT(layout.blockSize - (layout.offset + size), layout.align) << "more than one unit wasted";
        // Where the platform writes past its cache, a block of 512 KiB or more is laid out for the
        // file: the samples start 44 bytes past a page boundary, as in the file. Others start at
        // the block's start.
        const bool forTheFile = VELTO_LINUX_FEATURES && size >= 512 * 1024;
        EXPECT_EQ(layout.offset, forTheFile ? static_cast<std::size_t>(kWavHeaderSize) : 0u);
        if (forTheFile) {
            EXPECT_EQ(layout.align % kPage, 0u) << "the block does not start on a page";
        }
    }
}

TEST(SampleMemory, AClipOfAMebibyteIsLaidOutForTheFileWhereTheSystemWritesPastItsCache) {
    if (!VELTO_LINUX_FEATURES) {
        GTEST_SKIP() << "this build writes through the C library's buffer, which needs no alignment";
    }
    const WavBuffer buffer = wavBufferAllocate(kMiB, true);
    ASSERT_NE(buffer, nullptr);
    const auto at = reinterpret_cast<std::uintptr_t>(buffer.get());
    EXPECT_EQ((at - static_cast<std::uintptr_t>(kWavHeaderSize)) % kPage, 0u)
        << "the file's whole pages do not lie on whole pages of memory: the fast path is never taken";
}

}  // namespace
