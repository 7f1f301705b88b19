// No failure of the write costs a byte of an existing file or leaves a file behind, and every
// conversion the system allows goes through. Failures are made as users meet them: small file
// systems, file-size limits, directories of other users, deep paths, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>

#include "support/support.h"

namespace {

using namespace testing_support;
using Files = std::map<std::string, std::string>;

const Format kStereo16{};
const int kNobody = 65534;
const std::string kOld = "the user's precious old bytes";

// The clip and what velto must make of it.
const std::string kData = noise(600000, 42);
const std::string kClip = canonicalWav(kStereo16, kData);
const std::string kScrambled = canonicalWav(kStereo16, mirrored(kData, 16, 2));

// File systems mounted for one case, unmounted when it ends.
struct Mounts {
    std::vector<fs::path> points;
    bool fileSystem(const fs::path& at, const char* options, const char* type = "tmpfs") {
        fs::create_directory(at);
        if (mount(type, at.c_str(), type, 0, options) != 0) return false;
        points.push_back(at);
        return true;
    }
    bool bind(const fs::path& from, const fs::path& at) {
        if (mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        points.push_back(at);
        return true;
    }
    ~Mounts() {
        for (auto it = points.rbegin(); it != points.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
};

void owned(const fs::path& p, mode_t mode, int user = 0) {
    ASSERT_EQ(chown(p.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(user)), 0);
    ASSERT_EQ(chmod(p.c_str(), mode), 0);
}

// A directory path of `length` bytes below `dir`, in components the system takes.
std::string deepPath(std::size_t length) {
    std::string path;
    while (path.size() + 201 < length) path += std::string(200, 'd') + "/";
    path += std::string(length - path.size(), 'e');
    return path;
}

struct Case {
    const char* name;
    // Lays out the files beside in.wav; returns false when the case cannot be made here.
    std::function<bool(const fs::path& dir, Mounts& mounts, RunOptions& options)> setup;
    std::string output;  // the output name velto is given
    int status;
    std::string errTail;  // how standard error ends, in UTF-8
    Files after;          // every file below the directory afterwards, in.wav included
};

TEST(OutputSafety, NoFailureCostsAByteOrLeavesAFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: mounts small file systems and runs as another user";
    const std::string deep = deepPath(4085 - (fs::temp_directory_path() / "velto-test-XXXXXX/").string().size());
    const fs::path deepCwd = deepPath(4300);
    const std::string after = "[bytes]\n";  // the data length line, before the writer's messages
    auto tinyFs = [](const char* options, const char* type = "tmpfs") {
        return [=](const fs::path& dir, Mounts& m, RunOptions&) {
            return m.fileSystem(dir / "m", options, type) && (writeFile(dir / "m/out.wav", kOld), true);
        };
    };
    auto asNobody = [](const char* sub, mode_t dirMode, mode_t fileMode, int fileOwner, long long limit) {
        return [=](const fs::path& dir, Mounts&, RunOptions& o) {
            fs::create_directory(dir / sub);
            writeFile(dir / sub / "out.wav", kOld);
            owned(dir / sub, dirMode);
            owned(dir / sub / "out.wav", fileMode, fileOwner);
            o.user = kNobody;
            o.fileSizeLimit = limit;
            return true;
        };
    };
    auto sizeLimit = [](long long limit, std::function<void(const fs::path&)> lay) {
        return [=](const fs::path& dir, Mounts&, RunOptions& o) {
            lay(dir);
            o.fileSizeLimit = limit;
            return true;
        };
    };
    auto nothing = [](const fs::path&) {};
    const std::vector<Case> cases = {
        // The other rows run on /tmp, which takes direct writes where it is on a disk.
        {"a file system without direct writes", tinyFs("", "ramfs"), "m/out.wav", 0, "",
         {{"in.wav", kClip}, {"m/out.wav", kScrambled}}},
        {"no inode for a temporary file, room for the bytes: the file itself is rewritten",
         tinyFs("size=2m,nr_inodes=2"), "m/out.wav", 0, "",
         {{"in.wav", kClip}, {"m/out.wav", kScrambled}}},
        {"no inode and no room: the file is left as it was", tinyFs("size=300k,nr_inodes=2"),
         "m/out.wav", 255, after + kWriteFailed, {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {"no room for the new bytes: the temporary file goes", tinyFs("size=300k,nr_inodes=64"),
         "m/out.wav", 255, kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {"file-size limit, in place", sizeLimit(100000, nothing), "in.wav", 255, kWriteFailed + kDataWriteFailed,
         {{"in.wav", kClip}}},
        {"file-size limit over another file",
         sizeLimit(100000, [](const fs::path& d) { writeFile(d / "old.wav", kOld); }), "old.wav", 255,
         kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {"old.wav", kOld}}},
        {"a directory the user may not write: the file itself is rewritten",
         asNobody("locked", 0755, 0666, 0, -1), "locked/out.wav", 0, "",
         {{"in.wav", kClip}, {"locked/out.wav", kScrambled}}},
        {"the same with a file-size limit: no room can be reserved, nothing changes",
         asNobody("locked", 0755, 0666, 0, 100000), "locked/out.wav", 255, after + kWriteFailed,
         {{"in.wav", kClip}, {"locked/out.wav", kOld}}},
        {"another user's writable file in a sticky directory: its bytes are replaced",
         asNobody("sticky", 01777, 0666, 0, -1), "sticky/out.wav", 0, "",
         {{"in.wav", kClip}, {"sticky/out.wav", kScrambled}}},
        {"another user's read-only file: refused", asNobody("open", 0777, 0644, 0, -1), "open/out.wav",
         255, "open/out.wav" + kCannotOpen, {{"in.wav", kClip}, {"open/out.wav", kOld}}},
        {"a file mounted over: its bytes are replaced",
         [](const fs::path& dir, Mounts& m, RunOptions&) {
             writeFile(dir / "out.wav", "hidden");
             writeFile(dir / "src.wav", kOld);
             return m.bind(dir / "src.wav", dir / "out.wav");
         },
         "out.wav", 0, "", {{"in.wav", kClip}, {"out.wav", kScrambled}, {"src.wav", kScrambled}}},
        {"a dangling symbolic link and a failing write: nothing at its target",
         sizeLimit(100000,
                   [](const fs::path& d) {
                       fs::create_directory(d / "store");
                       fs::create_symlink("store/new.wav", d / "link.wav");
                   }),
         "link.wav", 255, kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {"link.wav", "-> store/new.wav"}}},
        // The temporary file is made beside the link's target, where the user may write, and
        // renamed there: the target's other hard link keeps the old bytes.
        {"a link in a locked directory to a file with another hard link",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             fs::create_directories(dir / "locked");
             fs::create_directories(dir / "open");
             writeFile(dir / "open/real.wav", kOld);
             fs::create_hard_link(dir / "open/real.wav", dir / "open/other.wav");
             fs::create_symlink("../open/real.wav", dir / "locked/link.wav");
             owned(dir / "open/real.wav", 0644, kNobody);
             owned(dir / "open", 0777);
             o.user = kNobody;
             return true;
         },
         "locked/link.wav", 0, "",
         {{"in.wav", kClip}, {"locked/link.wav", "-> ../open/real.wav"},
          {"open/other.wav", kOld}, {"open/real.wav", kScrambled}}},
        {"an output directory path near the system's limit",
         [=](const fs::path& dir, Mounts&, RunOptions&) { return makeDirectories(dir, deep), true; },
         "DEEP/out.wav", 0, "", {{"in.wav", kClip}, {deep + "/out.wav", kScrambled}}},
        {"the same, in place, with a file-size limit",
         [=](const fs::path& dir, Mounts&, RunOptions& o) {
             makeDirectories(dir, deep);
             std::ofstream(dir / deep / "in.wav", std::ios::binary) << kClip;
             o.fileSizeLimit = 100000;
             return true;
         },
         "DEEP/in.wav", 255, kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {deep + "/in.wav", kClip}}},
        {"a working directory deeper than the system's limit",
         [=](const fs::path& dir, Mounts&, RunOptions& o) {
             makeDirectories(dir, deepCwd);
             o.workDir = dir / deepCwd;
             return true;
         },
         "out.wav", 0, "", {{"in.wav", kClip}, {deepCwd.string() + "/out.wav", kScrambled}}},
        {"an empty output name", sizeLimit(-1, nothing), "", 255, after + kCannotOpen, {{"in.wav", kClip}}},
    };
    int ran = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        owned(dir.path, 0755);
        writeFile(dir / "in.wav", kClip);
        RunOptions options{.workDir = dir.path};
        Mounts mounts;
        if (!c.setup(dir.path, mounts, options)) {
            std::cout << "  skipped, cannot be set up here: " << c.name << "\n";
            continue;
        }
        ++ran;
        std::string output = c.output;
        if (output.starts_with("DEEP/")) output = (dir / deep / output.substr(5)).string();
        std::string input = options.workDir == dir.path ? "in.wav" : (dir / "in.wav").string();
        if (output.ends_with("in.wav")) input = output;  // in place
        const RunResult r = runVelto({input, output}, options);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(r.err.ends_with(toCp932(c.errTail))) << r.err;
        const Files files = snapshot(dir.path);
        EXPECT_EQ(files.size(), c.after.size());
        for (const auto& [name, bytes] : c.after) {
            const auto found = files.find(name);
            if (found == files.end()) {
                ADD_FAILURE() << "missing: " << name.substr(0, 60);
            } else if (found->second != bytes) {
                ADD_FAILURE() << "changed: " << name.substr(0, 60) << " (" << found->second.size() << " bytes)";
            }
        }
        for (const auto& [name, bytes] : files) {
            if (!c.after.contains(name)) ADD_FAILURE() << "left behind: " << name.substr(0, 120);
        }
    }
    if (ran == 0) GTEST_SKIP() << "no case could be set up here";
}

// Runs velto under strace with every fsync held for a while, sends `sig` once the first fsync
// has begun, and returns the wait status (or -1 when anything missed its deadline).
int signalDuringSync(const fs::path& dir, const std::string& output, int sig, bool nohup) {
    const fs::path log = dir.parent_path() / "strace.log";
    const pid_t tracer = fork();
    if (tracer == 0) {
        if (chdir(dir.c_str()) != 0) _exit(121);
        resetSignals();
        if (nohup) std::signal(SIGHUP, SIG_IGN);
        // LeakSanitizer cannot work under a tracer.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        alarm(60);
        execlp("strace", "strace", "-f", "-o", log.c_str(), "-e", "trace=fsync",
               "-e", "inject=fsync:delay_enter=1s", veltoPath(), "in.wav", output.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    pid_t velto = -1;
    int status = 0;
    while (velto < 0 && Clock::now() < deadline) {
        if (waitpid(tracer, &status, WNOHANG) == tracer) return status;  // ended with no sync

        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("fsync(") != std::string::npos) velto = std::stoi(line);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (velto > 0) kill(velto, sig);
    while (Clock::now() < deadline) {
        if (waitpid(tracer, &status, WNOHANG) == tracer) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(tracer, SIGKILL);
    waitpid(tracer, &status, 0);
    return -1;
}

TEST(OutputSafety, ASignalWhileTheOutputIsSyncedLeavesNothingBehind) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    struct SignalCase {
        const char* name;
        int sig;
        bool nohup;
        std::string output;
        bool completes;
    };
    const std::vector<SignalCase> cases = {
        {"SIGKILL, new output", SIGKILL, false, "out.wav", false},
        {"SIGKILL over an existing file", SIGKILL, false, "old.wav", false},
        {"SIGTERM, in place", SIGTERM, false, "in.wav", false},
        {"SIGINT over an existing file", SIGINT, false, "old.wav", false},
        {"SIGHUP under nohup: the run goes on", SIGHUP, true, "out.wav", true},
    };
    for (const SignalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir top;
        const fs::path dir = top / "work";
        fs::create_directory(dir);
        writeFile(dir / "in.wav", kClip);
        writeFile(dir / "old.wav", kOld);
        const int status = signalDuringSync(dir, c.output, c.sig, c.nohup);
        ASSERT_NE(status, -1) << "no fsync seen, or the run did not end";
        // strace passes on the way its tracee ended.
        EXPECT_EQ(WIFEXITED(status) && WEXITSTATUS(status) == 0, c.completes) << status;
        Files expected = {{"in.wav", kClip}, {"old.wav", kOld}};
        if (c.completes) expected[c.output] = kScrambled;
        EXPECT_EQ(snapshot(dir), expected);
    }
}

}  // namespace
