// Every console text is the CP932 form of its Japanese source, byte for byte, and leads back to
// the source, which a terminal that shows UTF-8 is given.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "support/support.h"
#include "text/messages.h"

namespace {

using testing_support::toCp932;

TEST(Messages, EveryTextMatchesAnIndependentCp932Conversion) {
    for (const auto& entry : msg::kCatalogue) {
        const std::string_view utf8(reinterpret_cast<const char*>(entry.utf8.data()),
                                    entry.utf8.size());
        EXPECT_EQ(entry.bytes, toCp932(utf8)) << entry.name;
        EXPECT_EQ(msg::utf8Of(std::string(entry.bytes).c_str()), utf8.data()) << entry.name;
    }
    EXPECT_EQ(msg::utf8Of("not a text\n"), nullptr);
}

#ifdef VELTO_SOURCE_DIR
// A text left out of the catalogue would reach a UTF-8 terminal as CP932 bytes.
TEST(Messages, CatalogueHoldsEveryText) {
    const std::string header = testing_support::readFile(VELTO_SOURCE_DIR "/src/text/messages.h");
    const std::regex defined(R"(inline constexpr auto (k\w+) =)");
    std::set<std::string> texts;
    std::set<std::string> listed;
    for (std::sregex_iterator it(header.begin(), header.end(), defined), end; it != end; ++it) texts.insert((*it)[1]);
    for (const auto& entry : msg::kCatalogue) listed.emplace(entry.name);
    EXPECT_EQ(texts, listed);
}
#endif

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
