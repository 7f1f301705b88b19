// What the reader leaves in the record.
#include <gtest/gtest.h>

#include <cstdio>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "support/support.h"
#include "wav/wav_read.h"

namespace {

using namespace testing_support;

TEST(Reader, RecordDescribesTheLastFormatAndDataChunks) {
    const Format first{1, 2, 44100, 176400, 4, 16};
    const Format last{1, 1, 8000, 7999, 1, 8};
    const std::string body = noise(333, 7);
    ScratchDir dir;
    writeFile(dir / "in.wav", riffWrap(chunk("fmt ", formatBody(first)) + chunk("data", noise(90)) +
                                       chunk("fmt ", formatBody(last)) + chunk("data", body)));
    WavInfo info;
    ASSERT_EQ(wavFileRead(programPath(dir / "in.wav").c_str(), info), 0);
    EXPECT_EQ(info.sampleRate, 8000u);
    EXPECT_EQ(info.bitsPerSample, 8);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.bytesPerSecond, 7999u);
    EXPECT_EQ(info.dataLength, 333u);
    EXPECT_EQ(bytesOf(info), body);
}

#if !defined(_WIN32)
// Through a pipe the length of a data chunk cannot be held against what is left, so a chunk
// declared longer than its bytes is taken, read, and found short: nothing of it may remain.
TEST(Reader, FailedDataReadLeavesNoBuffer) {
    const std::string file =
        riffWrap(chunk("fmt ", formatBody({})) + chunk("data", "abcd") + chunkHeader("data", 10) + "xy");
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(pipeEnds[1]);
    const std::string input = "/dev/fd/" + std::to_string(pipeEnds[0]);
    WavInfo info;
    int status = 0;
    const RunResult texts = captureStreams([&] { status = wavFileRead(input.c_str(), info); });
    close(pipeEnds[0]);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(info.data, nullptr);
    EXPECT_EQ(info.dataLength, 10u);
    EXPECT_EQ(texts.out, toCp932("\nファイル名[" + input + "]\n" + formatReport(kStereo16)));
    EXPECT_EQ(texts.err, toCp932(fmtLine(16) + dataLine(4) + dataLine(10) + kReadFailed));
}
#endif

}  // namespace
