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

const std::string kOld = "the user's precious old bytes";

// The tables name the larger files by these marks, which stand for their bytes once a row
// runs, so that the tables cost nothing until then.
const std::string kClip = "@clip";            // the clip converted
const std::string kScrambled = "@scrambled";  // what velto must make of it
const std::string kLongOld = "@long-old";     // an old file longer than the output

const std::string& clipData() {
    static const std::string data = noise(600000, 42);
    return data;
}

std::string bytesOf(const std::string& mark) {
    if (mark == kClip) return canonicalWav(kStereo16, clipData());
    if (mark == kScrambled) return canonicalWav(kStereo16, mirrored(clipData(), 16, 2));
    if (mark == kLongOld) return noise(2000000, 5);
    return mark;
}

void put(const fs::path& p, const std::string& mark) { writeFile(p, bytesOf(mark)); }

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
    // A directory made append-only, opened up again at the end so that it can be removed.
    std::vector<fs::path> growing;
    bool appendOnly(const fs::path& dir) {
        if (std::system(("chattr +a '" + dir.string() + "' 2>/dev/null").c_str()) != 0) return false;
        growing.push_back(dir);
        return true;
    }
    ~Mounts() {
        for (const fs::path& dir : growing) std::system(("chattr -a '" + dir.string() + "'").c_str());
        for (auto it = points.rbegin(); it != points.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
};


// A directory path of `length` bytes below `dir`, in components the system takes.
std::string deepPath(std::size_t length) {
    std::string path;
    while (path.size() + 201 < length) path += std::string(200, 'd') + "/";
    path += std::string(length - path.size(), 'e');
    return path;
}

// One way of meeting the output, as a user would. The run is `velto in.wav OUTPUT` in the
// scratch directory, unless the row says otherwise.
struct Case {
    const char* name;
    // Lays out the files beside in.wav; false when the case cannot be made here.
    std::function<bool(const fs::path& dir, Mounts& mounts, RunOptions& options)> setup;
    std::string output;      // the output name velto is given
    bool inPlace = false;    // the input is the output itself
    bool deep = false;       // the output name is below the deep directory
    std::string shell;       // instead: this bash command, run with $0 set to velto
    int status = 0;
    std::string errTail;     // how standard error ends, in UTF-8
    Files after;             // the files below the directory afterwards, in.wav included
    bool onlyThese = true;   // no other file may be there
    bool rewrites = false;   // the existing file is written over itself
    bool attributes = false; // extended attributes are kept
};

// Builds of the plain POSIX code never write a file over itself (where that would be the only
// way, they fail and leave the file as it was), keep no extended attributes, and name their
// temporary files, which SIGKILL can then leave behind.
constexpr bool kLinuxFeatures = VELTO_LINUX_FEATURES;

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Mounts a file system made by `mkfs` on an image file of `megabytes` at `at`.
bool imageFileSystem(const fs::path& dir, const std::string& mkfs, int megabytes, const fs::path& at) {
    const fs::path image = dir.parent_path() / (dir.filename().string() + ".img");
    fs::create_directory(at);
    const std::string make = "truncate -s " + std::to_string(megabytes) + "M '" + image.string() + "' && " + mkfs +
                             " '" + image.string() + "' >/dev/null 2>&1 && mount -o loop '" + image.string() + "' '" +
                             at.string() + "' 2>/dev/null";
    const bool made = std::system(make.c_str()) == 0;
    fs::remove(image);  // the mount keeps it while it is needed
    return made;
}

const std::string kAfterData = "[bytes]\n";  // the data length line, before the writer's messages
const std::string kDeep = deepPath(4085 - (fs::temp_directory_path() / "velto-test-XXXXXX/").string().size());
const fs::path kDeepCwd = deepPath(4300);

auto tinyFs(const char* options, const char* type = "tmpfs") {
    return [=](const fs::path& dir, Mounts& m, RunOptions&) {
        return m.fileSystem(dir / "m", options, type) && (writeFile(dir / "m/out.wav", kOld), true);
    };
}

// A directory `sub` of `dirMode` holding out.wav (`old`, `fileMode`, owned by `fileOwner`),
// written by user nobody.
auto asNobody(const char* sub, mode_t dirMode, mode_t fileMode, int fileOwner, long long limit,
              const std::string& old = kOld) {
    return [=](const fs::path& dir, Mounts&, RunOptions& o) {
        fs::create_directory(dir / sub);
        put(dir / sub / "out.wav", old);
        owned(dir / sub, dirMode);
        owned(dir / sub / "out.wav", fileMode, fileOwner);
        o.user = kNobody;
        o.fileSizeLimit = limit;
        return true;
    };
}

auto sizeLimit(long long limit, std::function<void(const fs::path&)> lay) {
    return [=](const fs::path& dir, Mounts&, RunOptions& o) {
        lay(dir);
        o.fileSizeLimit = limit;
        return true;
    };
}

void nothing(const fs::path&) {}

// out.wav of `mode` owned by `owner` in the directory `sub` (of `dirMode`, root's), converted by
// user nobody; notes/ takes what the row's command finds afterwards.
auto modeRow(const char* sub, mode_t dirMode, mode_t mode, int owner, bool growing = false) {
    return [=](const fs::path& dir, Mounts& m, RunOptions& o) {
        fs::create_directory(dir / sub);
        fs::create_directory(dir / "notes");
        owned(dir / "notes", 0777);
        put(dir / sub / "out.wav", kOld);
        owned(dir / sub / "out.wav", mode, owner);
        owned(dir / sub, dirMode);
        o.user = kNobody;
        return !growing || m.appendOnly(dir / sub);
    };
}

bool linksProtected() {
    std::ifstream in("/proc/sys/fs/protected_symlinks");
    int value = 0;
    return (in >> value) && value == 1;
}

// A sticky world-writable directory pub/ where user nobody has planted `link` to `target`.
auto plantedLink(const char* link, const char* target) {
    return [=](const fs::path& dir, Mounts&, RunOptions&) {
        if (!linksProtected()) return false;
        fs::create_directory(dir / "pub");
        owned(dir / "pub", 01777);
        writeFile(dir / "victim.wav", kOld);
        owned(dir / "victim.wav", 0600);
        fs::create_symlink(target, dir / "pub" / link);
        return lchown((dir / "pub" / link).c_str(), kNobody, kNobody) == 0;
    };
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        // The other rows run on /tmp, which takes direct writes where it is on a disk.
        {"a file system without direct writes", tinyFs("", "ramfs"), "m/out.wav", false, false, "", 0, "",
         {{"in.wav", kClip}, {"m/out.wav", kScrambled}}},
        {"no inode for a temporary file, room for the bytes: the file itself is rewritten",
         tinyFs("size=2m,nr_inodes=2"), "m/out.wav", false, false, "", 0, "", {{"in.wav", kClip}, {"m/out.wav", kScrambled}},
         true, true},
        {"no inode and no room: the file is left as it was", tinyFs("size=300k,nr_inodes=2"), "m/out.wav", false, false, "",
         255, kAfterData + kWriteFailed, {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {"no room for the new bytes: the temporary file goes", tinyFs("size=300k,nr_inodes=64"), "m/out.wav", false, false,
         "", 255, kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {"file-size limit, in place", sizeLimit(100000, nothing), "in.wav", true, false, "", 255,
         kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}}},
        {"file-size limit over another file", sizeLimit(100000, [](const fs::path& d) { put(d / "old.wav", kOld); }),
         "old.wav", false, false, "", 255, kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {"old.wav", kOld}}},
        {"a directory the user may not write: the file itself is rewritten", asNobody("locked", 0755, 0666, 0, -1),
         "locked/out.wav", false, false, "", 0, "", {{"in.wav", kClip}, {"locked/out.wav", kScrambled}}, true, true},
        {"the same over a longer file: it ends where the output does", asNobody("locked", 0755, 0666, 0, -1, kLongOld),
         "locked/out.wav", false, false, "", 0, "", {{"in.wav", kClip}, {"locked/out.wav", kScrambled}}, true, true},
        {"the same with a file-size limit: no room can be reserved, nothing changes",
         asNobody("locked", 0755, 0666, 0, 100000), "locked/out.wav", false, false, "", 255, kAfterData + kWriteFailed,
         {{"in.wav", kClip}, {"locked/out.wav", kOld}}},
        {"another user's writable file in a sticky directory: its bytes are replaced",
         asNobody("sticky", 01777, 0666, 0, -1), "sticky/out.wav", false, false, "", 0, "",
         {{"in.wav", kClip}, {"sticky/out.wav", kScrambled}}, true, true},
        {"another user's read-only file: refused", asNobody("open", 0777, 0644, 0, -1), "open/out.wav", false, false, "",
         255, "open/out.wav" + kCannotOpen, {{"in.wav", kClip}, {"open/out.wav", kOld}}},
        // Setuid and setgid are cleared by the system when another user writes a file: they
        // must be given back after the last write.
        {"a user's own setuid and setgid file keeps both bits",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             fs::create_directory(dir / "mine");
             put(dir / "mine/out.wav", kOld);
             owned(dir / "mine", 0755, kNobody);
             owned(dir / "mine/out.wav", 06755, kNobody);
             o.user = kNobody;
             return true;
         },
         "", false, false, "\"$0\" in.wav mine/out.wav && stat -c %a mine/out.wav > mine/mode.txt", 0, "",
         {{"in.wav", kClip}, {"mine/out.wav", kScrambled}, {"mine/mode.txt", "6755\n"}}},
        {"setuid is not handed to a new owner", modeRow("open", 0777, 04666, 0), "", false, false,
         "\"$0\" in.wav open/out.wav && stat -c '%a %U' open/out.wav > notes/mode.txt", 0, "",
         {{"in.wav", kClip}, {"open/out.wav", kScrambled}, {"notes/mode.txt", "666 nobody\n"}}},
        {"a user's own setuid file written over itself keeps the bit", modeRow("locked", 0755, 04755, kNobody), "",
         false, false, "\"$0\" in.wav locked/out.wav && stat -c '%a %U' locked/out.wav > notes/mode.txt", 0, "",
         {{"in.wav", kClip}, {"locked/out.wav", kScrambled}, {"notes/mode.txt", "4755 nobody\n"}}, true, true},
        {"the same, copied over in a directory that only grows", modeRow("grows", 0777, 04755, kNobody, true), "",
         false, false, "\"$0\" in.wav grows/out.wav && stat -c '%a %U' grows/out.wav > notes/mode.txt", 0, "",
         {{"in.wav", kClip}, {"grows/out.wav", kScrambled}, {"notes/mode.txt", "4755 nobody\n"}}, true, true},
        {"a replaced file keeps its access list and extended attributes",
         [](const fs::path& dir, Mounts&, RunOptions&) {
             put(dir / "old.wav", kOld);
             return std::system(("cd '" + dir.string() + "' && chmod 640 old.wav && setfacl -m u:nobody:rw old.wav && "
                                 "setfattr -n user.note -v kept old.wav").c_str()) == 0;
         },
         "", false, false,
         "\"$0\" in.wav old.wav && getfacl -c old.wav > acl.txt && getfattr --only-values -n user.note old.wav > note.txt",
         0, "",
         {{"in.wav", kClip}, {"old.wav", kScrambled}, {"note.txt", "kept"},
          {"acl.txt", "user::rw-\nuser:nobody:rw-\ngroup::r--\nmask::rw-\nother::---\n\n"}},
         true, false, true},
        {"a directory that may be written but not read: a new file all the same",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             fs::create_directory(dir / "drop");
             owned(dir / "drop", 0333, kNobody);
             o.user = kNobody;
             return true;
         },
         "drop/out.wav", false, false, "", 0, "", {{"in.wav", kClip}, {"drop/out.wav", kScrambled}}},
        {"a file mounted over: its bytes are replaced",
         [](const fs::path& dir, Mounts& m, RunOptions&) {
             put(dir / "out.wav", "hidden");
             put(dir / "src.wav", kOld);
             return m.bind(dir / "src.wav", dir / "out.wav");
         },
         "out.wav", false, false, "", 0, "", {{"in.wav", kClip}, {"out.wav", kScrambled}, {"src.wav", kScrambled}},
         true, true},
        {"a dangling symbolic link and a failing write: nothing at its target",
         sizeLimit(100000,
                   [](const fs::path& d) {
                       fs::create_directory(d / "store");
                       fs::create_symlink("store/new.wav", d / "link.wav");
                   }),
         "link.wav", false, false, "", 255, kWriteFailed + kDataWriteFailed,
         {{"in.wav", kClip}, {"link.wav", "-> store/new.wav"}}},
        // The temporary file is made beside the link's target, where the user may write, and
        // renamed there: the target's other hard link keeps the old bytes.
        {"a link in a locked directory to a file with another hard link",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             fs::create_directories(dir / "locked");
             fs::create_directories(dir / "open");
             put(dir / "open/real.wav", kOld);
             fs::create_hard_link(dir / "open/real.wav", dir / "open/other.wav");
             fs::create_symlink("../open/real.wav", dir / "locked/link.wav");
             owned(dir / "open/real.wav", 0644, kNobody);
             owned(dir / "open", 0777);
             o.user = kNobody;
             return true;
         },
         "locked/link.wav", false, false, "", 0, "",
         {{"in.wav", kClip}, {"locked/link.wav", "-> ../open/real.wav"}, {"open/other.wav", kOld},
          {"open/real.wav", kScrambled}}},
        // As the system refuses to follow them for anyone but their owner and the directory's.
        {"another user's link in a sticky world-writable directory: refused", plantedLink("out.wav", "../victim.wav"),
         "pub/out.wav", false, false, "", 255, "pub/out.wav" + kCannotOpen,
         {{"in.wav", kClip}, {"victim.wav", kOld}, {"pub/out.wav", "-> ../victim.wav"}}},
        {"the same, dangling: nothing is made where it points", plantedLink("new.wav", "../made.wav"), "pub/new.wav",
         false, false, "", 255, "pub/new.wav" + kCannotOpen,
         {{"in.wav", kClip}, {"victim.wav", kOld}, {"pub/new.wav", "-> ../made.wav"}}},
        {"a copy-on-write file system cannot promise room: a locked file is left as it was",
         [](const fs::path& dir, Mounts& m, RunOptions& o) {
             if (!imageFileSystem(dir, "mkfs.btrfs -f", 300, dir / "m")) return false;
             m.points.push_back(dir / "m");
             return asNobody("m/locked", 0755, 0666, 0, -1)(dir, m, o);
         },
         "m/locked/out.wav", false, false, "", 255, kAfterData + kWriteFailed,
         {{"in.wav", kClip}, {"m/locked/out.wav", kOld}}, false},
        {"a file system that cannot reserve room: a locked file is left as it was",
         [](const fs::path& dir, Mounts& m, RunOptions& o) {
             return m.fileSystem(dir / "m", "", "ramfs") && asNobody("m/locked", 0755, 0666, 0, -1)(dir, m, o);
         },
         "m/locked/out.wav", false, false, "", 255, kAfterData + kWriteFailed,
         {{"in.wav", kClip}, {"m/locked/out.wav", kOld}}, false},
        {"a link that cannot be read is a failure, not a name to replace",
         [](const fs::path& dir, Mounts&, RunOptions&) {
             fs::create_directory(dir / "store");
             put(dir / "store/real.wav", kOld);
             fs::create_symlink("store/real.wav", dir / "link.wav");
             return std::system("strace -V >/dev/null 2>&1") == 0;
         },
         "", false, false,
         "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P link.wav -e trace=newfstatat "
         "-e inject=newfstatat:error=EIO:when=2 \"$0\" in.wav link.wav",
         255, "link.wav" + kCannotOpen, {{"in.wav", kClip}, {"store/real.wav", kOld}, {"link.wav", "-> store/real.wav"}}},
        {"a full disk file system refuses the room: the file keeps its length",
         [](const fs::path& dir, Mounts& m, RunOptions& o) {
             if (!imageFileSystem(dir, "mkfs.ext4 -q -F", 8, dir / "m")) return false;
             m.points.push_back(dir / "m");
             asNobody("m/locked", 0755, 0666, 0, -1)(dir, m, o);
             return std::system(("dd if=/dev/zero of='" + (dir / "m/fill").string() + "' bs=64k 2>/dev/null; sync").c_str()) == 0 ||
                    true;
         },
         "m/locked/out.wav", false, false, "", 255, kAfterData + kWriteFailed,
         {{"in.wav", kClip}, {"m/locked/out.wav", kOld}}, false},
        {"a clip of more than one 64 MiB write",
         [](const fs::path& dir, Mounts&, RunOptions&) {
             const std::string data = noise((std::size_t{65} << 20) + 4000, 9);
             writeFile(dir / "big.wav", canonicalWav(kStereo16, data));
             writeFile(dir / "expected.wav", canonicalWav(kStereo16, mirrored(data, 16, 2)));
             return true;
         },
         "", false, false, "\"$0\" big.wav out.wav && cmp -s out.wav expected.wav", 0, "", {{"in.wav", kClip}}, false},
        {"an output directory path near the system's limit",
         [](const fs::path& dir, Mounts&, RunOptions&) { return makeDirectories(dir, kDeep), true; }, "out.wav", false,
         true, "", 0, "", {{"in.wav", kClip}, {kDeep + "/out.wav", kScrambled}}},
        {"the same, in place, with a file-size limit",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             makeDirectories(dir, kDeep);
             put(dir / kDeep / "in.wav", kClip);
             o.fileSizeLimit = 100000;
             return true;
         },
         "in.wav", true, true, "", 255, kWriteFailed + kDataWriteFailed, {{"in.wav", kClip}, {kDeep + "/in.wav", kClip}}},
        {"a working directory deeper than the system's limit",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             makeDirectories(dir, kDeepCwd);
             o.workDir = dir / kDeepCwd;
             return true;
         },
         "out.wav", false, false, "", 0, "", {{"in.wav", kClip}, {kDeepCwd.string() + "/out.wav", kScrambled}}},
        {"an empty output name", sizeLimit(-1, nothing), "", false, false, "", 255, kAfterData + kCannotOpen,
         {{"in.wav", kClip}}},
        {"a file in the root directory", [](const fs::path& dir, Mounts&, RunOptions&) {
             return put(dir / "expected.wav", kScrambled), true;
         },
         "", false, false, "f=/.velto-test-$$.wav; \"$0\" in.wav $f; s=$?; cmp -s $f expected.wav || s=99; rm -f $f; exit $s",
         0, "", {{"in.wav", kClip}, {"expected.wav", kScrambled}}},
        {"a pipe named by its descriptor", sizeLimit(-1, nothing), "",
         false, false, "set -o pipefail; \"$0\" in.wav /dev/fd/3 3>&1 >/dev/null | cat > piped.wav", 0, "",
         {{"in.wav", kClip}, {"piped.wav", kScrambled}}},
        {"a deleted file's descriptor is written, no file of its name is made", sizeLimit(-1, nothing), "", false, false,
         "exec 7>gone.wav && rm gone.wav && \"$0\" in.wav /proc/self/fd/7", 0, "", {{"in.wav", kClip}}},
        {"a block device is synced: a failing sync fails the run",
         [](const fs::path& dir, Mounts&, RunOptions&) {
             return std::system("strace -V >/dev/null 2>&1") == 0 &&
                    std::system(("truncate -s 1M '" + (dir / "disk").string() + "'").c_str()) == 0;
         },
         "", false, false,
         "d=$(losetup -f --show disk) || exit 99; ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fsync -e inject=fsync:error=EIO "
         "\"$0\" in.wav $d; s=$?; losetup -d $d; exit $s",
         255, kWriteFailed, {{"in.wav", kClip}}, false},
        {"twelve runs making one new output at once all succeed",
         sizeLimit(-1, nothing), "", false, false,
         "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do \"$0\" in.wav out.wav & done; s=0; "
         "for p in $(jobs -p); do wait $p || s=1; done; exit $s",
         0, "", {{"in.wav", kClip}, {"out.wav", kScrambled}}},
        // The second run waits for the first, held in its first write, to finish; it then
        // reads the converted file and converts it back.
        {"a second run in place waits for the first to finish its rewrite",
         [](const fs::path& dir, Mounts&, RunOptions& o) {
             if (std::system("strace -V >/dev/null 2>&1") != 0) return false;
             fs::create_directory(dir / "locked");
             put(dir / "locked/in.wav", kClip);
             owned(dir / "locked/in.wav", 0666, 0);
             owned(dir / "locked", 0755);
             o.user = kNobody;
             return true;
         },
         "", false, false,
         "f=locked/in.wav; ASAN_OPTIONS=detect_leaks=0 strace -f -o /tmp/velto-hold-$$ -e trace=pwrite64 -e inject=pwrite64:delay_enter=1s:when=1 "
         "\"$0\" $f $f & until grep -qs pwrite64 /tmp/velto-hold-$$ || ! kill -0 $! 2>/dev/null; do sleep 0.01; done; "
         "\"$0\" $f $f; s=$?; "
         "wait $! || s=1; rm -f /tmp/velto-hold-$$; exit $s",
         0, "", {{"in.wav", kClip}, {"locked/in.wav", kClip}}, true, true},
    };
    return all;
}

