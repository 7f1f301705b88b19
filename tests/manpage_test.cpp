// The docs say only what the program does: every Japanese text that README (its table of
// refusals among it), both man pages and the Windows README.txt quote is a line the program
// prints, the references among them show every text, the man pages list exactly the exit
// statuses the program returns, the Windows README makes README's promises, README's sample run
// is what its command shows, README's recipes keep velto's status, and the version and the
// package's changelog are the project's.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "support/support.h"
#include "text/messages.h"

namespace {

using namespace testing_support;

const fs::path kSource = VELTO_SOURCE_DIR;
const fs::path kDocs = kSource / "docs";
const fs::path kBuild = VELTO_BINARY_DIR;
const std::string kPage = readFile(kDocs / "velto.1");

// A quoted text: its literal pieces, in UTF-8, between the places where velto fills something in.
using Quote = std::vector<std::string>;

// The texts a man page quotes: the first argument of each .JT line, which may hold several
// texts (“a”, “b”); italics stand for what the program fills in.
std::vector<Quote> manPageQuotes(const std::string& page) {
    std::vector<Quote> quotes;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(".JT \"")) continue;
        std::string text = line.substr(5, line.find('"', 5) - 5);
        text = replaced(replaced(replaced(text, "\\-", "-"), "\\ ", " "), "\\(dq", "\"");
        text = std::regex_replace(text, std::regex(R"(\\\(rq, \\\(lq)"), "\x02");
        text = std::regex_replace(text, std::regex(R"(\\fI.*?\\fP)"), "\x01");
        text = std::regex_replace(text, std::regex(R"(\\f[BRP])"), "");
        std::istringstream texts(text);
        for (std::string one; std::getline(texts, one, '\x02');) {
            Quote quote;
            std::istringstream pieces(one);
            for (std::string piece; std::getline(pieces, piece, '\x01');) quote.push_back(piece);
            if (one.ends_with('\x01')) quote.push_back("");
            quotes.push_back(quote);
        }
    }
    return quotes;
}

// The texts between `open` and `close` that hold Japanese (a character from U+3000 on), with
// "…" for what the program fills in.
std::vector<Quote> delimitedQuotes(const std::string& doc, std::string_view open, std::string_view close) {
    std::vector<Quote> quotes;
    for (std::size_t at = doc.find(open); at != std::string::npos; at = doc.find(open, at)) {
        const std::size_t start = at + open.size();
        const std::size_t end = doc.find(close, start);
        if (end == std::string::npos) break;
        std::string text = doc.substr(start, end - start);
        at = end + close.size();
        const bool japanese = std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xE3; });
        if (!japanese) continue;
        Quote quote;
        for (std::size_t cut; (cut = text.find("…")) != std::string::npos; text.erase(0, cut + 3)) {
            quote.push_back(text.substr(0, cut));
        }
        quote.push_back(text);
        quotes.push_back(quote);
    }
    return quotes;
}

// A line of a text matches a quote when the quote's pieces stand in it in order, with what the
// program fills in between them; `whole` asks for the whole line, leading spaces included.
bool lineMatches(std::string_view line, const Quote& pieces, bool whole) {
    if (pieces.size() == 1) return whole ? line == pieces[0] : line.find(pieces[0]) != std::string_view::npos;
    std::size_t at = 0;
    std::size_t end = line.size();
    std::size_t first = 0;
    std::size_t last = pieces.size();
    if (whole) {
        if (!line.starts_with(pieces.front()) || !line.ends_with(pieces.back())) return false;
        at = pieces.front().size();
        end = line.size() - pieces.back().size();
        if (end < at) return false;
        first = 1;
        last = pieces.size() - 1;
    }
    for (std::size_t i = first; i < last; ++i) {
        at = line.find(pieces[i], at);
        if (at == std::string_view::npos || at + pieces[i].size() > end) return false;
        at += pieces[i].size();
    }
    return true;
}

std::string shown(const Quote& quote) {
    std::string s;
    for (const auto& piece : quote) s += (s.empty() ? "" : "…") + piece;
    return s;
}

struct Document {
    std::string name;
    fs::path path;
    std::function<std::vector<Quote>(const std::string&)> quotes;
    bool wholeLines;      // each quote is a whole line, byte for byte
    bool showsEveryText;  // a reference: every text the program prints is quoted
};

void PrintTo(const Document& d, std::ostream* os) { *os << d.name; }

class DocumentTexts : public ::testing::TestWithParam<Document> {};

