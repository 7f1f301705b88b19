// The man page says only what the program does: every Japanese text it quotes is one the
// program prints, and it lists exactly the exit statuses the program returns.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "support/support.h"
#include "text/messages.h"

namespace {

using namespace testing_support;

const std::string kPage = readFile(fs::path(VELTO_SOURCE_DIR) / "docs" / "velto.1");

bool printedByTheProgram(const std::string& fragment) {
    const std::string bytes = sjis(fragment);
    for (const auto& entry : msg::kCatalogue) {
        if (entry.bytes.find(bytes) != std::string_view::npos) return true;
    }
    return false;
}

TEST(ManPage, QuotesOnlyTextsTheProgramPrints) {
    const std::regex quote(R"(\\\(lq(.*?)\\\(rq)");
    int checked = 0;
    for (auto it = std::sregex_iterator(kPage.begin(), kPage.end(), quote); it != std::sregex_iterator(); ++it) {
        std::string text = (*it)[1];
        if (std::none_of(text.begin(), text.end(), [](char c) { return c & 0x80; })) continue;
        text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
        // Placeholders in italics stand for what the program fills in; the rest is literal.
        std::string plain = std::regex_replace(text, std::regex(R"(\\fI.*?\\fP)"), "\x01");
        plain = std::regex_replace(plain, std::regex(R"(\\f[BRP])"), "");
        std::size_t start = 0;
        while (start <= plain.size()) {
            const std::size_t end = std::min(plain.find('\x01', start), plain.size());
            const std::string fragment = plain.substr(start, end - start);
            if (!fragment.empty() && fragment != "...") {
                EXPECT_TRUE(printedByTheProgram(fragment)) << "quoted but never printed: " << fragment;
                ++checked;
            }
            start = end + 1;
        }
    }
    EXPECT_GE(checked, 25);
}

TEST(ManPage, ListsExactlyTheExitStatuses) {
    const std::size_t from = kPage.find(".SH EXIT STATUS");
    ASSERT_NE(from, std::string::npos);
    const std::string section = kPage.substr(from, kPage.find(".SH", from + 1) - from);
    std::set<int> listed;
    const std::regex item(R"(\.TP\n\.B (\d+)\n)");
    for (auto it = std::sregex_iterator(section.begin(), section.end(), item); it != std::sregex_iterator(); ++it) {
        listed.insert(std::stoi((*it)[1]));
    }
    EXPECT_EQ(listed, (std::set<int>{0, 255}));

    ScratchDir dir;
    writeFile(dir / "in.wav", canonicalWav({}, "abcd"));
    EXPECT_EQ(runVelto({"in.wav", "out.wav"}, {.workDir = dir.path}).status, 0);
    EXPECT_EQ(runVelto({"in.wav"}, {.workDir = dir.path}).status, 255);
}

}  // namespace
