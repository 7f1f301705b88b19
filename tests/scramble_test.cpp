// The amplitude mirror over buffers of either width and any channel count.
#include <gtest/gtest.h>

#include <cstring>

#include "scramble/scramble.h"
#include "support/support.h"

namespace {

using testing_support::noise;

WavInfo clip(std::uint16_t bits, std::uint16_t channels, const std::string& bytes) {
    WavInfo info;
    info.bitsPerSample = bits;
    info.channels = channels;
    info.dataLength = static_cast<std::uint32_t>(bytes.size());
    info.data = wavBufferAllocate(info.dataLength);
    if (!bytes.empty()) std::memcpy(info.data.get(), bytes.data(), bytes.size());
    return info;
}

std::string bytesOf(const WavInfo& info) {
    return {reinterpret_cast<const char*>(info.data.get()), info.dataLength};
}

int scramble(WavInfo& info) {
    return info.bitsPerSample == 8 ? wavScramble8(info) : wavScramble16(info);
}

TEST(Scramble, MapsEachSampleValueAsTheMirrorTable) {
    struct Row {
        std::uint16_t bits;
        std::uint16_t before;
        std::uint16_t after;
    };
    const Row rows[] = {
        {8, 0x00, 0x80},       {8, 0x01, 0x7F},       {8, 0x40, 0x40},       {8, 0x7F, 0x01},
        {8, 0x80, 0x00},       {8, 0x81, 0xFF},       {8, 0xC0, 0xC0},       {8, 0xFF, 0x81},
        {16, 0x0000, 0x8000},  {16, 0x0001, 0x7FFF},  {16, 0x4000, 0x4000},  {16, 0x7FFF, 0x0001},
        {16, 0x8000, 0x0000},  {16, 0x8001, 0xFFFF},  {16, 0xC000, 0xC000},  {16, 0xFFFF, 0x8001},
    };
    for (const Row& row : rows) {
        // The value in every sample of a mono and of a stereo clip, long enough to run
        // through vector code and its scalar tail.
        for (const std::uint16_t channels : {1, 2}) {
            const std::size_t count = channels == 1 ? 67 : 66;
            std::string in, want;
            for (std::size_t i = 0; i < count; ++i) {
                if (row.bits == 8) {
                    in.push_back(static_cast<char>(row.before));
                    want.push_back(static_cast<char>(row.after));
                } else {
                    in += testing_support::le16(row.before);
                    want += testing_support::le16(row.after);
                }
            }
            WavInfo info = clip(row.bits, channels, in);
            EXPECT_EQ(scramble(info), 0);
            EXPECT_EQ(bytesOf(info), want) << "bits " << row.bits << " value " << row.before
                                           << " channels " << channels;
        }
    }
}

TEST(Scramble, TwiceRestoresAnyBufferAndTouchesOnlyTheFirstTwoChannels) {
    for (const std::uint16_t bits : {8, 16}) {
        for (std::uint16_t channels = 1; channels <= 8; ++channels) {
            const std::size_t frame = bits / 8 * channels;
            for (const std::size_t length : {std::size_t{0}, frame - 1, frame, 1000 * frame + 1,
                                             4099 * frame + frame - 1}) {
                const std::string original = noise(length, bits * 100 + channels);
                WavInfo info = clip(bits, channels, original);
                scramble(info);
                const std::string once = bytesOf(info);
                scramble(info);
                EXPECT_EQ(bytesOf(info), original)
                    << bits << " bits, " << channels << " channels, " << length << " bytes";

                // What the first pass changed: only the first two samples of whole frames.
                const std::size_t sample = bits / 8;
                const std::size_t whole = length / frame * frame;
                for (std::size_t i = 0; i < length; ++i) {
                    const bool mapped = i < whole && (i % frame) / sample < 2;
                    if (!mapped) {
                        ASSERT_EQ(once[i], original[i]) << "byte " << i << " of " << length
                                                        << ", " << channels << " channels";
                    }
                }
            }
        }
    }
}

TEST(Scramble, SixteenBitFramesMapByWholeSamples) {
    // Mono, 5 bytes: two samples mapped, the odd byte left.
    WavInfo mono = clip(16, 1, std::string("\x00\x00\x01\x00\x7f", 5));
    wavScramble16(mono);
    EXPECT_EQ(bytesOf(mono), std::string("\x00\x80\xff\x7f\x7f", 5));

    // Four channels, two frames: samples 0, 1, 4 and 5 mapped.
    std::string four;
    for (std::uint16_t i = 0; i < 8; ++i) four += testing_support::le16(i);
    WavInfo quad = clip(16, 4, four);
    wavScramble16(quad);
    std::string want;
    for (std::uint16_t i = 0; i < 8; ++i) {
        const bool mapped = i % 4 < 2;
        want += testing_support::le16(mapped ? static_cast<std::uint16_t>(0x8000 - i) : i);
    }
    EXPECT_EQ(bytesOf(quad), want);
}

TEST(Scramble, NoChannelsOrNoDataMapsNothing) {
    const std::string original = noise(64);
    for (const std::uint16_t bits : {8, 16}) {
        WavInfo info = clip(bits, 0, original);
        EXPECT_EQ(scramble(info), 0);
        EXPECT_EQ(bytesOf(info), original);
    }
    WavInfo empty = clip(16, 2, "");
    EXPECT_EQ(wavScramble16(empty), 0);
    EXPECT_EQ(empty.data, nullptr);
}

}  // namespace