TEST_P(DocumentTexts, AreLinesTheProgramPrints) {
    const Document& d = GetParam();
    const std::vector<Quote> quotes = d.quotes(readFile(d.path));
    EXPECT_GE(quotes.size(), d.showsEveryText ? 30u : 3u);
    std::set<std::string_view> quoted;
    for (const Quote& quote : quotes) {
        Quote bytes;
        for (const auto& piece : quote) bytes.push_back(toCp932(piece));
        bool found = false;
        for (const auto& entry : msg::kCatalogue) {
            std::istringstream lines{std::string(entry.bytes)};
            for (std::string line; std::getline(lines, line);) {
                if (!line.empty() && lineMatches(line, bytes, d.wholeLines)) {
                    found = true;
                    quoted.insert(entry.name);
                }
            }
        }
        EXPECT_TRUE(found) << "not a line the program prints: " << shown(quote);
    }
    if (!d.showsEveryText) return;
    for (const auto& entry : msg::kCatalogue) EXPECT_TRUE(quoted.contains(entry.name)) << "not shown: " << entry.name;
}

INSTANTIATE_TEST_SUITE_P(
    Docs, DocumentTexts,
    ::testing::Values(
        Document{.name = "README", .path = kSource / "README.md",
                 .quotes = [](const std::string& s) {
                     return delimitedQuotes(std::regex_replace(s, std::regex("```[^`]*```"), ""), "`", "`");
                 },
                 .wholeLines = true, .showsEveryText = false},
        Document{.name = "man page", .path = kDocs / "velto.1", .quotes = manPageQuotes, .wholeLines = false,
                 .showsEveryText = true},
        Document{.name = "Japanese man page", .path = kDocs / "velto.ja.1", .quotes = manPageQuotes,
                 .wholeLines = false, .showsEveryText = true},
        Document{.name = "Windows README", .path = kSource / "packaging" / "windows" / "README.txt",
                 .quotes = [](const std::string& s) { return delimitedQuotes(s, "「", "」"); },
                 .wholeLines = true, .showsEveryText = true}),
    [](const auto& row) { return rowName(row.param.name); });

// Every text a page quotes shows whole on an 80-column UTF-8 terminal, no space in it widened
// or broken, and the Japanese page quotes the texts the English one does.
TEST(ManPage, QuotesShowWholeAndBothPagesQuoteTheSameTexts) {
    std::set<Quote> quotedBy[2];
    int page = 0;
    for (const char* name : {"velto.1", "velto.ja.1"}) {
        SCOPED_TRACE(name);
        const RunResult rendered = runProgram("/bin/sh", {"-c", "groff -k -Tutf8 -man -P-cbou \"$0\"", kDocs / name}, {});
        ASSERT_EQ(rendered.status, 0) << rendered.err;
        // Japanese text may end a line between two characters, which takes no space away.
        const std::string joined = std::regex_replace(rendered.out, std::regex("\n *"), "");
        for (const Quote& quote : manPageQuotes(readFile(kDocs / name))) {
            for (const auto& piece : quote) {
                EXPECT_NE(joined.find(piece), std::string::npos) << "not shown whole: " << piece;
            }
            quotedBy[page].insert(quote);
        }
        ++page;
    }
    EXPECT_EQ(quotedBy[0], quotedBy[1]);
}

// The exit statuses: 0, 255 and 128+N for a run that signal N ended before the output took its
// name, in both man pages and README, and what the program returns for each.
TEST(ManPage, ListsExactlyTheExitStatuses) {
    for (const char* name : {"velto.1", "velto.ja.1"}) {
        const std::string page = readFile(kDocs / name);
        const std::size_t from = page.find(".SH EXIT STATUS") != std::string::npos ? page.find(".SH EXIT STATUS")
                                                                                    : page.find(".SH 終了ステータス");
        ASSERT_NE(from, std::string::npos) << name;
        const std::string section = page.substr(from, page.find(".SH", from + 1) - from);
        std::set<std::string> listed;
        const std::regex item(R"(\.TP\n\.BI? (\d+\+?)( N)?\n)");
        for (auto it = std::sregex_iterator(section.begin(), section.end(), item); it != std::sregex_iterator(); ++it) {
            listed.insert((*it)[1].str() + (*it)[2].str());
        }
        EXPECT_EQ(listed, (std::set<std::string>{"0", "255", "128+ N"})) << name;
    }
    const std::string readme = readFile(kSource / "README.md");
    for (const char* status : {"0 after", "255", "128+N"}) EXPECT_NE(readme.find(status), std::string::npos) << status;

    ScratchDir dir;
    writeFile(dir / "in.wav", canonicalWav({}, "abcd"));
    EXPECT_EQ(runVelto({"in.wav", "out.wav"}, {.workDir = dir.path}).status, 0);
    EXPECT_EQ(runVelto({"in.wav"}, {.workDir = dir.path}).status, 255);
    // A run held in its read (the header and the format chunk have come through a pipe, which
    // stays open), then signalled: the shell sees 128 + the signal's number, and nothing is left.
    writeFile(dir / "head.bin", canonicalWav({}, "abcd").substr(0, 36));
    for (const auto& [signal, status] : {std::pair{"HUP", 129}, {"USR1", 138}, {"TERM", 143}}) {
        SCOPED_TRACE(signal);
        const RunResult r = runProgram(
            "/bin/sh",
            {"-c", "mkfifo in err && { \"$0\" /dev/stdin held.wav <in 2>err & pid=$!; } && exec 3>in 4<err && "
                   "cat head.bin >&3 && read -r line <&4 && kill -$1 $pid; wait $pid; echo $?; rm in err",
             veltoPath(), signal},
            {.workDir = dir.path});
        EXPECT_EQ(r.out, std::to_string(status) + "\n") << r.err;
    }
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path)) left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"head.bin", "in.wav", "out.wav"}));
}

