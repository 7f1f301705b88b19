// Every system call on the way to the output, failed once at each of its calls: whatever fails,
// exit status 0 means the conversion stands complete under the output name, and any other
// status means every file is byte for byte what it was. Nothing else may appear. The failures
// are injected with strace, one call at a time, counted from a clean trace of the same run.
#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>

#include "support/support.h"

namespace {

using namespace testing_support;

// Over a mebibyte, so that copies go in more than one piece and the bulk of the samples can
// be written past the cache where the file system allows. Made when first needed, not each
// time the test program starts.
const std::string& data() {
    static const std::string bytes = noise((1u << 20) + 200000, 7);
    return bytes;
}
const std::string& clip() {
    static const std::string bytes = canonicalWav(kStereo16, data());
    return bytes;
}
// An old output, longer than the new one.
const std::string& oldBytes() {
    static const std::string bytes = noise(1500000, 8);
    return bytes;
}
// What velto must make of the clip, from the mirror's definition.
const std::string& converted() {
    static const std::string bytes = canonicalWav(kStereo16, mirrored(data(), 16, 2));
    return bytes;
}

// The calls a run makes on its way to the output.
const std::vector<std::string> kCalls = {"openat",    "write",        "pwrite64", "lseek",      "fcntl",
                                         "fchown",    "fchmod",       "flistxattr", "fgetxattr", "fsetxattr",
                                         "fremovexattr", "fsync",     "close",    "linkat",     "renameat",
                                         "newfstatat", "statx",       "readlinkat", "listxattr", "getxattr",
                                         "fstatfs",   "ioctl",        "renameat2"};

struct Trace {
    std::vector<std::string> calls;  // the names of the calls, in order
    std::vector<std::string> lines;  // the whole lines
    int count(const std::string& name) const { return static_cast<int>(std::count(calls.begin(), calls.end(), name)); }
    // The number, counted among the calls of `name`, of the first such call on or after the
    // first line that holds `pattern`; 0 when there is none.
    int numberAfter(const std::string& name, const std::string& pattern) const {
        int n = 0;
        bool seen = false;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            seen = seen || lines[i].find(pattern) != std::string::npos;
            if (calls[i] == name && (++n, seen)) return n;
        }
        return 0;
    }
};

Trace readTrace(const fs::path& log) {
    Trace t;
    std::ifstream in(log);
    const std::regex call(R"(^\d+ +([a-z0-9_]+)\()");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, m, call)) {
            t.calls.push_back(m[1]);
            t.lines.push_back(line);
        }
    }
    return t;
}

struct Situation {
    const char* name;
    const char* root = nullptr;      // what the situation needs root for, if it does
    const char* portable = nullptr;  // why the plain POSIX build cannot meet it, if it cannot
    // Lays out the files beside in.wav; false where that cannot be done here.
    std::function<bool(const fs::path&)> lay = [](const fs::path&) { return true; };
    std::string output = "out.wav";
    bool hideProc = false;          // /proc is hidden: temporary files have names
    // The error the open of an unnamed temporary file is failed with, as where the system has
    // none to give; found in a trace of a plain run.
    const char* unnamedRefused = nullptr;
    // The failure is the first write past the cache.
    bool directRefused = false;
    bool refused = false;           // the run cannot be made: it fails and changes nothing
};

// An old output old.wav with an extended attribute and a second name, other-name.wav, which
// keeps the old bytes.
bool oldWithSecondName(const fs::path& d) {
    writeFile(d / "old.wav", oldBytes());
    setxattr((d / "old.wav").c_str(), "user.note", "kept", 4, 0);
    fs::create_hard_link(d / "old.wav", d / "other-name.wav");
    return true;
}

