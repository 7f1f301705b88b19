// The docs say only what the program does: every Japanese text the man page quotes is one the
// program prints, README's message table shows every text byte for byte, and the man page
// lists exactly the exit statuses the program returns.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "support/support.h"
#include "text/messages.h"

namespace {

using namespace testing_support;

const fs::path kDocs = fs::path(VELTO_SOURCE_DIR) / "docs";
const std::string kPage = readFile(kDocs / "velto.1");

bool printedByTheProgram(const std::string& fragment) {
    const std::string bytes = toCp932(fragment);
    for (const auto& entry : msg::kCatalogue) {
        if (entry.bytes.find(bytes) != std::string_view::npos) return true;
    }
    return false;
}

std::string replaceAll(const std::string& s, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t at = 0;
    for (std::size_t hit; (hit = s.find(from, at)) != std::string::npos; at = hit + from.size()) {
        out.append(s, at, hit - at).append(to);
    }
    return out.append(s, at);
}

// Every text a page quotes (the first argument of its .JT lines) is one the program prints,
// and shows whole on an 80-column UTF-8 terminal: no space in it widened or broken.
TEST(ManPage, QuotesOnlyTextsTheProgramPrints) {
    for (const char* name : {"velto.1", "velto.ja.1"}) {
        SCOPED_TRACE(name);
        const std::string page = readFile(kDocs / name);
        const RunResult shown = runProgram("/bin/sh", {"-c", "groff -k -Tutf8 -man -P-cbou \"$0\"", kDocs / name}, {});
        ASSERT_EQ(shown.status, 0) << shown.err;
        // Japanese text may end a line between two characters, which takes no space away.
        const std::string joined = std::regex_replace(shown.out, std::regex("\n *"), "");
        int checked = 0;
        std::istringstream lines(page);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with(".JT \"")) continue;
            std::string text = line.substr(5, line.find('"', 5) - 5);
            text = replaceAll(replaceAll(replaceAll(text, "\\-", "-"), "\\ ", " "), "\\(dq", "\"");
            // Placeholders in italics stand for what the program fills in, and one quote may
            // hold several texts; the rest is literal.
            std::string plain = std::regex_replace(text, std::regex(R"(\\fI.*?\\fP|\\\(rq, \\\(lq)"), "\x01");
            plain = std::regex_replace(plain, std::regex(R"(\\f[BRP])"), "");
            std::size_t start = 0;
            while (start <= plain.size()) {
                const std::size_t end = std::min(plain.find('\x01', start), plain.size());
                const std::string fragment = plain.substr(start, end - start);
                if (!fragment.empty()) {
                    EXPECT_TRUE(printedByTheProgram(fragment)) << "quoted but never printed: " << fragment;
                    EXPECT_NE(joined.find(fragment), std::string::npos) << "not shown whole: " << fragment;
                    ++checked;
                }
                start = end + 1;
            }
        }
        EXPECT_GE(checked, 35);
    }
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

// A line of a text matches a quote when the quote's fragments, split at its placeholders
// ("…"), make up the whole line: what the program fills in may stand between them.
bool lineMatches(std::string_view line, const std::vector<std::string>& fragments) {
    if (fragments.size() == 1) return line == fragments[0];
    if (!line.starts_with(fragments.front()) || !line.ends_with(fragments.back())) return false;
    std::size_t at = fragments.front().size();
    const std::size_t end = line.size() - fragments.back().size();
    if (end < at) return false;
    for (std::size_t i = 1; i + 1 < fragments.size(); ++i) {
        at = line.find(fragments[i], at);
        if (at == std::string_view::npos || at + fragments[i].size() > end) return false;
        at += fragments[i].size();
    }
    return true;
}

TEST(Readme, MessageTableShowsEveryTextByteForByte) {
    const std::string readme = readFile(fs::path(VELTO_SOURCE_DIR) / "README.md");
    const std::size_t from = readme.find("| Text (Japanese) |");
    ASSERT_NE(from, std::string::npos);
    const std::string table = readme.substr(from, readme.find("\n\n", from) - from);
    std::set<std::string_view> shown;
    const std::regex quote("`([^`]*)`");
    std::istringstream rows(table);
    for (std::string row; std::getline(rows, row);) {
        const std::string cell = row.substr(0, row.find(" | "));
        for (auto it = std::sregex_iterator(cell.begin(), cell.end(), quote); it != std::sregex_iterator(); ++it) {
            std::vector<std::string> fragments;
            std::string text = (*it)[1];
            for (std::size_t at; (at = text.find("…")) != std::string::npos; text.erase(0, at + 3)) {
                fragments.push_back(toCp932(text.substr(0, at)));
            }
            fragments.push_back(toCp932(text));
            bool found = false;
            for (const auto& entry : msg::kCatalogue) {
                std::istringstream lines{std::string(entry.bytes)};
                for (std::string line; std::getline(lines, line);) {
                    if (lineMatches(line, fragments)) {
                        found = true;
                        shown.insert(entry.name);
                    }
                }
            }
            EXPECT_TRUE(found) << "not a line the program prints: `" << (*it)[1] << "`";
        }
    }
    for (const auto& entry : msg::kCatalogue) EXPECT_TRUE(shown.contains(entry.name)) << "not shown: " << entry.name;
}

// README's recipes (its bash blocks: the UTF-8 function, the loop over a folder and the
// parallel one) are the man page's EXAMPLES too, and keep velto's status: a refused file fails
// them, and the loops convert the other files all the same.
TEST(Readme, RecipesKeepVeltosStatus) {
    const std::string readme = readFile(fs::path(VELTO_SOURCE_DIR) / "README.md");
    std::vector<std::string> recipes;
    const std::regex block("```bash\n([^`]*)```");
    for (auto it = std::sregex_iterator(readme.begin(), readme.end(), block); it != std::sregex_iterator(); ++it) {
        recipes.push_back((*it)[1]);
    }
    ASSERT_EQ(recipes.size(), 3u);
    const std::string examples = replaceAll(replaceAll(kPage, "\\-", "-"), "\\e", "\\");
    for (const auto& recipe : recipes) EXPECT_NE(examples.find(recipe), std::string::npos) << "not in the man page:\n" << recipe;

    ScratchDir dir;
    // stdbuf preloads a library, which a sanitizer build of velto must be told to allow.
    const std::string path = "PATH=" + fs::path(veltoPath()).parent_path().string() +
                             ":$PATH\nexport ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0\n";
    const auto run = [&](const std::string& script) {
        return runProgram("/bin/bash", {"-c", path + script}, {.workDir = dir.path}).status;
    };
    writeFile(dir / "voice.wav", "an MP3 named .wav");
    EXPECT_NE(run(recipes[0]), 0);
    writeFile(dir / "voice.wav", canonicalWav({}, "abcd"));
    EXPECT_EQ(run(recipes[0]), 0);
    for (const std::string& loop : {recipes[0] + recipes[1], recipes[2]}) {
        EXPECT_EQ(run(loop), 0);
        fs::remove_all(dir / "scrambled");
        writeFile(dir / "notes.wav", "");
        EXPECT_NE(run(loop), 0);
        EXPECT_EQ(readFile(dir / "scrambled" / "voice.wav").size(), 48u);
        fs::remove(dir / "notes.wav");
    }
}

}  // namespace
