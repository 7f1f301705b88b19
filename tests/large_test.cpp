// A clip whose data chunk is larger than 2 GiB: lengths are reported unsigned, the output has
// the right size and header, and converting it back restores the data. Opt-in: it writes
// about 8 GiB of files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "support/support.h"

namespace {

using namespace testing_support;

constexpr std::uint32_t kLength = 2684354560u;  // 2.5 GiB of 16-bit stereo
constexpr std::uint64_t kProbes[] = {0, 1u << 20, (1ull << 31) - 44, (1ull << 31),
                                      kLength - 4096};

void pwriteAll(int fd, const std::string& bytes, std::uint64_t offset) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
}

std::string preadAt(const fs::path& p, std::uint64_t offset, std::size_t n) {
    std::ifstream f(p, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    std::string s(n, '\0');
    f.read(s.data(), static_cast<std::streamsize>(n));
    return s;
}

TEST(Large, DataChunkOverTwoGibibytesConvertsAndRestores) {
    ScratchDir dir;
    const Format f{};
    const std::string header = riffHeader(kLength + 36) + chunk("fmt ", formatBody(f)) + chunkHeader("data", kLength);
    {
        const int fd = open((dir / "in.wav").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 44 + static_cast<off_t>(kLength)), 0);  // sparse: zeros
        pwriteAll(fd, header, 0);
        for (const std::uint64_t probe : kProbes) pwriteAll(fd, noise(4096, probe % 1000), 44 + probe);
        close(fd);
    }

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
