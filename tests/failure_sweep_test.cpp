// Every system call on the way to the output, failed once at each of its calls: whatever fails,
// exit status 0 means the conversion stands complete under the output name, and any other
// status means every file is byte for byte what it was. Nothing else may appear. The failures
// are injected with strace, one call at a time, counted from a clean trace of the same run.
#include <gtest/gtest.h>

#include <sys/stat.h>
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
const std::vector<std::string> kCalls = {"openat", "write", "pwrite64", "fcntl", "fallocate", "ftruncate",
                                         "fchown", "fchmod", "fsetxattr", "fremovexattr", "fsync", "close",
                                         "linkat", "renameat", "unlinkat", "newfstatat", "readlinkat", "dup"};

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

// A strace option that fails the `n`th call of `name` with `error`; empty where there is no
// such call in the run, so that the situation cannot be made.
std::string failing(const std::string& name, const char* error, int n) {
    return n == 0 ? "" : "inject=" + name + ":error=" + error + ":when=" + std::to_string(n);
}

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
    bool asNobody;                                   // the run is made by user nobody
    bool hideProc;                                   // /proc is hidden: temporary files have names
    bool rewrites;                                   // the existing file is written over itself
    std::function<bool(const fs::path&)> lay;        // lays out the files beside in.wav
    std::string input;
    std::string output;
    std::string alias;  // another hard link of the output: a replaced file gets a new inode
    // A failure the situation is made of, as a strace option, from a trace of a plain run.
    std::function<std::string(const Trace&)> given;
};



// An old output old.wav that has a second name, other-name.wav.
bool oldWithSecondName(const fs::path& d) {
    writeFile(d / "old.wav", oldBytes());
    fs::create_hard_link(d / "old.wav", d / "other-name.wav");
    return true;
}

const std::vector<Situation>& situations() {
    static const std::vector<Situation> all = {
        {"new", false, false, false, [](const fs::path&) { return true; }, "in.wav", "out.wav", "", nullptr},
        {"new_without_temporary", false, false, false, [](const fs::path&) { return true; }, "in.wav", "out.wav", "",
         [](const Trace& t) { return failing("openat", "EACCES", t.numberAfter("openat", "O_TMPFILE")); }},
        {"replace", false, false, false,
         oldWithSecondName,
         "in.wav", "old.wav", "other-name.wav", nullptr},
        {"in_place", false, false, false, [](const fs::path&) { return true; }, "in.wav", "in.wav", "", nullptr},
        {"through_link", false, false, false,
         [](const fs::path& d) {
             fs::create_directory(d / "store");
             writeFile(d / "store/real.wav", oldBytes());
             fs::create_symlink("store/real.wav", d / "link.wav");
             return true;
         },
         "in.wav", "link.wav", "", nullptr},
        {"named_temporary", false, true, false,
         [](const fs::path& d) { return writeFile(d / "old.wav", oldBytes()), true; }, "in.wav", "old.wav", "", nullptr},
        {"no_unnamed_files", false, false, false,
         oldWithSecondName,
         "in.wav", "old.wav", "other-name.wav",
         [](const Trace& t) { return failing("openat", "EOPNOTSUPP", t.numberAfter("openat", "O_TMPFILE")); }},
        {"direct_writes_refused", false, false, false, [](const fs::path&) { return true; }, "in.wav", "out.wav", "",
         // The first write after the file was set to bypass the cache.
         [](const Trace& t) { return failing("pwrite64", "EINVAL", t.numberAfter("pwrite64", "O_DIRECT|")); }},
        {"rewrite", true, false, true,
         [](const fs::path& d) {
             fs::create_directory(d / "locked");
             writeFile(d / "locked/in.wav", clip());
             owned(d / "locked/in.wav", 0666, 0);
             owned(d / "locked", 0755, 0);
             return true;
         },
         "locked/in.wav", "locked/in.wav", "", nullptr},
        {"copy_over", true, false, true,
         [](const fs::path& d) {
             fs::create_directory(d / "sticky");
             writeFile(d / "sticky/old.wav", oldBytes());
             owned(d / "sticky/old.wav", 0666, 0);
             owned(d / "sticky", 01777, 0);
             return true;
         },
         "in.wav", "sticky/old.wav", "", nullptr},
        {"append_only_directory", false, false, true,
         [](const fs::path& d) {
             fs::create_directory(d / "grows");
             writeFile(d / "grows/old.wav", oldBytes());
             return std::system(("chattr +a '" + (d / "grows").string() + "' 2>/dev/null").c_str()) == 0;
         },
         "in.wav", "grows/old.wav", "", nullptr},
    };
    return all;
}

