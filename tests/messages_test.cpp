// Every console text is the CP932 form of its Japanese source, byte for byte.
#include <gtest/gtest.h>

#include "support/support.h"
#include "text/messages.h"

namespace {

using testing_support::toCp932;

TEST(Messages, EveryTextMatchesAnIndependentCp932Conversion) {
    for (const auto& entry : msg::kCatalogue) {
        const std::string_view utf8(reinterpret_cast<const char*>(entry.utf8.data()),
                                    entry.utf8.size());
        EXPECT_EQ(entry.bytes, toCp932(utf8)) << entry.name;
    }
}

TEST(Messages, FormatLinesPutTheirColonOnTheTwentyFourthByte) {
    for (const std::string_view line :
         {msg::kFormatTag.view(), msg::kChannels.view(), msg::kSampleRate.view(),
          msg::kBytesPerSec.view(), msg::kBlockAlign.view(), msg::kBitsPerSample.view()}) {
        EXPECT_EQ(line.find(':'), 23u) << line;
    }
}

TEST(Messages, KanaAroundTheGapInTheKatakanaCodesEncodeRight) {
    // Katakana codes skip the trail byte 0x7F: ミ is 0x837E, ム 0x8380.
    EXPECT_EQ(cp932::text<u8"ミム">.view(), "\x83\x7E\x83\x80");
    EXPECT_EQ(cp932::text<u8"ぁんァヶ">.view(), toCp932("ぁんァヶ"));
}

}  // namespace
