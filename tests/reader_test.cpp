// What the reader leaves in the record.
#include <gtest/gtest.h>

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

TEST(Reader, FailedDataReadLeavesNoBuffer) {
    ScratchDir dir;
    writeFile(dir / "in.wav",
              riffWrap(chunk("fmt ", formatBody({})) + chunk("data", "abcd") + chunkHeader("data", 10) + "xy"));
    WavInfo info;
    EXPECT_EQ(wavFileRead(programPath(dir / "in.wav").c_str(), info), -1);
    EXPECT_EQ(info.data, nullptr);
    EXPECT_EQ(info.dataLength, 10u);
}

}  // namespace