class OutputSafety : public ::testing::TestWithParam<Case> {};

TEST_P(OutputSafety, NoFailureCostsAByteOrLeavesAFile) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: mounts small file systems and runs as another user";
    const Case& c = GetParam();
    ScratchDir dir;
    owned(dir.path, 0755);
    put(dir / "in.wav", kClip);
    RunOptions options{.workDir = dir.path};
    Mounts mounts;
    if (!c.setup(dir.path, mounts, options)) GTEST_SKIP() << "cannot be set up here";
    if (c.attributes && !kLinuxFeatures) GTEST_SKIP() << "this build keeps no extended attributes";
    Case expected = c;
    if (c.rewrites && !kLinuxFeatures) {
        if (!c.shell.empty()) GTEST_SKIP() << "this build never writes a file over itself";
        expected.status = 255;
        expected.errTail = kAfterData + kWriteFailed;
        expected.after = snapshot(dir.path);
    }
    const std::string output = c.deep ? (dir / kDeep / c.output).string() : c.output;
    const std::string input = c.inPlace ? output : options.workDir == dir.path ? "in.wav" : (dir / "in.wav").string();
    const RunResult r = c.shell.empty() ? runVelto({input, output}, options)
                                        : runProgram("/bin/bash", {"-c", c.shell, veltoPath()}, options);
    EXPECT_EQ(r.status, expected.status) << r.err;
    EXPECT_TRUE(r.err.ends_with(toCp932(expected.errTail))) << r.err;
    const Files files = snapshot(dir.path);
    for (const auto& [name, bytes] : expected.after) {
        const auto found = files.find(name);
        if (found == files.end()) {
            ADD_FAILURE() << "missing: " << name.substr(0, 60);
        } else if (found->second != bytesOf(bytes)) {
            ADD_FAILURE() << "changed: " << name.substr(0, 60) << " (" << found->second.size() << " bytes)";
        }
    }
    for (const auto& [name, bytes] : files) {
        if (c.onlyThese && !expected.after.contains(name)) ADD_FAILURE() << "left behind: " << name.substr(0, 120);
    }
}