const std::vector<Situation>& situations() {
    static const std::vector<Situation> all = {
        {.name = "new"},
        // Where even the directory refuses a temporary file, there is no other way to write.
        {.name = "new_without_temporary", .unnamedRefused = "EACCES", .refused = true},
        {.name = "replace", .lay = oldWithSecondName, .output = "old.wav"},
        {.name = "in_place", .output = "in.wav"},
        {.name = "through_link",
         .lay = [](const fs::path& d) {
             fs::create_directory(d / "store");
             writeFile(d / "store/real.wav", oldBytes());
             fs::create_symlink("store/real.wav", d / "link.wav");
             return true;
         },
         .output = "link.wav"},
        {.name = "named_temporary",
         .root = "hides /proc in a mount namespace",
         .lay = [](const fs::path& d) { return writeFile(d / "old.wav", oldBytes()), true; },
         .output = "old.wav",
         .hideProc = true},
        // Systems without unnamed files say so in one of two ways.
        {.name = "no_unnamed_files", .lay = oldWithSecondName, .output = "old.wav", .unnamedRefused = "EOPNOTSUPP"},
        {.name = "no_unnamed_files_old_kernel", .lay = oldWithSecondName, .output = "old.wav", .unnamedRefused = "EISDIR"},
        {.name = "direct_writes_refused", .directRefused = true},
        {.name = "append_only_directory",
         .root = "sets a directory append-only",
         .portable = "the plain POSIX build cannot see append-only directories",
         .lay = [](const fs::path& d) {
             fs::create_directory(d / "grows");
             writeFile(d / "grows/old.wav", oldBytes());
             return std::system(("chattr +a '" + (d / "grows").string() + "' 2>/dev/null").c_str()) == 0;
         },
         .output = "grows/new.wav"},
    };
    return all;
}

// The failure a situation is made of, as a strace option, from a trace of a plain run; empty
// where there is no such call in the run.
std::string given(const Situation& s, const Trace& t) {
    const auto failing = [](const char* name, const char* error, int n) {
        return n == 0 ? "" : std::string("inject=") + name + ":error=" + error + ":when=" + std::to_string(n);
    };
    if (s.unnamedRefused != nullptr) return failing("openat", s.unnamedRefused, t.numberAfter("openat", "O_TMPFILE"));
    // The first write after the file was set to bypass the cache.
    if (s.directRefused) return failing("pwrite64", "EINVAL", t.numberAfter("pwrite64", "O_DIRECT|"));
    return "";
}

struct SweepRow {
    const Situation* situation;
    std::string call;
};

void PrintTo(const SweepRow& row, std::ostream* os) { *os << row.situation->name << " " << row.call; }

class FailureSweep : public ::testing::TestWithParam<SweepRow> {};

// A scratch directory for one run, laid out as the situation wants; a directory that only
// grows is opened up again before it goes.
struct Layout {
    ScratchDir dir;
    bool made = false;
    explicit Layout(const Situation& s) {
        if (geteuid() == 0) owned(dir.path, 0755, 0);
        writeFile(dir / "in.wav", clip());
        made = s.lay(dir.path);
    }
    ~Layout() { std::system(("chattr -R -a '" + dir.path.string() + "' 2>/dev/null").c_str()); }
};

// Runs velto under strace in the situation's directory; the trace goes to `log`.
RunResult traced(const Situation& s, const fs::path& dir, const fs::path& log, const std::vector<std::string>& inject) {
    std::string calls = "trace=";
    for (const std::string& call : kCalls) calls += call + ",";
    std::vector<std::string> options = {"-e", calls};
    for (const std::string& option : inject) options.insert(options.end(), {"-e", option});
    std::vector<std::string> command = underStrace(log, options, {"in.wav", s.output});
    if (s.hideProc) command = inOwnMounts("mount -t tmpfs none /proc", command);
    return runCommand(command, {.workDir = dir, .umask = 002});
}

