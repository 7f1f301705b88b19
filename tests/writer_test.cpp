// The output file: a canonical 44-byte header computed from the clip, then the scrambled data.
#include <gtest/gtest.h>

#include "support/support.h"
#include "wav/wav_read.h"
#include "wav/wav_write.h"

namespace {

using namespace testing_support;

// Reads `image` with the program's reader and writes it with its writer; returns the output.
std::string convert(const std::string& image) {
    ScratchDir dir;
    writeFile(dir / "in.wav", image);
    WavInfo info;
    EXPECT_EQ(wavFileRead(programPath(dir / "in.wav").c_str(), info), 0);
    EXPECT_EQ(wavFileWrite(programPath(dir / "out.wav").c_str(), info), 0);
    return readFile(dir / "out.wav");
}

// The 16 bytes of the format chunk the writer should produce for `f`.
Format canonicalFormat(Format f) {
    f.align = static_cast<std::uint16_t>(f.bits / 8 * f.channels);
    f.average = f.align * f.rate;
    return f;
}

TEST(Writer, CanonicalInputKeepsItsHeaderAndGetsItsSamplesMirrored) {
    const Format f{};
    const std::string data = noise(4000);
    EXPECT_EQ(convert(canonicalWav(f, data)), canonicalWav(f, mirrored(data, f.bits, f.channels)));
}

struct Rebuilt {
    const char* name;
    Format format;
    std::string image;
    std::size_t dataSize;
};

const Format kQuarter{1, 2, 44100, 44100, 3, 16};  // wrong average and block align
const Format kMono8{1, 1, 8000, 8000, 1, 8};
const Format kSix{1, 6, 48000, 576000, 12, 16};
const std::string kData = noise(1234);

void PrintTo(const Rebuilt& row, std::ostream* os) { *os << row.name; }

class HeaderRebuilt : public ::testing::TestWithParam<Rebuilt> {};

TEST_P(HeaderRebuilt, FromTheFormatWhateverTheInputHeld) {
    const Rebuilt& c = GetParam();
    const std::string out = convert(c.image);
    ASSERT_EQ(out.size(), 44 + c.dataSize);
    EXPECT_EQ(out.substr(0, 44),
              canonicalWav(canonicalFormat(c.format), std::string(c.dataSize, '\0')).substr(0, 44));
}

INSTANTIATE_TEST_SUITE_P(
    Writer, HeaderRebuilt,
    ::testing::Values(
        Rebuilt{"18-byte format chunk and a LIST chunk", kQuarter,
                riffWrap(chunk("fmt ", formatBody(kQuarter) + std::string(2, '\0')) + chunk("LIST", "INFOabcd") +
                         chunk("data", kData)),
                kData.size()},
        Rebuilt{"8-bit mono of odd length: no pad byte", kMono8, canonicalWav(kMono8, kData.substr(0, 1001)), 1001},
        Rebuilt{"second data chunk wins", kSix,
                riffWrap(chunk("fmt ", formatBody(kSix)) + chunk("data", "first") + chunk("data", kData)),
                kData.size()},
        Rebuilt{"empty clip is the header alone", kMono8, canonicalWav(kMono8, ""), 0}),
    [](const auto& row) { return rowName(row.param.name); });

}  // namespace
