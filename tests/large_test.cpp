// A clip whose data chunk is larger than 2 GiB: lengths are reported unsigned, the output has
// the right size and header, and converting it back restores the data. Opt-in: it writes
// about 8 GiB of files.
#include <gtest/gtest.h>

#include <fstream>

#include "support/support.h"

namespace {

using namespace testing_support;

constexpr std::uint32_t kLength = 2684354560u;  // 2.5 GiB of 16-bit stereo

std::string preadAt(const fs::path& p, std::uint64_t offset, std::size_t n) {
    std::ifstream f(p, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::string s(n, '\0');
    f.read(s.data(), static_cast<std::streamsize>(n));
    return s;
}

TEST(Large, DataChunkOverTwoGibibytesConvertsAndRestores) {
    ScratchDir dir;
    writeClip(dir / "in.wav", kLength);
    const std::string header = riffHeader(kLength + 36) + chunk("fmt ", formatBody({})) + chunkHeader("data", kLength);
    const RunResult r = runVelto({"in.wav", "out.wav"}, {.workDir = dir.path, .watchdogSeconds = 600});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("2684354560"), std::string::npos);
    EXPECT_EQ(fs::file_size(dir / "out.wav"), 44 + std::uint64_t{kLength});
    EXPECT_EQ(preadAt(dir / "out.wav", 0, 44), header);
    // Silence far from the probes comes out as 0x8000 in every sample.
    EXPECT_EQ(preadAt(dir / "out.wav", 44 + (3ull << 29), 4), std::string("\0\x80\0\x80", 4));

    const RunResult back = runVelto({"out.wav", "back.wav"}, {.workDir = dir.path, .watchdogSeconds = 600});
    ASSERT_EQ(back.status, 0) << back.err;
    fs::remove(dir / "out.wav");
    EXPECT_TRUE(sameFiles(dir / "in.wav", dir / "back.wav"));
}

}  // namespace