TEST_P(FailureSweep, ExitZeroOnlyForTheCompleteFileAndOtherwiseNothingChanged) {
    if (const std::string why = missing("strace", "strace"); !why.empty()) GTEST_SKIP() << why;
    const Situation& s = *GetParam().situation;
    const std::string& call = GetParam().call;
    if (s.root != nullptr && geteuid() != 0) GTEST_SKIP() << "needs root: " << s.root;
    if (s.portable != nullptr && !VELTO_LINUX_FEATURES) GTEST_SKIP() << s.portable;
    if (s.hideProc && kSanitizedBuild) GTEST_SKIP() << "the sanitizers' runtime reads its options from /proc";

    // A plain run, then a clean one in the situation, whose calls are counted.
    std::vector<std::string> situation;
    Files before;
    // The output's permission bits afterwards: the old file's, or for a new file what the
    // umask (002) leaves of 0666.
    const std::string written = s.output == "link.wav" ? "store/real.wav" : s.output;
    mode_t mode = 0664;
    {
        Layout plain(s);
        if (!plain.made) GTEST_SKIP() << "needs a file system that takes chattr +a (ext4, XFS, btrfs)";
        before = snapshot(plain.dir.path);
        if (before.contains(written)) mode = modeOf(plain.dir / written);
        const fs::path log = plain.dir.path.string() + ".log";
        traced(s, plain.dir.path, log, {});
        const std::string made = given(s, readTrace(log));
        fs::remove(log);
        if (s.unnamedRefused != nullptr && made.empty()) GTEST_SKIP() << "this build makes no unnamed temporary file";
        if (s.directRefused && made.empty()) GTEST_SKIP() << "no write here goes past the cache (the plain POSIX build, or a file system that takes none)";
        if (made.starts_with("inject=" + call + ":")) GTEST_SKIP() << "this situation is made by failing this very call, which the rows of its other calls cover";
        if (!made.empty()) situation.push_back(made);
    }
    Trace clean;
    Files done = before;
    if (!s.refused) done[written] = converted();
    {
        Layout layout(s);
        const fs::path log = layout.dir.path.string() + ".log";
        const RunResult r = traced(s, layout.dir.path, log, situation);
        clean = readTrace(log);
        fs::remove(log);
        ASSERT_EQ(r.status, s.refused ? 255 : 0) << "the clean run: " << r.err;
        // Known before a byte is written, so said as a refusal to open the output.
        if (s.refused) {
            EXPECT_TRUE(r.err.ends_with(toCp932(s.output + kCannotOpen))) << r.err;
        }
        ASSERT_EQ(differences(done, snapshot(layout.dir.path)), "") << "the clean run's files are wrong: " << r.err;
        if (!s.refused) {
            EXPECT_EQ(modeOf(layout.dir / written), mode);
            // A name given is made durable: the directory is synced after the last naming.
            int lastName = -1;
            int lastSync = -1;
            for (int i = 0; i < static_cast<int>(clean.calls.size()); ++i) {
                if (clean.calls[i] == "linkat" || clean.calls[i] == "renameat") lastName = i;
                if (clean.calls[i] == "fsync") lastSync = i;
            }
            EXPECT_LT(lastName, lastSync) << "no sync after the output took its name";
        }
    }

    // The loader's calls and the program's first look at its standard descriptors come first:
    // failing them moves the calls the situation is counted by. The sweep starts at the
    // input's opening; a row whose call the run does not make from there has nothing to fail.
    const int calls = clean.count(call);
    const int first = clean.numberAfter(call, "\"in.wav\"");
    if (first == 0) GTEST_SKIP() << "the clean run makes no " << call << " after opening the input";
    int failed = 0;  // runs in which strace failed the call
    for (int k = first; k <= calls; ++k) {
        SCOPED_TRACE(call + " #" + std::to_string(k) + " of " + std::to_string(calls) + " fails");
        Layout layout(s);
        const fs::path log = layout.dir.path.string() + ".log";
        std::vector<std::string> inject = situation;
        inject.push_back("inject=" + call + ":error=ENOSPC:when=" + std::to_string(k));
        const RunResult r = traced(s, layout.dir.path, log, inject);
        std::ifstream in(log);
        const bool injected = std::string(std::istreambuf_iterator<char>(in), {}).find(" (INJECTED)") != std::string::npos;
        fs::remove(log);
        failed += injected ? 1 : 0;
        EXPECT_TRUE(injected) << "the call was never failed";
        const Files after = snapshot(layout.dir.path);
        // The directory's sync, the last one, comes after the name was given: the complete
        // file stands, and the run says that it could not be made durable.
        if (!s.refused && call == "fsync" && k == calls) {
            EXPECT_EQ(r.status, 255) << "a failed sync of the directory was not reported";
            EXPECT_TRUE(r.err.ends_with(toCp932("[bytes]\n" + kWriteFailed))) << r.err;
            EXPECT_EQ(differences(done, after), "");
            continue;
        }
        if (r.status == 0) {
            EXPECT_FALSE(s.refused) << "a run that cannot be made succeeded";
            EXPECT_EQ(differences(done, after), "") << "exit 0 without the complete conversion, or with something else";
            EXPECT_EQ(modeOf(layout.dir / written), mode) << "exit 0 without the old file's permission bits";
        } else {
            EXPECT_EQ(differences(before, after), "") << "exit " << r.status << " and the files changed";
        }
    }
    EXPECT_GT(failed, 0) << "no run failed " << call;
}

std::vector<SweepRow> sweepRows() {
    std::vector<SweepRow> rows;
    for (const Situation& s : situations()) {
        for (const std::string& call : kCalls) rows.push_back({&s, call});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EachCall, FailureSweep, ::testing::ValuesIn(sweepRows()),
                         [](const ::testing::TestParamInfo<SweepRow>& info) {
                             return std::string(info.param.situation->name) + "_" + info.param.call;
                         });

}  // namespace