struct SweepRow {
    const Situation* situation;
    std::string call;
};

void PrintTo(const SweepRow& row, std::ostream* os) { *os << row.situation->name << " " << row.call; }

// What differs between two sets of files, by name and size.
std::string differences(const Files& expected, const Files& actual) {
    std::string out;
    for (const auto& [name, bytes] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) out += " missing " + name + ";";
        else if (found->second != bytes) out += " " + name + " has " + std::to_string(found->second.size()) + " other bytes;";
    }
    for (const auto& [name, bytes] : actual) {
        if (!expected.contains(name)) out += " left behind " + name + ";";
    }
    return out;
}

class FailureSweep : public ::testing::TestWithParam<SweepRow> {};

// A scratch directory for one run, laid out as the situation wants; a directory that only
// grows is opened up again before it goes.
struct Layout {
    ScratchDir dir;
    bool made = false;
    explicit Layout(const Situation& s) {
        if (geteuid() == 0) owned(dir.path, 0755, 0);
        writeFile(dir / "in.wav", clip());
        if (s.asNobody) owned(dir / "in.wav", 0644, 0);
        made = s.lay(dir.path);
    }
    ~Layout() { std::system(("chattr -R -a '" + dir.path.string() + "' 2>/dev/null").c_str()); }
};

// Runs velto under strace in the situation's directory; the trace goes to `log`.
RunResult traced(const Situation& s, const fs::path& dir, const fs::path& log, const std::vector<std::string>& inject) {
    std::vector<std::string> args = {"-f", "-o", log.string(), "-E", "ASAN_OPTIONS=detect_leaks=0"};
    std::string calls = "trace=";
    for (const std::string& call : kCalls) calls += call + ",";
    args.insert(args.end(), {"-e", calls});
    for (const std::string& option : inject) args.insert(args.end(), {"-e", option});
    args.insert(args.end(), {veltoPath(), s.input, s.output});
    std::string program = "/usr/bin/strace";
    if (s.hideProc) {
        args.insert(args.begin(), {"-m", "--propagation", "private", "sh", "-c",
                                   "mount -t tmpfs none /proc && exec \"$@\"", "sh", program});
        program = "/usr/bin/unshare";
    }
    return runProgram(program, args, {.workDir = dir, .umask = 002, .user = s.asNobody ? kNobody : -1});
}

