// End to end: converting files, converting them back, and never losing a file on failure.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <fstream>
#include <thread>

#include "support/support.h"

namespace {

using namespace testing_support;

Format formatOf(std::uint16_t bits, std::uint16_t channels) {
    const auto align = static_cast<std::uint16_t>(bits / 8 * channels);
    return {1, channels, 22050, 22050u * align, align, bits};
}


struct Clip {
    std::uint16_t bits;
    std::uint16_t channels;
    std::size_t length;
};

std::vector<Clip> clips() {
    std::vector<Clip> clips;
    for (const std::uint16_t bits : {8, 16}) {
        for (std::uint16_t channels = 1; channels <= 6; ++channels) {
            clips.push_back({bits, channels, 3001u * channels + 1});  // a partial frame, odd
        }
    }
    // Clips of more than one huge page that end inside one.
    clips.push_back({16, 2, (3u << 20) + 2});
    clips.push_back({16, 6, (5u << 20) + 6});
    return clips;
}

class ConversionOfClip : public ::testing::TestWithParam<Clip> {};

TEST_P(ConversionOfClip, MirrorsTheSamplesBehindACanonicalHeaderAndTwiceGivesThemBack) {
    const Clip& c = GetParam();
    const Format f = formatOf(c.bits, c.channels);
    const std::string data = noise(c.length, c.bits + c.channels);
    ScratchDir dir;
    // The input carries extra format bytes and a LIST chunk the output drops.
    writeFile(dir / "in.wav", riffWrap(chunk("fmt ", formatBody(f) + std::string(2, '\0')) +
                                       chunk("LIST", "INFO") + chunk("data", data)));
    ASSERT_EQ(runVelto({"in.wav", "out.wav"}, {.workDir = dir.path}).status, 0);
    ASSERT_EQ(runVelto({"out.wav", "back.wav"}, {.workDir = dir.path}).status, 0);

    EXPECT_TRUE(readFile(dir / "out.wav") == canonicalWav(f, mirrored(data, c.bits, c.channels)));
    EXPECT_TRUE(readFile(dir / "back.wav") == canonicalWav(f, data));
}

INSTANTIATE_TEST_SUITE_P(Clips, ConversionOfClip, ::testing::ValuesIn(clips()), [](const auto& row) {
    const Clip& c = row.param;
    return std::to_string(c.bits) + "bit_" + std::to_string(c.channels) + "ch_" + std::to_string(c.length) + "bytes";
});

TEST(Conversion, SameNameConvertsInPlace) {
    const std::string samples = noise(10000);
    const std::string original = canonicalWav(formatOf(16, 2), samples);
    ScratchDir dir;
    writeFile(dir / "a.wav", original);
    const RunResult first = runVelto({"a.wav", "a.wav"}, {.workDir = dir.path});
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(first.out.ends_with(toCp932("\n[a.wav] を [a.wav] へ変換しました.\n")));
    EXPECT_EQ(readFile(dir / "a.wav"), canonicalWav(formatOf(16, 2), mirrored(samples, 16, 2)));
    EXPECT_EQ(runVelto({"a.wav", "a.wav"}, {.workDir = dir.path}).status, 0);
    EXPECT_EQ(readFile(dir / "a.wav"), original);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"a.wav"});
}

TEST(Conversion, OutputThatCannotBeOpenedIsNamedAsGiven) {
    ScratchDir dir;
    writeFile(dir / "in.wav", canonicalWav(formatOf(8, 1), "abc"));
    fs::create_directory(dir / "sub");
    for (const std::string out : {"missing/out.wav", "sub", "sub/"}) {
        const RunResult r = runVelto({"in.wav", out}, {.workDir = dir.path});
        EXPECT_EQ(r.status, 255) << out;
        EXPECT_EQ(r.err, toCp932(fmtLine(16) + dataLine(3) + out + kCannotOpen));
    }
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"in.wav", "sub"}));
    EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST(Conversion, WriteErrorsAreReportedAndFailTheRun) {
    ScratchDir dir;
    // A clip that fits the stream's buffer whole, samples and all, fails only when the file
    // is closed: the close's message alone.
    for (const std::size_t samples : {0, 100}) {
        writeFile(dir / "short.wav", canonicalWav(formatOf(16, 2), noise(samples)));
        const RunResult shortClip = runVelto({"short.wav", "/dev/full"}, {.workDir = dir.path});
        EXPECT_EQ(shortClip.status, 255);
        EXPECT_TRUE(shortClip.err.ends_with(toCp932("[bytes]\n" + kWriteFailed))) << samples << shortClip.err;
        EXPECT_FALSE(shortClip.out.find(toCp932("変換しました")) != std::string::npos);
    }
    writeFile(dir / "long.wav", canonicalWav(formatOf(16, 2), noise(400000)));
    // One larger than the buffer fails in the data write.
    const RunResult longClip = runVelto({"long.wav", "/dev/full"}, {.workDir = dir.path});
    EXPECT_EQ(longClip.status, 255);
    EXPECT_TRUE(longClip.err.ends_with(toCp932("[bytes]\n" + kWriteFailed + kDataWriteFailed))) << longClip.err;
}

