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

TEST(Writer, CanonicalInputKeepsItsHeaderFieldForField) {
    const Format f{};
    const std::string data = noise(4000);
    const std::string in = canonicalWav(f, data);
    const std::string out = convert(in);
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(out.substr(0, 44), in.substr(0, 44));
    EXPECT_NE(out.substr(44), data);  // the data went out scrambled
}

TEST(Writer, HeaderIsRebuiltFromTheFormatWhateverTheInputHeld) {
    struct Case {
        const char* name;
        Format format;
        std::string image;
        std::size_t dataSize;
    };
    const Format quarter{1, 2, 44100, 44100, 3, 16};  // wrong average and block align
    const Format mono8{1, 1, 8000, 8000, 1, 8};
    const Format six{1, 6, 48000, 576000, 12, 16};
    const std::string data = noise(1234);
    const std::vector<Case> cases = {
        {"18-byte format chunk and a LIST chunk", quarter,
         riffWrap(chunk("fmt ", formatBody(quarter) + std::string(2, '\0')) + chunk("LIST", "INFOabcd") +
                  chunk("data", data)),
         data.size()},
        {"8-bit mono of odd length: no pad byte", mono8, canonicalWav(mono8, data.substr(0, 1001)),
         1001},
        {"second data chunk wins", six,
         riffWrap(chunk("fmt ", formatBody(six)) + chunk("data", "first") + chunk("data", data)),
         data.size()},
        {"empty clip is the header alone", mono8, canonicalWav(mono8, ""), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = convert(c.image);
        ASSERT_EQ(out.size(), 44 + c.dataSize);
        EXPECT_EQ(out.substr(0, 44),
                  canonicalWav(canonicalFormat(c.format), std::string(c.dataSize, '\0')).substr(0, 44));
    }
}

}  // namespace