TEST_P(FailureSweep, ExitZeroOnlyForTheCompleteFileAndOtherwiseNothingChanged) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    const Situation& s = *GetParam().situation;
    const std::string& call = GetParam().call;
    // Files of other users, a hidden /proc and append-only directories need root; the rest is
    // what any user meets.
    if ((s.asNobody || s.hideProc || s.rewrites) && geteuid() != 0) GTEST_SKIP() << "needs root";
    if (s.rewrites && !VELTO_LINUX_FEATURES) GTEST_SKIP() << "this build never writes a file over itself";
    if (s.hideProc && kSanitizedBuild) GTEST_SKIP() << "the sanitizers' runtime reads its options from /proc";

    // A plain run, then a clean one in the situation, whose calls are counted.
    std::vector<std::string> given;
    Files before;
    // The output's permission bits afterwards: the old file's, or for a new file what the
    // umask (002) leaves of 0666.
    const std::string written = s.output == "link.wav" ? "store/real.wav" : s.output;
    mode_t mode = 0664;
    {
        Layout plain(s);
        if (!plain.made) GTEST_SKIP() << "cannot be set up here";
        before = snapshot(plain.dir.path);
        if (before.contains(written)) mode = modeOf(plain.dir / written);
        const fs::path log = plain.dir.path.string() + ".log";
        traced(s, plain.dir.path, log, {});
        if (s.given) given.push_back(s.given(readTrace(log)));
        fs::remove(log);
        if (s.given && given.back().empty()) GTEST_SKIP() << "the failure the situation needs cannot be made here";
        if (s.given && given.back().starts_with("inject=" + call + ":")) GTEST_SKIP() << "the situation itself fails this call";
    }
    Trace clean;
    Files done = before;
    done[written] = converted();
    {
        Layout layout(s);
        const fs::path log = layout.dir.path.string() + ".log";
        const RunResult r = traced(s, layout.dir.path, log, given);
        clean = readTrace(log);
        fs::remove(log);
        ASSERT_EQ(r.status, 0) << "the clean run fails: " << r.err;
        ASSERT_EQ(differences(done, snapshot(layout.dir.path)), "") << "the clean run's files are wrong: " << r.err;
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

    // The loader's calls come first and fail before the program runs: the sweep starts at the
    // input's opening.
    const int calls = clean.count(call);
    const int first = std::max(1, clean.numberAfter(call, "\"" + s.input + "\""));
    for (int k = first; k <= calls; ++k) {
        SCOPED_TRACE(call + " #" + std::to_string(k) + " of " + std::to_string(calls) + " fails");
        Layout layout(s);
        const fs::path log = layout.dir.path.string() + ".log";
        std::vector<std::string> inject = given;
        inject.push_back("inject=" + call + ":error=ENOSPC:when=" + std::to_string(k));
        const RunResult r = traced(s, layout.dir.path, log, inject);
        std::ifstream in(log);
        const bool injected = std::string(std::istreambuf_iterator<char>(in), {}).find(" (INJECTED)") != std::string::npos;
        fs::remove(log);
        EXPECT_TRUE(injected) << "the call was never failed";
        const Files after = snapshot(layout.dir.path);
        if (r.status == 0) {
            // Where no temporary file could be made or named, the file itself was written, and
            // its other names see the new bytes too.
            Files rewritten = done;
            if (!s.alias.empty()) rewritten[s.alias] = converted();
            if (after != rewritten) {
                EXPECT_EQ(differences(done, after), "") << "exit 0 without the complete conversion, or with something else";
            }
            EXPECT_EQ(modeOf(layout.dir / written), mode) << "exit 0 without the old file's permission bits";
            continue;
        }
        if (after == before) continue;
        // The two outcomes that cannot be undone: a name given that could not be made durable
        // (the directory's sync, the last one), and a file written over itself that fails
        // after its first write, which may hold new bytes where the write got to.
        const bool lastSync = call == "fsync" && k == calls;
        if (lastSync && after == done) continue;
        if (s.rewrites) {
            Files rest = after;
            Files restBefore = before;
            const std::string written = after.contains(s.output) ? after.at(s.output) : "";
            rest.erase(s.output);
            restBefore.erase(s.output);
            bool mixed = rest == restBefore && written.size() <= std::max(converted().size(), before.at(s.output).size());
            for (std::size_t i = 0; mixed && i < written.size(); ++i) {
                const std::string& old = before.at(s.output);
                mixed = (i < converted().size() && written[i] == converted()[i]) || (i < old.size() && written[i] == old[i]) || written[i] == 0;
            }
            if (mixed) continue;
        }
        ADD_FAILURE() << "exit " << r.status << " and the files changed:" << differences(before, after);
    }
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