TEST(Conversion, FailedReadLeavesTheOutputUntouched) {
    ScratchDir dir;
    writeFile(dir / "in.wav", "RIFF....WAVEfmt ");
    writeFile(dir / "out.wav", "keep me");
    EXPECT_EQ(runVelto({"in.wav", "out.wav"}, {.workDir = dir.path}).status, 255);
    EXPECT_EQ(readFile(dir / "out.wav"), "keep me");
}

TEST(Conversion, ReplacedFilesKeepTheirModeAndNewOnesFollowTheUmask) {
    ScratchDir dir;
    writeFile(dir / "in.wav", canonicalWav(formatOf(8, 2), "abcd"));
    // setuid, setgid and sticky bits too, which a change of owner would clear.
    for (const mode_t mode : {0640, 06755, 01600}) {
        writeFile(dir / "kept.wav", "old");
        fs::permissions(dir / "kept.wav", static_cast<fs::perms>(mode));
        ASSERT_EQ(runVelto({"in.wav", "kept.wav"}, {.workDir = dir.path}).status, 0);
        EXPECT_EQ(modeOf(dir / "kept.wav"), mode);
    }

    ASSERT_EQ(runVelto({"in.wav", "new022.wav"}, {.workDir = dir.path, .umask = 022}).status, 0);
    EXPECT_EQ(modeOf(dir / "new022.wav"), 0644u);
    ASSERT_EQ(runVelto({"in.wav", "new077.wav"}, {.workDir = dir.path, .umask = 077}).status, 0);
    EXPECT_EQ(modeOf(dir / "new077.wav"), 0600u);
    // A new file starts from 0666, as any program's does: the group keeps its write bit.
    ASSERT_EQ(runVelto({"in.wav", "new002.wav"}, {.workDir = dir.path, .umask = 002}).status, 0);
    EXPECT_EQ(modeOf(dir / "new002.wav"), 0664u);
}

TEST(Conversion, SymbolicLinkOutputReplacesItsTargetAndStaysALink) {
    ScratchDir dir;
    const std::string clip = canonicalWav(formatOf(16, 1), noise(100));
    writeFile(dir / "in.wav", clip);
    fs::create_directory(dir / "store");
    writeFile(dir / "store" / "real.wav", "old");
    fs::create_symlink("store/real.wav", dir / "link.wav");
    ASSERT_EQ(runVelto({"in.wav", "link.wav"}, {.workDir = dir.path}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav"));
    EXPECT_EQ(readFile(dir / "store" / "real.wav").size(), clip.size());
    EXPECT_EQ(listDir(dir / "store"), std::vector<std::string>{"real.wav"});

    // Converting through the link in place restores the clip.
    fs::copy_file(dir / "in.wav", dir / "store" / "real.wav", fs::copy_options::overwrite_existing);
    ASSERT_EQ(runVelto({"link.wav", "link.wav"}, {.workDir = dir.path}).status, 0);
    ASSERT_EQ(runVelto({"link.wav", "link.wav"}, {.workDir = dir.path}).status, 0);
    EXPECT_EQ(readFile(dir / "store" / "real.wav"), clip);
}

TEST(Conversion, DevicesAndFifosAreWrittenDirectly) {
    ScratchDir dir;
    const std::string clip = canonicalWav(formatOf(16, 2), noise(100000));
    writeFile(dir / "in.wav", clip);
    EXPECT_EQ(runVelto({"in.wav", "/dev/null"}, {.workDir = dir.path}).status, 0);

    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = readFile(dir / "pipe"); });
    const RunResult r = runVelto({"in.wav", "pipe"}, {.workDir = dir.path});
    // Should velto never have opened the FIFO, the reader still waits for a writer: be one.
    const int unblock = open((dir / "pipe").c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) close(unblock);
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(received.size(), clip.size());
    EXPECT_EQ(received.substr(0, 44), clip.substr(0, 44));
}

}  // namespace

