// velto.exe, the Windows build, run under wine: compared with this build over the end-to-end
// cases and the ways an output can fail, and what its console shows.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "support/support.h"

namespace {

using namespace testing_support;

// What a terminal shows after `output` (UTF-8), line by line, each line's trailing blanks
// dropped. Knows what wine's console sends: CR, LF, cursor forward and erase to the end of
// the line; other escape sequences (the cursor shown and hidden) change nothing shown.
std::string screen(std::string_view output) {
    std::vector<std::vector<std::string>> rows(1);
    std::size_t row = 0;
    std::size_t column = 0;
    auto cell = [&]() -> std::string& {
        if (rows.size() <= row) rows.resize(row + 1);
        if (rows[row].size() <= column) rows[row].resize(column + 1, " ");
        return rows[row][column];
    };
    for (std::size_t i = 0; i < output.size();) {
        const auto c = static_cast<unsigned char>(output[i]);
        if (c == '\r') column = 0, ++i;
        else if (c == '\n') ++row, ++i;
        else if (c == 0x1b && i + 1 < output.size() && output[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < output.size() && !(output[end] >= 0x40 && output[end] <= 0x7e)) ++end;
            const std::string parameters(output.substr(i + 2, end - i - 2));
            const int n = std::max(1, std::atoi(parameters.c_str()));
            const char final = end < output.size() ? output[end] : '\0';
            if (final == 'C') column += static_cast<std::size_t>(n);
            if (final == 'K' && row < rows.size() && column < rows[row].size()) rows[row].resize(column);
            i = end + 1;
        } else if (c == 0x1b && i + 1 < output.size() && output[i + 1] == ']') {
            i = output.find('\a', i);  // a title, ended by BEL
            i = i == std::string_view::npos ? output.size() : i + 1;
        } else if (c < 0x20) {
            ++i;
        } else {
            const std::size_t length = c < 0xc0 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
            cell() = std::string(output.substr(i, length));
            ++column;
            i += length;
        }
    }
    std::string shown;
    for (auto& line : rows) {
        while (!line.empty() && line.back() == " ") line.pop_back();
        for (const std::string& character : line) shown += character;
        shown += '\n';
    }
    return shown;
}

// One case run by velto.exe under wine and by this build.
struct WineRow {
    std::string name;
    Files files;
    std::vector<std::string> args;
    // Makes what files cannot (read-only files, a full disk); false when it cannot be made.
    std::function<bool(const fs::path& dir, RunOptions& native)> setup;
    bool console = false;  // also compare what a terminal shows
    // Where wine's console shows otherwise than this build's terminal: what each shows.
    std::vector<std::pair<std::string, std::string>> consoleDiffers = {};
};
void PrintTo(const WineRow& row, std::ostream* os) { *os << row.name; }

// The setup of a row that needs nothing but its files.
bool none(const fs::path&, RunOptions&) { return true; }

// A small file system at m/ (as root only), holding an old out.wav when `old`.
std::function<bool(const fs::path&, RunOptions&)> smallDisk(const char* options, bool old) {
    return [=](const fs::path& dir, RunOptions&) {
        fs::create_directory(dir / "m");
        if (geteuid() != 0 || mount("tmpfs", (dir / "m").c_str(), "tmpfs", 0, options) != 0) return false;
        if (old) writeFile(dir / "m/out.wav", "old bytes");
        return true;
    };
}

// Every case of report_test.cpp, and the ways an output can fail.
std::vector<WineRow> wineRows() {
    std::vector<WineRow> rows;
    for (const ReportCase& c : reportCases()) {
        rows.push_back({c.name, {{"in.wav", c.file}}, {"in.wav", "out.wav"}, none, c.name == "not PCM"});
        // velto.exe shows a tag's CP932 bytes as the characters they are (アイ); this build, on
        // a UTF-8 terminal, shows a '?' for each byte that is not ASCII.
        if (c.name == "chunk tags never drive the terminal") {
            rows.back().console = true;
            rows.back().consoleDiffers = {{"\"?A?C\"", "\"アイ\""}};
        }
    }
    const std::string clip = canonicalWav(kStereo16, noise(600000));
    rows.push_back({"in place", {{"in.wav", clip}}, {"in.wav", "in.wav"}, none});
    rows.push_back({"over another file", {{"in.wav", clip}, {"out.wav", "old"}}, {"in.wav", "out.wav"}, none});
    rows.push_back({"a missing directory", {{"in.wav", clip}}, {"in.wav", "missing/out.wav"}, none, true});
    rows.push_back({"a Japanese file name", {{"録音 テスト.wav", clip}}, {"録音 テスト.wav", "変換.wav"}, none, true});
    rows.push_back({"a name with characters CP932 lacks", {{"café ☕.wav", clip}}, {"café ☕.wav", "x.wav"}, none, true});
    // wine's console shows a character outside the Basic Multilingual Plane as two
    // replacement characters, whatever is written to it: no terminal for this one.
    rows.push_back({"a name outside the Basic Multilingual Plane", {{"🎵x.wav", clip}}, {"🎵x.wav", "x.wav"}, none});
    // Root writes a read-only file on Linux; wine refuses it for root too.
    rows.push_back({"a read-only output", {{"in.wav", clip}, {"out.wav", "old"}}, {"in.wav", "out.wav"},
                    [](const fs::path& dir, RunOptions& native) {
                        if (geteuid() == 0) {
                            native.user = kNobody;
                            if (chown((dir / "out.wav").c_str(), kNobody, kNobody) != 0) return false;
                            fs::permissions(dir, fs::perms::all);
                        }
                        fs::permissions(dir / "out.wav", fs::perms::owner_read | fs::perms::group_read |
                                                             fs::perms::others_read);
                        return true;
                    }});
    rows.push_back({"a full disk", {{"in.wav", clip}}, {"in.wav", "m/out.wav"}, smallDisk("size=300k", false)});
    rows.push_back({"no inode for a temporary file, room for the bytes: refused", {{"in.wav", clip}},
                    {"in.wav", "m/out.wav"}, smallDisk("size=2m,nr_inodes=2", true)});
    rows.push_back({"no inode and no room: the file is left as it was", {{"in.wav", clip}},
                    {"in.wav", "m/out.wav"}, smallDisk("size=300k,nr_inodes=2", true)});
    return rows;
}

enum class Streams { kApart, kTogether, kTerminal };

struct Runs {
    bool made = false;
    RunResult native;
    RunResult wine;
    std::map<std::string, std::string> nativeFiles;
    std::map<std::string, std::string> wineFiles;
};

// The row run by this build and by velto.exe, each in a directory of its own.
Runs run(const char* exe, const WineRow& row, Streams streams) {
    ScratchDir nativeDir;
    ScratchDir wineDir;
    RunOptions native{.workDir = nativeDir.path, .stderrToStdout = streams == Streams::kTogether};
    RunOptions wine = native;
    wine.workDir = wineDir.path;
    for (const auto& [name, bytes] : row.files) {
        writeFile(nativeDir / name, bytes);
        writeFile(wineDir / name, bytes);
    }
    Runs runs;
    runs.made = row.setup(nativeDir.path, native) && row.setup(wineDir.path, wine);
    wine.user = -1;
    std::vector<std::string> args{exe};
    args.insert(args.end(), row.args.begin(), row.args.end());
    if (runs.made && streams == Streams::kTerminal) {
        std::vector<std::string> command{veltoPath()};
        command.insert(command.end(), row.args.begin(), row.args.end());
        runs.native = onTerminal(command, nativeDir.path);
        args.insert(args.begin(), "wine");
        runs.wine = onTerminal(args, wineDir.path);
    } else if (runs.made) {
        runs.native = runVelto(row.args, native);
        wine.watchdogSeconds = 120;
        runs.wine = runProgram("/usr/bin/wine", args, wine);
    }
    if (runs.made) {
        runs.nativeFiles = snapshot(nativeDir.path);
        runs.wineFiles = snapshot(wineDir.path);
    }
    umount2((nativeDir / "m").c_str(), MNT_DETACH);
    umount2((wineDir / "m").c_str(), MNT_DETACH);
    return runs;
}

// The Windows build, run under wine, against this build: the same status and files, and the
// same console bytes but that each line feed is CR LF and a file name is shown in CP932; the
// same again with stdout and stderr sent to one file, where the order of their lines must be
// the same too. Where a row says so, both are also run on a terminal, which must show the same
// characters: velto.exe writes to wine's console, whose code page (437 here, not 932) the
// texts must not depend on, and this build sends UTF-8 to a terminal (the locale is C.UTF-8).
// Set VELTO_WINDOWS_EXE to a velto.exe.
class UnderWine : public ::testing::TestWithParam<WineRow> {};

TEST_P(UnderWine, MatchesThisBuild) {
    const WineRow& row = GetParam();
    const char* exe = windowsExe();
    if (exe == nullptr) GTEST_SKIP() << "no VELTO_WINDOWS_EXE to compare";
    WineServerStop stop;
    const Runs apart = run(exe, row, Streams::kApart);
    if (!apart.made) GTEST_SKIP() << "cannot be set up here";
    // Each line feed as CR LF, and names in CP932 with one '?' for each character it lacks.
    auto windowsBytes = [&row](std::string text) {
        text = replaced(text, "\n", "\r\n");
        for (const std::string& name : row.args) {
            std::string shown = name;
            for (const char* lacking : {"é", "☕", "🎵"}) shown = replaced(shown, lacking, "?");
            text = replaced(text, name, toCp932(shown));
        }
        return text;
    };
    EXPECT_EQ(apart.wine.status, apart.native.status);
    EXPECT_EQ(apart.wine.out, windowsBytes(apart.native.out));
    EXPECT_EQ(apart.wine.err, windowsBytes(apart.native.err));
    // Names and sizes first, so that a failure shows which file differs, not its bytes.
    auto sizes = [](const std::map<std::string, std::string>& files) {
        std::map<std::string, std::size_t> out;
        for (const auto& [name, bytes] : files) out[name] = bytes.size();
        return out;
    };
    EXPECT_EQ(sizes(apart.wineFiles), sizes(apart.nativeFiles));
    EXPECT_TRUE(apart.wineFiles == apart.nativeFiles) << "the files differ in their bytes";

    const Runs together = run(exe, row, Streams::kTogether);
    EXPECT_EQ(together.wine.out, windowsBytes(together.native.out)) << "both streams to one file";

    if (!row.console) return;
    const Runs terminal = run(exe, row, Streams::kTerminal);
    std::string shown = terminal.native.out;
    for (const auto& [native, windows] : row.consoleDiffers) shown = replaced(shown, native, windows);
    EXPECT_EQ(terminal.wine.status, terminal.native.status) << "on a terminal";
    EXPECT_EQ(screen(terminal.wine.out), screen(shown)) << "on a terminal";
}

INSTANTIATE_TEST_SUITE_P(WindowsBuild, UnderWine, ::testing::ValuesIn(wineRows()),
                         [](const auto& row) { return rowName(row.param.name); });

}  // namespace
