// velto.exe under wine where its output meets other programs and interruptions: a file another
// program holds open (refused), a run killed or interrupted while it writes, a clip over 2 GiB. Each row
// is checked against the same conversion by this build. Set VELTO_WINDOWS_EXE to a velto.exe;
// velto-hold-file.exe, built with it, must be beside it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "support/support.h"

namespace {

using namespace testing_support;

enum class Holder { kNone, kReadWrite, kReadOnly };  // velto-hold-file's sharing, if it runs
enum class During { kNothing, kKill, kCtrlC };         // what happens once the temporary file is there
enum class Expect { kConverted, kAsBefore, kAbsent };  // what out.wav is afterwards

struct Row {
    const char* name;
    std::uint64_t dataBytes;           // of the clip converted
    bool oldOutput = false;            // out.wav exists before, longer than the conversion
    Holder holder = Holder::kNone;
    During during = During::kNothing;
    int status = 0;                    // wine's exit status; -1: not looked at (a killed run)
    Expect expect = Expect::kConverted;
    std::string afterReport;           // what standard error holds after the report; empty: not looked at
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// The Windows status of an interrupted program, STATUS_CONTROL_C_EXIT, as a POSIX exit status
// carries it: its low byte.
constexpr int kControlCExitLowByte = 0xC000013A & 0xFF;

// velto-hold-file.exe holding `file` open, from when it says so until the object goes.
struct Held {
    pid_t pid = -1;
    int input = -1;
    Held(const fs::path& helper, const fs::path& file, Holder holder) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            resetSignals();
            dup2(in[0], 0);
            dup2(out[1], 1);
            execlp("wine", "wine", helper.c_str(), file.c_str(), holder == Holder::kReadWrite ? "rw" : "r", nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        input = in[1];
        char said[8] = {};
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 60000) != 1 || read(out[0], said, sizeof said - 1) <= 0 || std::string(said) != "held\r\n") {
            ADD_FAILURE() << "velto-hold-file did not hold " << file;
        }
        close(out[0]);
    }
    ~Held() {
        if (input >= 0) close(input);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
};

// A temporary file that bytes have reached, and so one already marked for deletion: a kill in
// the instant between its making and its marking leaves it, as a power cut would.
bool temporaryThere(const fs::path& dir) {
    std::error_code unknown;
    for (const std::string& name : listDir(dir)) {
        if (name.starts_with(".velto-") && fs::file_size(dir / name, unknown) > 0 && !unknown) return true;
    }
    return false;
}

// Runs velto.exe in `dir` on a console of its own (a pseudo-terminal), kills it or types Ctrl-C
// into it once its temporary file is being written, and returns its exit status; nothing when the run
// ended before that could be done.
std::optional<int> runInterrupted(const char* exe, const fs::path& dir, During during) {
    int terminal = -1;
    const pid_t child = startOnTerminal({"wine", exe, "in.wav", "out.wav"}, dir, {}, terminal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    bool ended = false;
    while (!(ended = waitpid(child, &status, WNOHANG) == child) && !temporaryThere(dir) &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(2000);
    }
    const bool early = ended;
    if (!ended && during == During::kKill) kill(child, SIGKILL);
    if (!ended && during == During::kCtrlC && write(terminal, "\x03", 1) != 1) kill(child, SIGKILL);
    // The console's output is drained until the program ends, so that it never blocks.
    char drained[4096];
    for (pollfd p{terminal, POLLIN, 0}; !ended && std::chrono::steady_clock::now() < deadline;) {
        if (poll(&p, 1, 50) > 0 && read(terminal, drained, sizeof drained) < 0) usleep(50000);
        ended = waitpid(child, &status, WNOHANG) == child;
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    close(terminal);
    // The files of a killed process are closed by the wine server once it has seen it go.
    while (temporaryThere(dir) && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(10)) usleep(10000);
    if (early) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class WindowsOutput : public ::testing::TestWithParam<Row> {};

TEST_P(WindowsOutput, EndsAsThisBuildDoesOrLeavesTheNameAsItWas) {
    const Row& row = GetParam();
    const char* exe = windowsExe();
    if (exe == nullptr) GTEST_SKIP() << "no VELTO_WINDOWS_EXE to run";
    const fs::path helper = fs::absolute(fs::path(exe)).parent_path() / "velto-hold-file.exe";
    ASSERT_TRUE(row.holder == Holder::kNone || fs::exists(helper)) << helper;
    ScratchDir nativeDir;
    ScratchDir wineDir;
    writeClip(nativeDir / "in.wav", row.dataBytes);
    fs::copy_file(nativeDir / "in.wav", wineDir / "in.wav");
    const RunResult n = runVelto({"in.wav", "out.wav"}, {.workDir = nativeDir.path, .watchdogSeconds = 600});
    ASSERT_EQ(n.status, 0) << n.err;
    const std::string old = noise((5u << 20) + 7, 9);
    if (row.oldOutput) writeFile(wineDir / "out.wav", old);

    WineServerStop stop;
    RunResult w;
    if (row.during == During::kNothing) {
        std::optional<Held> held;
        if (row.holder != Holder::kNone) held.emplace(helper, wineDir / "out.wav", row.holder);
        w = runProgram("/usr/bin/wine", {exe, "in.wav", "out.wav"}, {.workDir = wineDir.path, .watchdogSeconds = 600});
    }
    // A run may finish before it can be interrupted; it is then tried again.
    bool interrupted = row.during == During::kNothing;
    for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
        if (row.oldOutput) writeFile(wineDir / "out.wav", old);
        if (!row.oldOutput) fs::remove(wineDir / "out.wav");
        const std::optional<int> status = runInterrupted(exe, wineDir.path, row.during);
        interrupted = status.has_value();
        w.status = status.value_or(-1);
    }
    ASSERT_TRUE(interrupted) << "no run was interrupted while it wrote";

    if (row.status >= 0) {
        EXPECT_EQ(w.status, row.status) << w.err;
    }
    std::vector<std::string> names{"in.wav"};
    if (row.expect != Expect::kAbsent) names.push_back("out.wav");
    EXPECT_EQ(listDir(wineDir.path), names);
    if (row.expect == Expect::kConverted) {
        EXPECT_TRUE(sameFiles(wineDir / "out.wav", nativeDir / "out.wav")) << "out.wav is not the conversion";
    }
    if (row.expect == Expect::kAsBefore) {
        EXPECT_TRUE(readFile(wineDir / "out.wav") == old) << "out.wav changed";
    }
    if (!row.afterReport.empty()) {
        std::string expected;
        for (const char c : n.err + toCp932(row.afterReport)) {
            expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
        }
        EXPECT_EQ(w.err, expected);
    }
}

std::string nameOf(const ::testing::TestParamInfo<Row>& info) { return rowName(info.param.name); }

#ifndef VELTO_LARGE_ROWS
// 3 MiB + 2 over an old file longer than it. 200 MiB: long enough to write that an interruption
// lands while the temporary file is there.
INSTANTIATE_TEST_SUITE_P(UnderWine, WindowsOutput, ::testing::Values(
    // Another program's handle keeps the name from being replaced: refused before writing.
    Row{.name = "held open by a program that lets it be written: refused, the file as it was",
        .dataBytes = (3u << 20) + 2, .oldOutput = true, .holder = Holder::kReadWrite, .status = 255,
        .expect = Expect::kAsBefore, .afterReport = "out.wav" + kCannotOpen},
    Row{.name = "held open by a program that lets it only be read: refused, the file as it was",
        .dataBytes = (3u << 20) + 2, .oldOutput = true, .holder = Holder::kReadOnly, .status = 255,
        .expect = Expect::kAsBefore, .afterReport = "out.wav" + kCannotOpen},
    Row{.name = "killed while writing a new file: nothing left", .dataBytes = 200u << 20, .during = During::kKill,
        .status = -1, .expect = Expect::kAbsent},
    Row{.name = "killed while replacing a file: the file as it was", .dataBytes = 200u << 20, .oldOutput = true,
        .during = During::kKill, .status = -1, .expect = Expect::kAsBefore},
    Row{.name = "Ctrl-C while writing a new file: the interrupted status, nothing left", .dataBytes = 200u << 20,
        .during = During::kCtrlC, .status = kControlCExitLowByte, .expect = Expect::kAbsent},
    Row{.name = "Ctrl-C while replacing a file: the interrupted status, the file as it was", .dataBytes = 200u << 20,
        .oldOutput = true, .during = During::kCtrlC, .status = kControlCExitLowByte, .expect = Expect::kAsBefore}),
    nameOf);
#else
// One read or write of 2 GiB or more fails in the C library on Windows.
INSTANTIATE_TEST_SUITE_P(LargeUnderWine, WindowsOutput, ::testing::Values(
    Row{.name = "a clip just over 2 GiB", .dataBytes = 2147487744u}),
    nameOf);
#endif

}  // namespace
