// End to end: what the program prints, on which stream, and its exit status, for inputs it
// accepts and for each way an input can be refused.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <cstdlib>
#include <functional>

#include "support/support.h"

namespace {

using namespace testing_support;

const Format kCanonical{};  // 16-bit stereo, 44100 Hz, 176400 bytes/s, block align 4

// The six lines reporting a format chunk, in UTF-8.
std::string formatReport(const Format& f) {
    return "             データ形式: " + std::to_string(f.tag) + " (1 = PCM)\n" +
           "           チャンネル数: " + std::to_string(f.channels) + "\n" +
           "     サンプリング周波数: " + std::to_string(f.rate) + " [Hz]\n" +
           "          バイト数 / 秒: " + std::to_string(f.average) + " [bytes/sec]\n" +
           " バイト数×チャンネル数: " + std::to_string(f.align) + " [bytes]\n" +
           "    ビット数 / サンプル: " + std::to_string(f.bits) + " [bits/sample]\n";
}

std::string fmtLine(std::uint32_t n) { return " \"fmt \"の長さ: " + std::to_string(n) + " [bytes]\n"; }
std::string dataLine(std::uint32_t n) {
    return "\n \"data\" の長さ: " + std::to_string(n) + " [bytes]\n";
}
std::string chunkLine(std::string_view tag, std::uint32_t n) {
    return " \"" + std::string(tag) + "\"の長さ: " + std::to_string(n) + " [bytes]\n";
}
const std::string kHead = "\nファイル名[in.wav]\n";
const std::string kDone = "\n[in.wav] を [out.wav] へ変換しました.\n";
std::string timeLine(const char* t) { return std::string("\n 時間=") + t + "\n"; }

struct Case {
    const char* name;
    std::string file;       // the bytes of in.wav
    std::string out;        // expected stdout, UTF-8
    std::string err;        // expected stderr, UTF-8
    int status;
};

std::vector<Case> cases() {
    const std::string second(176400, '\x11');
    const Format half = with(kCanonical, [](Format& f) { f.average = 88200; });
    const Format pcm3 = with(kCanonical, [](Format& f) { f.tag = 3; });
    const Format bits24 = with(kCanonical, [](Format& f) { f.bits = 24; });
    const Format noChannels = with(kCanonical, [](Format& f) { f.channels = 0; });
    const Format noAverage = with(kCanonical, [](Format& f) { f.average = 0; });
    const Format nothing = {1, 1, 0, 0, 1, 8};
    const Format bits8 = with(kCanonical, [](Format& f) { f.bits = 8; });
    const Format extensible = with(kCanonical, [](Format& f) { f.tag = 0xFFFE; });
    const Format tag0 = with(kCanonical, [](Format& f) { f.tag = 0; });
    const Format noChannels24 = with(bits24, [](Format& f) { f.channels = 0; });
    // Every control byte and DEL as tag bytes, shown as '?'; an escape sequence; and CP932
    // bytes (the tag アイ), which are shown as they are.
    std::string controlTags;
    std::string controlLines;
    std::string controls;
    for (int b = 0; b < 0x20; ++b) controls.push_back(static_cast<char>(b));
    controls += "\x7f\x1b[2J\x1b]0;hi\x07";  // ends the title sequence with BEL
    for (std::size_t i = 0; i < controls.size(); i += 4) {
        controlTags += chunkHeader(controls.substr(i, 4), 2) + "zz";
        std::string shown;
        for (const char c : controls.substr(i, 4)) shown += (c < 0x20 || c == 0x7f) ? '?' : c;
        controlLines += chunkLine(shown, 2);
    }
    controlTags += chunkHeader("\x83\x41\x83\x43", 0);
    controlLines += chunkLine("アイ", 0);
    const std::string fmt = chunk("fmt ", formatBody(kCanonical));
    const std::string canonicalReport = formatReport(kCanonical);

    return {
        {"canonical", canonicalWav(kCanonical, second),
         kHead + canonicalReport + timeLine("1.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
        {"time from the stored average", canonicalWav(half, second),
         kHead + formatReport(half) + timeLine("2.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
        {"list chunk reported and skipped",
         riffWrap(fmt + chunk("LIST", std::string(26, 'x')) + chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("LIST", 26) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"empty file", "", kHead, " 0 で読み込み失敗.\n", 255},
        {"shorter than a RIFF header", "RIFF\1", kHead, " 5 で読み込み失敗.\n", 255},
        {"neither tag: only the form type is named", std::string("RIFX\0\0\0\0WAVX", 12) + fmt, kHead,
         "'WAVE' が無い.\n", 255},
        {"not RIFF", std::string("RIFX\0\0\0\0WAVE", 12) + fmt, kHead, "'RIFF' フォーマットでない.\n", 255},
        {"format body cut short", riffWrap(chunkHeader("fmt ", 16) + std::string("\1\0\2\0", 4)), kHead,
         fmtLine(16), 255},
        {"not PCM", canonicalWav(pcm3, "ab"), kHead + formatReport(pcm3),
         fmtLine(16) + "\nこのプログラムは無圧縮PCMのみを対象とします.\n"
                       "このwavファイルの形式は 0003 です．\n",
         255},
        {"WAVE_FORMAT_EXTENSIBLE: the tag in upper-case hex", canonicalWav(extensible, "ab"),
         kHead + formatReport(extensible),
         fmtLine(16) + "\nこのプログラムは無圧縮PCMのみを対象とします.\n"
                       "このwavファイルの形式は FFFE です．\n",
         255},
        {"format tag 0 is not PCM", canonicalWav(tag0, "ab"), kHead + formatReport(tag0),
         fmtLine(16) + "\nこのプログラムは無圧縮PCMのみを対象とします.\n"
                       "このwavファイルの形式は 0000 です．\n",
         255},
        {"24 bits and no channels: the width is named first", canonicalWav(noChannels24, "ab"),
         kHead + formatReport(noChannels24),
         fmtLine(16) + "\nこのプログラムは8/16ビットサンプリングされたものを対象とします\n"
                       "このwavファイルの bits/secは 24 です．\n",
         255},
        {"24 bits", canonicalWav(bits24, "ab"), kHead + formatReport(bits24),
         fmtLine(16) + "\nこのプログラムは8/16ビットサンプリングされたものを対象とします\n"
                       "このwavファイルの bits/secは 24 です．\n",
         255},
        {"no channels", canonicalWav(noChannels, "ab"), kHead + formatReport(noChannels),
         fmtLine(16) + "\nこのプログラムは1チャンネル以上のものを対象とします.\n"
                       "このwavファイルのチャンネル数は 0 です．\n",
         255},
        {"empty data chunk is an empty clip", canonicalWav(kCanonical, ""),
         kHead + canonicalReport + timeLine("0.000") + kDone, fmtLine(16) + dataLine(0), 0},
        {"data chunk longer than the file", riffWrap(fmt + chunkHeader("data", 1000) + "xyz"),
         kHead + canonicalReport, fmtLine(16) + dataLine(1000) + "読み込みに失敗しました.\n",
         255},
        {"data chunk claiming 4 GiB", riffWrap(fmt + chunkHeader("data", 0xFFFFFFFF) + "xyz"),
         kHead + canonicalReport,
         fmtLine(16) + dataLine(0xFFFFFFFF) + "読み込みに失敗しました.\n", 255},
        {"lengths of 2^31 and more are unsigned",
         riffWrap(fmt + chunk("data", "ab") + chunkHeader("LIST", 3000000000u) + "tail"),
         kHead + canonicalReport + chunkLine("LIST", 3000000000u) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(2), 0},
        {"no format chunk", riffWrap(chunk("data", "abcd")), kHead,
         dataLine(4) + "'fmt ' が無い.\n", 255},
        {"neither chunk: the format chunk is named", riffWrap(chunk("LIST", "INFO")),
         kHead + chunkLine("LIST", 4), "'fmt ' が無い.\n", 255},
        {"format chunk claiming 0xFFFFFFFF bytes, unsigned",
         riffWrap(chunk("data", "ab") + chunkHeader("fmt ", 0xFFFFFFFF) + formatBody(kCanonical)),
         kHead + canonicalReport + timeLine("0.000") + kDone,
         dataLine(2) + fmtLine(0xFFFFFFFF), 0},
        {"no data chunk", riffWrap(fmt), kHead + canonicalReport, fmtLine(16) + "'data' が無い.\n",
         255},
        {"no stored average: the format's rate stands in", canonicalWav(noAverage, second),
         kHead + formatReport(noAverage) + timeLine("1.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
        {"no rate at all: time zero", canonicalWav(nothing, "abc"),
         kHead + formatReport(nothing) + timeLine("0.000") + kDone, fmtLine(16) + dataLine(3), 0},
        {"format chunk of 18 bytes", riffWrap(chunk("fmt ", formatBody(half) + "zz") +
                                              chunk("data", second)),
         kHead + formatReport(half) + timeLine("2.000") + kDone, fmtLine(18) + dataLine(176400),
         0},
        // Declared 14: all 16 bytes are read, and the next header starts 14 bytes in, with the
        // last two format bytes as the first two bytes of its tag (shown as '?').
        {"format chunk declared shorter than 16",
         riffWrap(chunkHeader("fmt ", 14) + formatBody(kCanonical) + "XY" + le32(0) +
                  chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("??XY", 0) + timeLine("0.000") + kDone,
         fmtLine(14) + dataLine(4), 0},
        // Declared 15: the 16th byte read is the pad byte when it is NUL, a tag byte otherwise.
        {"format chunk of 15 bytes, padded",
         riffWrap(chunkHeader("fmt ", 15) + formatBody(bits8) + chunk("data", "abcd")),
         kHead + formatReport(bits8) + timeLine("0.000") + kDone, fmtLine(15) + dataLine(4), 0},
        {"format chunk of 17 bytes, padded",
         riffWrap(chunk("fmt ", formatBody(kCanonical) + "z") + '\0' + chunk("data", "abcd")),
         kHead + canonicalReport + timeLine("0.000") + kDone, fmtLine(17) + dataLine(4), 0},
        {"format chunk of 17 bytes, not padded",
         riffWrap(chunk("fmt ", formatBody(kCanonical) + "z") + chunk("data", "abcd")),
         kHead + canonicalReport + timeLine("0.000") + kDone, fmtLine(17) + dataLine(4), 0},
        {"odd chunk not padded: the next header at the odd offset",
         riffWrap(fmt + chunk("odd ", "123") + chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("odd ", 3) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"odd LIST chunk with its pad byte",
         riffWrap(fmt + chunk("LIST", std::string("INFOISFT\5\0\0\0velto", 17)) + '\0' +
                  chunk("data", "abcd")),
         kHead + canonicalReport + chunkLine("LIST", 17) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"odd data padded, then more chunks",
         riffWrap(fmt + chunk("data", "abc") + '\0' + chunk("LIST", "INFO") + chunk("id3 ", "x") + '\0'),
         kHead + canonicalReport + chunkLine("LIST", 4) + chunkLine("id3 ", 1) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(3), 0},
        {"LIST after data, data chunk cut short by a header",
         riffWrap(fmt + chunk("data", "abcd") + chunk("LIST", "INFO") + "dat"),
         kHead + canonicalReport + chunkLine("LIST", 4) + timeLine("0.000") + kDone,
         fmtLine(16) + dataLine(4), 0},
        {"chunk tags never drive the terminal", riffWrap(fmt + chunk("data", "abcd") + controlTags),
         kHead + canonicalReport + controlLines + timeLine("0.000") + kDone, fmtLine(16) + dataLine(4), 0},
        {"data before format", riffWrap(chunk("data", second) + fmt),
         kHead + canonicalReport + timeLine("1.000") + kDone, dataLine(176400) + fmtLine(16), 0},
        {"chunks after the RIFF length are walked",
         riffHeader(4) + fmt + chunk("data", second),
         kHead + canonicalReport + timeLine("1.000") + kDone, fmtLine(16) + dataLine(176400), 0},
        {"unknown chunk running past the end", riffWrap(fmt + chunk("data", second) +
                                                        chunkHeader("junk", 0xFFFFFFFF) + "x"),
         kHead + canonicalReport + chunkLine("junk", 0xFFFFFFFF) + timeLine("1.000") + kDone,
         fmtLine(16) + dataLine(176400), 0},
    };
}

std::string replaced(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

// Each case is read from a file, then from a pipe (the same bytes on stdin as /dev/stdin,
// which cannot seek): the report, the status and the output are the same but for the name.
TEST(Report, PrintsExactlyItsTextsOnTheirStreamsWithItsStatus) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        writeFile(dir / "in.wav", c.file);
        const RunResult r = runVelto({"in.wav", "out.wav"}, {.workDir = dir.path});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, sjis(c.out));
        EXPECT_EQ(r.err, sjis(c.err));
        EXPECT_EQ(fs::exists(dir / "out.wav"), c.status == 0);
        const std::string fromFile = c.status == 0 ? readFile(dir / "out.wav") : "";

        fs::remove(dir / "out.wav");
        const RunResult p =
            runVelto({"/dev/stdin", "out.wav"}, {.workDir = dir.path, .stdinPipe = c.file});
        EXPECT_EQ(p.status, c.status) << "through a pipe";
        EXPECT_EQ(p.out, sjis(replaced(c.out, "[in.wav]", "[/dev/stdin]"))) << "through a pipe";
        EXPECT_EQ(p.err, sjis(c.err)) << "through a pipe";
        if (c.status == 0) {
            EXPECT_EQ(readFile(dir / "out.wav"), fromFile) << "through a pipe";
        }
    }
}

TEST(Report, WrongArgumentCountPrintsUsageAndTouchesNoFile) {
    const std::string usage =
        "WAV ファイルを暗号化します.\n\n"
        "引数に <入力ファイル名> <出力ファイル名>を指定してください.\n\n"
        "例 : velto  foo.wav  out.wav\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"in.wav"}, {"in.wav", "out.wav", "more.wav"}}) {
        ScratchDir dir;
        writeFile(dir / "in.wav", canonicalWav(kCanonical, "abcd"));
        const RunResult r = runVelto(args, {.workDir = dir.path});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, sjis(usage));
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"in.wav"});
        EXPECT_EQ(readFile(dir / "in.wav"), canonicalWav(kCanonical, "abcd"));
    }
}

TEST(Report, MissingInputIsNamedOnStderrOnly) {
    ScratchDir dir;
    const RunResult r = runVelto({"none.wav", "out.wav"}, {.workDir = dir.path});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, sjis(" none.wavをオープンできません.\n"));
    EXPECT_TRUE(listDir(dir.path).empty());
}

TEST(Report, FileNamesArePrintedByteForByteAndNeverAsFormats) {
    ScratchDir dir;
    const std::string in = "in %s%n\xff\x81 .wav";
    const std::string out = "out %d\xfe.wav";
    writeFile(dir / in, canonicalWav(kCanonical, "abcd"));
    const RunResult r = runVelto({in, out}, {.workDir = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(sjis("\nファイル名[") + in + "]\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with(sjis("\n[") + in + sjis("] を [") + out + sjis("] へ変換しました.\n")));

    const RunResult missing = runVelto({"gone %s.wav", out}, {.workDir = dir.path});
    EXPECT_EQ(missing.err, sjis(" gone %s.wavをオープンできません.\n"));
}

// The velto.exe that VELTO_WINDOWS_EXE names, with wine made ready to run it: its own prefix
// beside it, quiet, the arguments and file names read as UTF-8 whatever the locale of the
// test run, and a wine server started apart (or already running), so that it holds no pipe
// of ours. Null when none is named.
const char* windowsExe() {
    const char* exe = std::getenv("VELTO_WINDOWS_EXE");
    if (exe == nullptr) return nullptr;
    const fs::path prefix = fs::absolute(fs::path(exe)).parent_path() / "wine-prefix";
    setenv("WINEPREFIX", prefix.c_str(), 0);
    setenv("WINEDEBUG", "-all", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    std::system("wineserver -p </dev/null >/dev/null 2>&1");
    return exe;
}

// Stops the wine server when a test ends.
struct WineServerStop {
    WineServerStop() = default;
    WineServerStop(const WineServerStop&) = delete;
    WineServerStop& operator=(const WineServerStop&) = delete;
    ~WineServerStop() { std::system("wineserver -k"); }
};

// The Windows build, run under wine, against this build: for every case above and the ways an
// output can fail, the same status and files, and the same console bytes but that each line
// feed is CR LF and a file name is shown in CP932. Set VELTO_WINDOWS_EXE to a velto.exe.
TEST(Report, TheWindowsBuildUnderWineMatchesThisBuild) {
    const char* exe = windowsExe();
    if (exe == nullptr) GTEST_SKIP() << "no VELTO_WINDOWS_EXE to compare";
    WineServerStop stop;
    const bool root = geteuid() == 0;

    struct Row {
        std::string name;
        std::map<std::string, std::string> files;
        std::vector<std::string> args;
        // Makes what files cannot (read-only files, a full disk); false when it cannot be made.
        std::function<bool(const fs::path& dir, RunOptions& native)> setup;
    };
    auto none = [](const fs::path&, RunOptions&) { return true; };
    std::vector<Row> rows;
    for (const Case& c : cases()) rows.push_back({c.name, {{"in.wav", c.file}}, {"in.wav", "out.wav"}, none});
    const std::string clip = canonicalWav(kCanonical, noise(600000));
    rows.push_back({"in place", {{"in.wav", clip}}, {"in.wav", "in.wav"}, none});
    rows.push_back({"over another file", {{"in.wav", clip}, {"out.wav", "old"}}, {"in.wav", "out.wav"}, none});
    rows.push_back({"a missing directory", {{"in.wav", clip}}, {"in.wav", "missing/out.wav"}, none});
    rows.push_back({"a Japanese file name", {{"録音 テスト.wav", clip}}, {"録音 テスト.wav", "変換.wav"}, none});
    rows.push_back({"a name with characters CP932 lacks", {{"café ☕.wav", clip}}, {"café ☕.wav", "x.wav"}, none});
    // Root writes a read-only file on Linux; wine refuses it for root too.
    rows.push_back({"a read-only output", {{"in.wav", clip}, {"out.wav", "old"}}, {"in.wav", "out.wav"},
                    [root](const fs::path& dir, RunOptions& native) {
                        if (root) {
                            native.user = 65534;
                            if (chown((dir / "out.wav").c_str(), 65534, 65534) != 0) return false;
                            fs::permissions(dir, fs::perms::all);
                        }
                        fs::permissions(dir / "out.wav", fs::perms::owner_read | fs::perms::group_read |
                                                             fs::perms::others_read);
                        return true;
                    }});
    // A small file system at m/, holding an old out.wav when `old`.
    auto smallDisk = [root](const char* options, bool old) {
        return [=](const fs::path& dir, RunOptions&) {
            fs::create_directory(dir / "m");
            if (!root || mount("tmpfs", (dir / "m").c_str(), "tmpfs", 0, options) != 0) return false;
            if (old) writeFile(dir / "m/out.wav", "old bytes");
            return true;
        };
    };
    rows.push_back({"a full disk", {{"in.wav", clip}}, {"in.wav", "m/out.wav"}, smallDisk("size=300k", false)});
    rows.push_back({"no inode for a temporary file: the file itself is rewritten", {{"in.wav", clip}},
                    {"in.wav", "m/out.wav"}, smallDisk("size=2m,nr_inodes=2", true)});
    rows.push_back({"no inode and no room: the file is left as it was", {{"in.wav", clip}},
                    {"in.wav", "m/out.wav"}, smallDisk("size=300k,nr_inodes=2", true)});

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchDir nativeDir;
        ScratchDir wineDir;
        RunOptions native{.workDir = nativeDir.path};
        RunOptions wine{.workDir = wineDir.path};
        for (const auto& [name, bytes] : row.files) {
            writeFile(nativeDir / name, bytes);
            writeFile(wineDir / name, bytes);
        }
        const bool made = row.setup(nativeDir.path, native) && row.setup(wineDir.path, wine);
        wine.user = -1;
        RunResult n;
        RunResult w;
        std::map<std::string, std::string> nativeFiles;
        std::map<std::string, std::string> wineFiles;
        if (made) {
            n = runVelto(row.args, native);
            std::vector<std::string> args{exe};
            args.insert(args.end(), row.args.begin(), row.args.end());
            wine.watchdogSeconds = 120;
            w = runProgram("/usr/bin/wine", args, wine);
            nativeFiles = snapshot(nativeDir.path);
            wineFiles = snapshot(wineDir.path);
        }
        umount2((nativeDir / "m").c_str(), MNT_DETACH);
        umount2((wineDir / "m").c_str(), MNT_DETACH);
        if (!made) continue;
        std::string out = replaced(n.out, "\n", "\r\n");
        std::string err = replaced(n.err, "\n", "\r\n");
        // Names are shown in CP932 there, with '?' for what it lacks.
        for (const std::string& name : row.args) {
            const std::string shown = sjis(replaced(replaced(name, "é", "?"), "☕", "?"));
            out = replaced(out, name, shown);
            err = replaced(err, name, shown);
        }
        EXPECT_EQ(w.status, n.status);
        EXPECT_EQ(w.out, out);
        EXPECT_EQ(w.err, err);
        // Names and sizes first, so that a failure shows which file differs, not its bytes.
        auto sizes = [](const std::map<std::string, std::string>& files) {
            std::map<std::string, std::size_t> out;
            for (const auto& [name, bytes] : files) out[name] = bytes.size();
            return out;
        };
        EXPECT_EQ(sizes(wineFiles), sizes(nativeFiles));
        EXPECT_TRUE(wineFiles == nativeFiles) << "the files differ in their bytes";
    }
}

// Ctrl-C in the console of velto.exe while it writes its output: the temporary file goes and
// the output name is left as it was. wine gives the program a console on a terminal, so the
// run gets a pseudo-terminal and the interrupt is typed into it as a user would.
TEST(Report, CtrlCUnderWineRemovesTheTemporaryFile) {
    const char* exe = windowsExe();
    if (exe == nullptr) GTEST_SKIP() << "no VELTO_WINDOWS_EXE to run";
    WineServerStop stop;
    ScratchDir dir;
    // Large enough that the write takes a good part of a second after the file appears.
    writeFile(dir / "in.wav", canonicalWav(kCanonical, std::string(200u << 20, '\x11')));
    bool interrupted = false;
    // A run may finish before the interrupt lands; it is then tried again.
    for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
        fs::remove(dir / "out.wav");
        int terminal = -1;
        const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            resetSignals();
            if (chdir(dir.path.c_str()) == 0) execlp("wine", "wine", exe, "in.wav", "out.wav", nullptr);
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto pending = [&] {
            for (const std::string& name : listDir(dir.path)) {
                if (name.starts_with(".velto-")) return true;
            }
            return false;
        };
        while (!pending() && std::chrono::steady_clock::now() < deadline) usleep(5000);
        ASSERT_EQ(write(terminal, "\x03", 1), 1);
        // The console's output is drained until the program ends, so that it never blocks.
        char drained[4096];
        int status = 0;
        bool ended = false;
        for (pollfd p{terminal, POLLIN, 0}; !ended && std::chrono::steady_clock::now() < deadline;) {
            if (poll(&p, 1, 50) > 0 && read(terminal, drained, sizeof drained) < 0) usleep(50000);
            ended = waitpid(child, &status, WNOHANG) == child;
        }
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        close(terminal);
        const std::vector<std::string> left = listDir(dir.path);
        interrupted = left == std::vector<std::string>{"in.wav"};
        if (!interrupted) {
            ASSERT_EQ(left, (std::vector<std::string>{"in.wav", "out.wav"})) << "attempt " << attempt;
        }
    }
    EXPECT_TRUE(interrupted) << "no run was interrupted while it wrote";
}

}  // namespace