// The Windows README makes README's promises in its English lines, and neither says what the
// program no longer does (a replaced file losing its attributes, a link replaced).
TEST(Readme, WindowsReadmeMakesReadmesPromises) {
    const auto flat = [](const fs::path& path) { return std::regex_replace(readFile(path), std::regex("\\s+"), " "); };
    const std::string readme = flat(kSource / "README.md");
    const std::string windows = flat(kSource / "packaging" / "windows" / "README.txt");
    for (const char* promise : {"the complete conversion stands under the output name", "byte for byte as it was",
                                "A replaced file keeps its", "followed and stays a link", "Protect your ears",
                                "copy the result back yourself", "a scramble, not encryption"}) {
        EXPECT_NE(readme.find(promise), std::string::npos) << "README: " << promise;
        EXPECT_NE(windows.find(promise), std::string::npos) << "README.txt: " << promise;
    }
    const std::regex broken("(loses|gets) (its|the) (own )?attributes|permissions of a new file|link[^.]* is replaced|"
                            "copied over|written over itself|rewritten");
    EXPECT_FALSE(std::regex_search(readme, broken));
    EXPECT_FALSE(std::regex_search(windows, broken));
}

// README's sample run is what its build-and-run command shows at a terminal from the tone on:
// the scramble's report, the restore's lines on standard error, and the comparison's verdict.
TEST(Readme, SampleRunIsWhatTheToneRunShows) {
    const fs::path built = fs::path(veltoPath()).parent_path();
    const std::string readme = readFile(kSource / "README.md");
    std::smatch command;
    std::smatch sample;
    ASSERT_TRUE(std::regex_search(readme, command, std::regex("\n *(build/velto-tone [^`]*echo restored)\n```")));
    ASSERT_TRUE(std::regex_search(readme, sample, std::regex("```text\n([^`]*)```")));
    ScratchDir dir;
    fs::create_directory(dir / "build");
    for (const char* program : {"velto", "velto-tone"}) fs::create_symlink(built / program, dir / "build" / program);
    const RunResult shown = onTerminal({"/bin/sh", "-c", command[1].str()}, dir.path, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(replaced(shown.out, "\r\n", "\n"), sample[1].str());
}

// README's recipes (its bash blocks: the UTF-8 function, the loop over a folder and the
// parallel one) are the man page's EXAMPLES too, and keep velto's status: a refused file fails
// them, and the loops convert the other files all the same.
TEST(Readme, RecipesKeepVeltosStatus) {
    const std::string readme = readFile(kSource / "README.md");
    std::vector<std::string> recipes;
    const std::regex block("```bash\n([^`]*)```");
    for (auto it = std::sregex_iterator(readme.begin(), readme.end(), block); it != std::sregex_iterator(); ++it) {
        recipes.push_back((*it)[1]);
    }
    ASSERT_EQ(recipes.size(), 3u);
    for (const char* name : {"velto.1", "velto.ja.1"}) {
        const std::string examples = replaced(replaced(readFile(kDocs / name), "\\-", "-"), "\\e", "\\");
        for (const auto& recipe : recipes) EXPECT_NE(examples.find(recipe), std::string::npos) << name << " lacks:\n" << recipe;
    }

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

// The man pages' footers and README's zip name carry the version CMakeLists.txt gives the
// program, which names the zip and the .deb.
TEST(Release, ManPagesAndReadmeNameTheProjectsVersion) {
    for (const char* name : {"velto.1", "velto.ja.1"}) {
        std::smatch th;
        const std::string page = readFile(kDocs / name);
        ASSERT_TRUE(std::regex_search(page, th, std::regex("\n\\.TH VELTO 1 [0-9-]+ \"velto ([^\"]*)\""))) << name;
        EXPECT_EQ(th[1].str(), VELTO_VERSION) << name;
    }
    const std::string readme = readFile(kSource / "README.md");
    std::smatch zip;
    ASSERT_TRUE(std::regex_search(readme, zip, std::regex("velto-([^ `]*)-win64\\.zip")));
    EXPECT_EQ(zip[1].str(), VELTO_VERSION);
}

// The package's changelog, as the build made it, holds CHANGELOG.md's released sections: the
// same versions and dates, newest first, the newest the project's version, each with the same
// items in the same order, once Markdown's markup and the line breaks are set aside.
TEST(Release, PackageChangelogSaysWhatChangelogMdSays) {
    struct Entry {
        std::string version;
        std::string date;  // YYYY-MM-DD
        std::string signedAt = "";  // the Debian entry's date and hour
        std::vector<std::string> items;
        bool operator==(const Entry&) const = default;
    };
    // Words separated by single spaces, without the markup either text puts around them.
    const auto words = [](const std::string& s) {
        std::string t = std::regex_replace(s, std::regex("\\*\\*|`|\""), "");
        t = std::regex_replace(t, std::regex("\\s+"), " ");
        const std::size_t first = t.starts_with(' ') ? 1 : 0;
        return t.substr(first, t.size() - first - (t.ends_with(' ') ? 1 : 0));
    };
    std::vector<Entry> markdown;
    {
        std::istringstream lines(readFile(kSource / "CHANGELOG.md"));
        bool released = false;
        std::smatch m;
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("## ")) {
                released = std::regex_match(line, m, std::regex("## (\\S+) — (\\d{4}-\\d\\d-\\d\\d)"));
                if (released) markdown.push_back({m[1], m[2], {}});
            } else if (released && line.starts_with("- ")) {
                markdown.back().items.push_back(line.substr(2));
            } else if (released && line.starts_with("  ") && !markdown.back().items.empty()) {
                markdown.back().items.back() += " " + line;
            }
        }
    }
    std::vector<Entry> debian;
    {
        std::istringstream lines(readFile(kBuild / "changelog"));
        const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        std::smatch m;
        for (std::string line; std::getline(lines, line);) {
            if (std::regex_match(line, m, std::regex("velto \\((\\S+)\\) unstable; urgency=medium"))) {
                debian.push_back({m[1], "", {}});
            } else if (line.starts_with("  * ")) {
                ASSERT_FALSE(debian.empty()) << line;
                debian.back().items.push_back(line.substr(4));
            } else if (line.starts_with("    ")) {
                ASSERT_FALSE(debian.empty() || debian.back().items.empty()) << line;
                debian.back().items.back() += " " + line;
            } else if (std::regex_match(line, m, std::regex(" -- .+ <.+>  (\\w{3}), (\\d\\d) (\\w{3}) (\\d{4}) (\\d\\d):00:00 \\+0000"))) {
                ASSERT_FALSE(debian.empty()) << line;
                const auto month = std::find(std::begin(months), std::end(months), m[3].str()) - std::begin(months) + 1;
                const std::chrono::year_month_day date{std::chrono::year{std::stoi(m[4])}, std::chrono::month(month),
                                                       std::chrono::day(std::stoi(m[2]))};
                ASSERT_TRUE(date.ok()) << line;
                EXPECT_EQ(m[1].str(), days[std::chrono::weekday{std::chrono::sys_days{date}}.c_encoding()]) << line;
                debian.back().date = m[4].str() + "-" + (month < 10 ? "0" : "") + std::to_string(month) + "-" + m[2].str();
                debian.back().signedAt = debian.back().date + " " + m[5].str();
            } else {
                EXPECT_EQ(line, "");
            }
        }
    }
    for (auto* entries : {&markdown, &debian}) {
        for (Entry& entry : *entries) {
            for (std::string& item : entry.items) item = words(item);
        }
    }
    ASSERT_FALSE(markdown.empty());
    EXPECT_EQ(markdown.front().version, VELTO_VERSION);
    ASSERT_EQ(debian.size(), markdown.size());
    for (std::size_t i = 0; i < markdown.size(); ++i) {
        EXPECT_EQ(debian[i].version, markdown[i].version);
        EXPECT_EQ(debian[i].date, markdown[i].date) << markdown[i].version;
        EXPECT_EQ(debian[i].items, markdown[i].items) << markdown[i].version;
        // Debian wants each entry newer than the one below it, releases of one day included.
        if (i + 1 < debian.size()) {
            EXPECT_GT(debian[i].signedAt, debian[i + 1].signedAt) << markdown[i].version;
        }
    }
}

}  // namespace