INSTANTIATE_TEST_SUITE_P(Output, OutputSafety, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return rowName(row.param.name); });

// Runs velto under strace with the calls of `held` from the `when`th on held for a second,
// sends `sig` once that one has begun, and returns the wait status (or -1 when anything missed its deadline).
int signalWhileHeld(const fs::path& dir, const std::string& input, const std::string& output, int sig, bool nohup,
                    const std::string& held, int when, bool hideProc, int user) {
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
        const std::string trace = "trace=" + held;
        const std::string inject = "inject=" + held + ":delay_enter=1s:when=" + std::to_string(when) + "+";
        const std::string user_ = user >= 0 ? "nobody" : "";
        std::vector<const char*> argv = {"strace", "-f", "-o", log.c_str(), "-e", trace.c_str(), "-e", inject.c_str()};
        if (user >= 0) argv.insert(argv.end(), {"-u", user_.c_str()});
        argv.insert(argv.end(), {veltoPath(), input.c_str(), output.c_str(), nullptr});
        if (hideProc) {
            argv.insert(argv.begin(), {"unshare", "-m", "--propagation", "private", "sh", "-c",
                                       "mount -t tmpfs none /proc && exec \"$@\"", "sh"});
        }
        execvp(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    pid_t velto = -1;
    int status = 0;
    while (velto < 0 && Clock::now() < deadline) {
        if (waitpid(tracer, &status, WNOHANG) == tracer) return status;  // ended with no such call
        std::ifstream in(log);
        int seen = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find(held + "(") != std::string::npos && ++seen == when) velto = std::stoi(line);
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

struct SignalCase {
    const char* name;
    int sig;
    std::string output;
    bool nohup = false;
    bool bigClip = false;         // a clip over 2 MiB, whose buffer another thread faults in
    bool hideProc = false;        // /proc hidden: the temporary file has a name
    bool rewrite = false;         // the file is rewritten in place by user nobody
    std::string held = "fsync";   // the call during which the signal comes
    int when = 1;                 // which of its calls
    bool converted = false;       // the output is the conversion afterwards
    bool completes = false;       // the run ends with status 0
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class Interrupted : public ::testing::TestWithParam<SignalCase> {};

TEST_P(Interrupted, ASignalLeavesEitherTheOldFileOrTheWholeConversionAndNothingElse) {
    const SignalCase& c = GetParam();
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
    if ((c.hideProc || c.rewrite) && geteuid() != 0) GTEST_SKIP() << "needs root";
    if (c.hideProc && kSanitizedBuild) GTEST_SKIP() << "the sanitizers' runtime reads its options from /proc";
    if (c.rewrite && !kLinuxFeatures) GTEST_SKIP() << "this build never writes a file over itself";
    if (c.sig == SIGKILL && !kLinuxFeatures) GTEST_SKIP() << "SIGKILL leaves this build's named temporary file";
    ScratchDir top;
    const fs::path dir = top / "work";
    fs::create_directory(dir);
    const std::string data = c.bigClip ? noise((3u << 20) + 2, 3) : clipData();
    const std::string clip = canonicalWav(kStereo16, data);
    writeFile(dir / "in.wav", clip);
    writeFile(dir / "old.wav", kOld);
    if (c.rewrite) {
        owned(top.path, 0755);
        owned(dir, 0755);
        owned(dir / "in.wav", 0666);
    }
    const int status =
        signalWhileHeld(dir, "in.wav", c.output, c.sig, c.nohup, c.held, c.when, c.hideProc, c.rewrite ? kNobody : -1);
    ASSERT_NE(status, -1) << "the held call never came, or the run did not end";
    // strace passes on the way its tracee ended.
    EXPECT_EQ(WIFEXITED(status) && WEXITSTATUS(status) == 0, c.completes) << status;
    Files expected = {{"in.wav", clip}, {"old.wav", kOld}};
    if (c.converted || c.completes) expected[c.output] = canonicalWav(kStereo16, mirrored(data, 16, 2));
    EXPECT_EQ(snapshot(dir), expected);
}

INSTANTIATE_TEST_SUITE_P(
    WhileWriting, Interrupted,
    ::testing::Values(SignalCase{"SIGKILL, new output", SIGKILL, "out.wav"},
                      SignalCase{"SIGKILL over an existing file", SIGKILL, "old.wav"},
                      SignalCase{"SIGTERM, in place", SIGTERM, "in.wav"},
                      SignalCase{"SIGINT over an existing file", SIGINT, "old.wav"},
                      SignalCase{"SIGHUP under nohup: the run goes on", SIGHUP, "out.wav", true, false, false, false,
                                 "fsync", 1, false, true},
                      SignalCase{"SIGTERM with a clip over 2 MiB", SIGTERM, "out.wav", false, true},
                      SignalCase{"SIGINT, named temporary file", SIGINT, "old.wav", false, false, true},
                      SignalCase{"SIGTERM, new output, named temporary file", SIGTERM, "out.wav", false, false, true},
                      // Once the complete file stands under its name, or velto has begun to write
                      // a file over itself, a signal waits for the run to end, which then says so.
                      SignalCase{"SIGINT during a rewrite in place: it is finished first", SIGINT, "in.wav", false, true,
                                 false, true, "pwrite64", 1, true, true},
                      SignalCase{"SIGTERM while the file takes its name: the run completes", SIGTERM, "in.wav", false,
                                 false, false, false, "renameat", 1, true, true},
                      SignalCase{"SIGINT while a new name is synced: the run completes", SIGINT, "out.wav", false, false,
                                 false, false, "fsync", 2, true, true}),
    [](const auto& row) { return rowName(row.param.name); });

}  // namespace
