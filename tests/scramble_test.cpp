// The amplitude mirror over buffers of either width and any channel count.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "scramble/scramble.h"
#include "support/support.h"

namespace {

using namespace testing_support;

WavInfo clip(std::uint16_t bits, std::uint16_t channels, const std::string& bytes) {
    WavInfo info;
    info.bitsPerSample = bits;
    info.channels = channels;
    info.dataLength = static_cast<std::uint32_t>(bytes.size());
    info.data = wavBufferAllocate(info.dataLength);
    if (!bytes.empty()) std::memcpy(info.data.get(), bytes.data(), bytes.size());
    return info;
}

void scramble(WavInfo& info) {
    if (info.bitsPerSample == 8) wavScramble8(info);
    else wavScramble16(info);
}

// One value of the mirror's table, in every sample of a mono and of a stereo clip long enough
// to run through vector code and its scalar tail; the test's own statement of the map agrees.
class MirrorValue : public ::testing::TestWithParam<MirrorRow> {};

TEST_P(MirrorValue, MapsAsTheTableInEverySample) {
    const MirrorRow& row = GetParam();
    const std::string before = row.bits == 8 ? std::string(1, static_cast<char>(row.before)) : le16(row.before);
    const std::string after = row.bits == 8 ? std::string(1, static_cast<char>(row.after)) : le16(row.after);
    EXPECT_EQ(mirrored(before, row.bits, 1), after);
    for (const std::uint16_t channels : {1, 2}) {
        const std::size_t count = channels == 1 ? 67 : 66;
        std::string in, want;
        for (std::size_t i = 0; i < count; ++i) {
            in += before;
            want += after;
        }
        WavInfo info = clip(static_cast<std::uint16_t>(row.bits), channels, in);
        scramble(info);
        EXPECT_EQ(bytesOf(info), want) << channels << " channels";
    }
}

INSTANTIATE_TEST_SUITE_P(Scramble, MirrorValue, ::testing::ValuesIn(kMirrorTable), [](const auto& row) {
    char name[32];
    std::snprintf(name, sizeof name, "%dbit_%04X", row.param.bits, row.param.before);
    return std::string(name);
});

// Any buffer, of any channel count: the first pass maps it as the test's own statement of the
// mirror does (the first two samples of whole frames), the second gives it back.
TEST(Scramble, MapsTheFirstTwoSamplesOfWholeFramesAndTwiceRestoresAnyBuffer) {
    for (const std::uint16_t bits : {8, 16}) {
        for (std::uint16_t channels = 1; channels <= 8; ++channels) {
            const std::size_t frame = bits / 8 * channels;
            for (const std::size_t length : {std::size_t{0}, frame - 1, frame, 1000 * frame + 1,
                                             4099 * frame + frame - 1}) {
                const std::string original = noise(length, bits * 100 + channels);
                WavInfo info = clip(bits, channels, original);
                scramble(info);
                EXPECT_TRUE(bytesOf(info) == mirrored(original, bits, channels))
                    << bits << " bits, " << channels << " channels, " << length << " bytes";
                scramble(info);
                EXPECT_TRUE(bytesOf(info) == original)
                    << bits << " bits, " << channels << " channels, " << length << " bytes";
            }
        }
    }
}

TEST(Scramble, SixteenBitFramesMapByWholeSamples) {
    // Mono, 5 bytes: two samples mapped, the odd byte left.
    WavInfo mono = clip(16, 1, std::string("\x00\x00\x01\x00\x7f", 5));
    wavScramble16(mono);
    EXPECT_EQ(bytesOf(mono), std::string("\x00\x80\xff\x7f\x7f", 5));
    EXPECT_EQ(mirrored(std::string("\x00\x00\x01\x00\x7f", 5), 16, 1), bytesOf(mono));

    // Four channels, two frames: samples 0, 1, 4 and 5 mapped.
    std::string four;
    for (std::uint16_t i = 0; i < 8; ++i) four += le16(i);
    WavInfo quad = clip(16, 4, four);
    wavScramble16(quad);
    std::string want;
    for (std::uint16_t i = 0; i < 8; ++i) {
        const bool mapped = i % 4 < 2;
        want += le16(mapped ? static_cast<std::uint16_t>(0x8000 - i) : i);
    }
    EXPECT_EQ(bytesOf(quad), want);
    EXPECT_EQ(mirrored(four, 16, 4), want);
}

TEST(Scramble, NoChannelsOrNoDataMapsNothing) {
    const std::string original = noise(64);
    for (const std::uint16_t bits : {8, 16}) {
        WavInfo info = clip(bits, 0, original);
        scramble(info);
        EXPECT_EQ(bytesOf(info), original);
    }
    WavInfo empty = clip(16, 2, "");
    wavScramble16(empty);
    EXPECT_EQ(empty.data, nullptr);
}

}  // namespace
