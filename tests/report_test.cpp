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

// One row of the report table, run twice: from a file, then from a pipe (the same bytes on
// stdin as /dev/stdin, which cannot seek). The report, the status and the output are the same
// but for the name.
class ReportTable : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportTable, PrintsExactlyItsTextsOnTheirStreamsWithItsStatus) {
    const ReportCase& c = GetParam();
    ScratchDir dir;
    writeFile(dir / "in.wav", c.file);
    const RunResult r = runVelto({"in.wav", "out.wav"}, {.workDir = dir.path});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, toCp932(c.out));
    EXPECT_EQ(r.err, toCp932(c.err));
    EXPECT_EQ(fs::exists(dir / "out.wav"), c.status == 0);
    const std::string fromFile = c.status == 0 ? readFile(dir / "out.wav") : "";

    fs::remove(dir / "out.wav");
    const RunResult p = runVelto({"/dev/stdin", "out.wav"}, {.workDir = dir.path, .stdinPipe = c.file});
    EXPECT_EQ(p.status, c.status) << "through a pipe";
    EXPECT_EQ(p.out, toCp932(replaced(c.out, "[in.wav]", "[/dev/stdin]"))) << "through a pipe";
    EXPECT_EQ(p.err, toCp932(c.err)) << "through a pipe";
    if (c.status == 0) {
        EXPECT_EQ(readFile(dir / "out.wav"), fromFile) << "through a pipe";
    }
}

INSTANTIATE_TEST_SUITE_P(Input, ReportTable, ::testing::ValuesIn(reportCases()),
                         [](const auto& row) { return rowName(row.param.name); });

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
        EXPECT_EQ(r.err, toCp932(usage));
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"in.wav"});
        EXPECT_EQ(readFile(dir / "in.wav"), canonicalWav(kCanonical, "abcd"));
    }
}

TEST(Report, MissingInputIsNamedOnStderrOnly) {
    ScratchDir dir;
    const RunResult r = runVelto({"none.wav", "out.wav"}, {.workDir = dir.path});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, toCp932(" none.wavをオープンできません.\n"));
    EXPECT_TRUE(listDir(dir.path).empty());
}

TEST(Report, FileNamesArePrintedByteForByteAndNeverAsFormats) {
    ScratchDir dir;
    const std::string in = "in %s%n\xff\x81 .wav";
    const std::string out = "out %d\xfe.wav";
    writeFile(dir / in, canonicalWav(kCanonical, "abcd"));
    const RunResult r = runVelto({in, out}, {.workDir = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(toCp932("\nファイル名[") + in + "]\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with(toCp932("\n[") + in + toCp932("] を [") + out + toCp932("] へ変換しました.\n")));

    const RunResult missing = runVelto({"gone %s.wav", out}, {.workDir = dir.path});
    EXPECT_EQ(missing.err, toCp932(" gone %s.wavをオープンできません.\n"));
}

// The Windows tests below take the report table by its old names until they move to a file
// of their own.
using Case = ReportCase;
std::vector<Case> cases() { return reportCases(); }

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
