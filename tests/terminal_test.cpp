// What a person at a terminal reads: the texts as characters in the terminal's character set
// (UTF-8, or Shift_JIS where the locale names it), names and tags that cannot drive the
// terminal; while the same run with its streams in files keeps every byte as it always has.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <tuple>

#include "support/support.h"

namespace {

using namespace testing_support;

// Something velto fills into a text, as each place shows it.
struct Filled {
    std::string given;     // in a file or a pipe: as received
    std::string utf8;      // on a UTF-8 terminal
    std::string shiftJis;  // on a Shift_JIS terminal
};
Filled asGiven(const std::string& s) { return {s, s, s}; }

struct Row {
    std::string name;
    std::vector<std::string> args;  // the first, where there is one, names the input
    std::string clip;               // the input's bytes
    std::vector<Filled> filled;     // what the marks \1, \2, ... in the texts stand for
    std::vector<std::pair<int, std::string>> writes;  // each text in UTF-8 on its stream, in the order written
    int status;
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

enum class Shows { kGiven, kUtf8, kShiftJis };

struct Locale {
    std::string name;     // LC_ALL: language_TERRITORY.codeset
    const char* charmap;  // made by localedef with this character map; null where the system has it
    Shows shows;
};
void PrintTo(const Locale& locale, std::ostream* os) { *os << locale.name; }

// The C.UTF-8 locale comes with Debian's C library; the others are made. de_DE writes numbers
// with a decimal comma, which the playing time must not take.
const Locale kLocales[] = {
    {"C.UTF-8", nullptr, Shows::kUtf8},
    {"C", nullptr, Shows::kUtf8},
    {"ja_JP.SJIS", "SHIFT_JIS", Shows::kShiftJis},
    {"de_DE.UTF-8", "UTF-8", Shows::kUtf8},
};

// The directory of the made locales (LOCPATH), once `locale` is made in it; nothing where
// localedef cannot make it. ctest makes them once for all rows (the tests make_locale_*) and
// names their directory in VELTO_LOCALES; a run of the test program alone makes its own.
// localedef writes a Shift_JIS locale but fails it for not being ASCII compatible unless told
// not to warn of that.
std::optional<fs::path> madeLocale(const Locale& locale) {
    if (const char* made = std::getenv("VELTO_LOCALES")) {
        if (fs::exists(fs::path(made) / locale.name)) return fs::path(made);
        return std::nullopt;
    }
    static const ScratchDir dir;
    if (!fs::exists(dir / locale.name)) {
        const std::string source = locale.name.substr(0, locale.name.find('.'));
        const std::string command = std::string("localedef -c --no-warnings=ascii -f ") + locale.charmap + " -i " +
                                    source + " " + (dir / locale.name).string() + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return std::nullopt;
    }
    return dir.path;
}

// The texts of `row` written to `stream` (1 or 2; 0 for both), as a place that shows `shows`
// is sent them.
std::string expected(const Row& row, int stream, Shows shows) {
    std::string text;
    for (const auto& [on, utf8] : row.writes) {
        if (stream == 0 || on == stream) text += utf8;
    }
    if (shows != Shows::kUtf8) text = toCp932(text);
    for (std::size_t i = 0; i < row.filled.size(); ++i) {
        const Filled& f = row.filled[i];
        const std::string& shown = shows == Shows::kGiven ? f.given : shows == Shows::kUtf8 ? f.utf8 : f.shiftJis;
        text = replaced(text, std::string(1, static_cast<char>(i + 1)), shown);
    }
    return text;
}

// What a conversion of `in` to `out` writes, with `chunks` reported after the data chunk's.
Row conversion(std::string name, Filled in, Filled out, std::string chunks = "", std::string_view tags = "") {
    const std::string clip = riffWrap(chunk("fmt ", formatBody(kStereo16)) + chunk("data", "abcd") + std::string(tags));
    return {std::move(name), {in.given, out.given}, clip, {std::move(in), std::move(out)},
            {{1, "\nファイル名[\1]\n"}, {2, fmtLine(16)}, {1, formatReport(kStereo16)}, {2, dataLine(4)},
             {1, chunks + "\n 時間=0.000\n"}, {1, "\n[\1] を [\2] へ変換しました.\n"}}, 0};
}

std::vector<Row> rows() {
    const Format pcm3 = with(kStereo16, [](Format& f) { f.tag = 3; });
    Row tags = conversion("chunk tags beyond ASCII and with an escape sequence", asGiven("in.wav"),
                          asGiven("out.wav"), " \"\3\"の長さ: 0 [bytes]\n \"?[2J\"の長さ: 0 [bytes]\n",
                          chunkHeader("\x83\x41\x83\x43", 0) + chunkHeader("\x1b[2J", 0));
    tags.filled.push_back({"\x83\x41\x83\x43", "?A?C", "\x83\x41\x83\x43"});  // the tag アイ in CP932
    return {
        conversion("a conversion", asGiven("in.wav"), asGiven("out.wav")),
        {"a refused format", {"in.wav", "out.wav"}, canonicalWav(pcm3, "ab"), {asGiven("in.wav")},
         {{1, "\nファイル名[\1]\n"}, {2, fmtLine(16)}, {1, formatReport(pcm3)},
          {2, "\nこのプログラムは無圧縮PCMのみを対象とします.\n"}, {2, "このwavファイルの形式は 0003 です．\n"}}, 255},
        {"the usage text", {}, "", {},
         {{2, "WAV ファイルを暗号化します.\n\n引数に <入力ファイル名> <出力ファイル名>を指定してください.\n\n"
              "例 : velto  foo.wav  out.wav\n"}}, 255},
        conversion("a name with an escape sequence", {"\x1b[2Jx.wav", "?[2Jx.wav", "?[2Jx.wav"}, asGiven("out.wav")),
        // U+009B, the C1 control that begins a sequence, in UTF-8 and as a single byte; in
        // Shift_JIS the bytes 0x81 to 0x9F begin characters.
        conversion("a name with C1 controls", asGiven("in.wav"),
                   {"\xc2\x9b" "2J \x9b" "2J.wav", "?2J ?2J.wav", "\xc2\x9b" "2J \x9b" "2J.wav"}),
        // The last of them, U+009F, likewise.
        conversion("a name with the last C1 control", asGiven("in.wav"),
                   {"\xc2\x9f" "x \x9f" "x.wav", "?x ?x.wav", "\xc2\x9f" "x \x9f" "x.wav"}),
        conversion("a Japanese name with DEL and a byte that is not UTF-8",
                   {"録音\x7f\xff.wav", "録音?\xff.wav", "録音?\xff.wav"}, asGiven("out.wav")),
        tags,
        // A space is a character of a tag like any letter, at the end or inside.
        conversion("chunk tags with spaces", asGiven("in.wav"), asGiven("out.wav"),
                   " \"cue \"の長さ: 0 [bytes]\n \"a b \"の長さ: 0 [bytes]\n",
                   chunkHeader("cue ", 0) + chunkHeader("a b ", 0)),
        // The lead byte E8 of 自 keeps four bits of the code point, 8 of U+81EA.
        conversion("a name holding 自 E8 87 AA", asGiven("自.wav"), asGiven("out.wav")),
    };
}

class Terminal : public ::testing::TestWithParam<std::tuple<Row, Locale>> {};

// On a pseudo-terminal, stdout and stderr both on it, the screen (CR LF taken as LF) holds the
// texts in the order written, in the terminal's character set. Run again with its streams in
// files, in the same locale, velto writes the CP932 bytes and the names as received.
TEST_P(Terminal, ShowsTheTextsAsCharactersWhileFilesKeepTheBytes) {
    const auto& [row, locale] = GetParam();
    ScratchDir dir;
    RunOptions options{.workDir = dir.path, .environment = {"LC_ALL=" + locale.name}};
    if (locale.charmap != nullptr) {
        const std::optional<fs::path> made = madeLocale(locale);
        if (!made) {
            GTEST_SKIP() << "localedef cannot make " << locale.name << " here (Debian: libc-bin and locales)";
        }
        options.environment.push_back("LOCPATH=" + made->string());
    }
    if (!row.args.empty()) writeFile(dir / row.args[0], row.clip);
    std::vector<std::string> command{veltoPath()};
    command.insert(command.end(), row.args.begin(), row.args.end());
    const RunResult shown = onTerminal(command, dir.path, options.environment);
    EXPECT_EQ(shown.status, row.status);
    EXPECT_EQ(replaced(shown.out, "\r\n", "\n"), expected(row, 0, locale.shows));

    const RunResult files = runVelto(row.args, options);
    EXPECT_EQ(files.status, row.status) << "in files";
    EXPECT_EQ(files.out, expected(row, 1, Shows::kGiven)) << "in files";
    EXPECT_EQ(files.err, expected(row, 2, Shows::kGiven)) << "in files";
}

INSTANTIATE_TEST_SUITE_P(Texts, Terminal,
                         ::testing::Combine(::testing::ValuesIn(rows()), ::testing::ValuesIn(kLocales)),
                         [](const auto& info) {
                             return rowName(std::get<0>(info.param).name) + "_in_" +
                                    rowName(std::get<1>(info.param).name);
                         });

}  // namespace
