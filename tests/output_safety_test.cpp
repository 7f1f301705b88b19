// No failure of the write costs a byte of an existing file or leaves a file behind, and every
// conversion the system allows goes through; where the file under the output name cannot be
// replaced, the run is refused before anything is written. Failures are made as users meet
// them: small file systems, file-size limits, directories and files of other users, file
// attributes, mounts, deep paths, descriptors, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "support/support.h"

namespace {

using namespace testing_support;

const std::string kOld = "the user's precious old bytes";

// The tables name the larger files by these marks, which stand for their bytes once a row
// runs, so that the tables cost nothing until then. A mark may stand inside other bytes.
const std::string kClip = "@clip";            // the clip converted
const std::string kScrambled = "@scrambled";  // what velto must make of it
const std::string kLongOld = "@long-old";     // an old file longer than the output
const std::string kBig = "@big";              // a clip of 3,000,044 bytes
const std::string kOld1044 = "@old-1044";     // an old output of 1,044 bytes

const std::string& clipData() {
    static const std::string data = noise(600000, 42);
    return data;
}

std::string bytesOf(std::string marked) {
    const std::pair<const std::string*, std::function<std::string()>> marks[] = {
        {&kClip, [] { return canonicalWav(kStereo16, clipData()); }},
        {&kScrambled, [] { return canonicalWav(kStereo16, mirrored(clipData(), 16, 2)); }},
        {&kLongOld, [] { return noise(2000000, 5); }},
        {&kBig, [] { return canonicalWav(kStereo16, noise(3000000, 11)); }},
        {&kOld1044, [] { return canonicalWav(kStereo16, noise(1000, 12)); }},
    };
    for (const auto& [mark, bytes] : marks) {
        if (marked.find(*mark) != std::string::npos) marked = replaced(marked, *mark, bytes());
    }
    return marked;
}

void put(const fs::path& p, const std::string& mark) { writeFile(p, bytesOf(mark)); }

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }
std::string quoted(const fs::path& p) {
    std::string q(1, '\'');
    q += p.string();
    return q += '\'';
}

// What a row mounts or changes outside its files, undone when it ends.
struct Mounts {
    std::vector<fs::path> points;
    std::vector<std::string> undo;  // shell commands, run last first before the unmounting
    bool fileSystem(const fs::path& at, const std::string& options, const std::string& type = "tmpfs") {
        if (!mountFileSystem(at, options, type)) return false;
        points.push_back(at);
        return true;
    }
    bool bind(const fs::path& from, const fs::path& at) {
        if (mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        points.push_back(at);
        return true;
    }
    // A file system made by `mkfs` on an image of `megabytes` beside the scratch directory.
    bool image(const fs::path& dir, const std::string& mkfs, int megabytes, const fs::path& at) {
        const fs::path img = dir.string() + ".img";
        fs::create_directory(at);
        const bool made = shell("truncate -s " + std::to_string(megabytes) + "M " + quoted(img) + " && " + mkfs + " " +
                                quoted(img) + " >/dev/null 2>&1 && mount -o loop " + quoted(img) + " " + quoted(at) +
                                " 2>/dev/null");
        fs::remove(img);  // the mount keeps it while it is needed
        if (made) points.push_back(at);
        return made;
    }
    // chattr's `flag` (a: append only, i: immutable) on `p`, taken off again at the end.
    bool attribute(const fs::path& p, const std::string& flag) {
        if (!shell("chattr +" + flag + " " + quoted(p) + " 2>/dev/null")) return false;
        undo.push_back("chattr -" + flag + " " + quoted(p));
        return true;
    }
    ~Mounts() {
        for (auto it = undo.rbegin(); it != undo.rend(); ++it) shell(*it);
        for (auto it = points.rbegin(); it != points.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
};

using Setup = std::function<std::string(const fs::path& dir, Mounts& mounts, RunOptions& options)>;

// Builds of the plain POSIX code name their temporary files, keep no extended attributes or
// access lists, and cannot see append-only directories or a file's own attributes.
constexpr bool kLinuxFeatures = VELTO_LINUX_FEATURES;
const char* const kNoAttributes = "the plain POSIX build keeps no access lists or extended attributes";
const char* const kNoAppendOnly = "the plain POSIX build cannot see append-only directories";

// One way of meeting the output, as a user would. The run is `velto in.wav OUTPUT` in the
// scratch directory, unless the row says otherwise.
struct Case {
    const char* name;
    const char* root = nullptr;      // what the row needs root for, if it does
    const char* portable = nullptr;  // why the plain POSIX build cannot meet the row, if it cannot
    // Lays out the files beside in.wav; returns why the row cannot run here, or nothing.
    Setup setup = [](const fs::path&, Mounts&, RunOptions&) { return std::string(); };
    std::string output;       // the output name velto is given
    bool inPlace = false;     // the input is the output itself
    bool deep = false;        // the output name is below the deep directory
    std::string shell;        // instead: this bash command, run with $0 set to velto
    std::string prepare;      // velto runs in a mount namespace of its own after these commands
    int status = 0;
    std::string errTail;      // how standard error ends, in UTF-8
    std::string portableTail; // the same for the plain POSIX build, where it differs
    Files after;              // the files below the directory afterwards, in.wav included
    bool onlyThese = true;    // no other file may be there
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::string kAfterData = "[bytes]\n";  // the data length line, before the writer's messages
const std::string kAtNaming = kAfterData + kWriteFailed;  // a refusal seen only when naming

// A directory path of `length` bytes below `dir`, in components the system takes.
std::string deepPath(std::size_t length) {
    std::string path;
    while (path.size() + 201 < length) path += std::string(200, 'd') + "/";
    path += std::string(length - path.size(), 'e');
    return path;
}
const std::string kDeep = deepPath(4085 - (fs::temp_directory_path() / "velto-test-XXXXXX/").string().size());
const fs::path kDeepCwd = deepPath(4300);

// /proc hidden, as in a container without it: no file can be named by its descriptor there.
const std::string kHideProc = "mount -t tmpfs none /proc";
// The system's protection of links in sticky directories as velto reads it, for this run only.
std::string linksSetting(int value) {
    return "f=$(mktemp) && echo " + std::to_string(value) +
           " >$f && mount --bind $f /proc/sys/fs/protected_symlinks && rm $f";
}

Setup tinyFs(const std::string& options, const std::string& type = "tmpfs") {
    return [=](const fs::path& dir, Mounts& m, RunOptions&) {
        if (!m.fileSystem(dir / "m", options, type)) return "the system refused to mount " + type;
        writeFile(dir / "m/out.wav", kOld);
        return std::string();
    };
}

// The scratch directory `sub` of `dirMode`, root's, holding out.wav (`old`, `fileMode`, owned
// by `fileOwner`), written by user nobody.
Setup asNobody(const char* sub, mode_t dirMode, mode_t fileMode, int fileOwner, long long limit = -1,
               const std::string& old = kOld) {
    return [=](const fs::path& dir, Mounts&, RunOptions& o) {
        fs::create_directories(dir / sub);
        put(dir / sub / "out.wav", old);
        owned(dir / sub, dirMode);
        owned(dir / sub / "out.wav", fileMode, fileOwner);
        o.user = kNobody;
        o.fileSizeLimit = limit;
        return std::string();
    };
}

Setup sizeLimit(long long limit, std::function<void(const fs::path&)> lay = [](const fs::path&) {}) {
    return [=](const fs::path& dir, Mounts&, RunOptions& o) {
        lay(dir);
        o.fileSizeLimit = limit;
        return std::string();
    };
}

// Gives `p` the mode `mode`; as root it goes to user nobody too, who then makes the run, so
// that the mode binds the run whoever starts the tests.
void forTheRunner(const fs::path& p, mode_t mode, RunOptions& o) {
    if (geteuid() == 0) {
        owned(p, mode, kNobody);
        o.user = kNobody;
    } else {
        fs::permissions(p, static_cast<fs::perms>(mode));
    }
}

// old.wav in the directory `sub` with chattr's `flag` on `on` (the directory or the file).
Setup flagged(const char* sub, const std::string& flag, bool onTheFile) {
    return [=](const fs::path& dir, Mounts& m, RunOptions&) {
        fs::create_directory(dir / sub);
        put(dir / sub / "old.wav", kOld);
        return m.attribute(onTheFile ? dir / sub / "old.wav" : dir / sub, flag)
                   ? std::string()
                   : "needs a file system that takes chattr +" + flag + " (ext4, XFS, btrfs)";
    };
}

// A sticky world-writable directory pub/ where user nobody has planted `link` to `target`.
Setup plantedLink(const char* link, const char* target) {
    return [=](const fs::path& dir, Mounts&, RunOptions&) {
        fs::create_directory(dir / "pub");
        owned(dir / "pub", 01777);
        writeFile(dir / "victim.wav", kOld);
        owned(dir / "victim.wav", 0600);
        fs::create_symlink(target, dir / "pub" / link);
        return lchown((dir / "pub" / link).c_str(), kNobody, kNobody) == 0 ? "" : std::string("lchown failed");
    };
}

// Needs `program` from `package`, then lays out what `then` does.
Setup needing(const std::string& program, const std::string& package, Setup then = nullptr) {
    return [=](const fs::path& dir, Mounts& m, RunOptions& o) {
        const std::string why = missing(program, package);
        return !why.empty() || !then ? why : then(dir, m, o);
    };
}

// The console output of a canonical clip, from the report table, in the order a run writes
// it to a file behind /dev/stdout: the report, the WAV, the closing line.
const std::string kReported = "@reported";
const ReportCase& canonicalReport() {
    static const ReportCase row = reportCases().front();
    return row;
}
std::string throughStdout() {
    const ReportCase& c = canonicalReport();
    const std::size_t closing = c.out.rfind("\n[in.wav] を [out.wav] へ");
    return toCp932(c.out.substr(0, closing)) + canonicalWav(kStereo16, mirrored(c.file.substr(44), 16, 2)) +
           toCp932(replaced(c.out.substr(closing), "[out.wav]", "[/dev/stdout]"));
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        // The other rows run on /tmp, which takes direct writes where it is on a disk.
        {.name = "a file system without direct writes",
         .root = "mounts a file system",
         .setup = tinyFs("", "ramfs"),
         .output = "m/out.wav",
         .after = {{"in.wav", kClip}, {"m/out.wav", kScrambled}}},
        {.name = "no inode for a temporary file, room for the bytes: refused",
         .root = "mounts a file system",
         .setup = tinyFs("size=2m,nr_inodes=2"),
         .output = "m/out.wav",
         .status = 255,
         .errTail = "m/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {.name = "no inode and no room: refused",
         .root = "mounts a file system",
         .setup = tinyFs("size=300k,nr_inodes=2"),
         .output = "m/out.wav",
         .status = 255,
         .errTail = "m/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {.name = "no room for the new bytes: the temporary file goes",
         .root = "mounts a file system",
         .setup = tinyFs("size=300k,nr_inodes=64"),
         .output = "m/out.wav",
         .status = 255,
         .errTail = kWriteFailed + kDataWriteFailed,
         .after = {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {.name = "a read-only file system: refused",
         .root = "mounts a file system",
         .setup = [](const fs::path& dir, Mounts& m, RunOptions& o) {
             const std::string why = tinyFs("size=2m")(dir, m, o);
             return !why.empty() || mount(nullptr, (dir / "m").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0
                        ? why
                        : "the system refused to make a tmpfs read-only";
         },
         .output = "m/out.wav",
         .status = 255,
         .errTail = "m/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"m/out.wav", kOld}}},
        {.name = "file-size limit, in place",
         .setup = sizeLimit(100000),
         .output = "in.wav",
         .inPlace = true,
         .status = 255,
         .errTail = kWriteFailed + kDataWriteFailed,
         .after = {{"in.wav", kClip}}},
        {.name = "file-size limit over another file",
         .setup = sizeLimit(100000, [](const fs::path& d) { put(d / "old.wav", kOld); }),
         .output = "old.wav",
         .status = 255,
         .errTail = kWriteFailed + kDataWriteFailed,
         .after = {{"in.wav", kClip}, {"old.wav", kOld}}},
        // A file the user may write in a directory the user may not: no temporary file can be
        // made beside it, so nothing is written.
        {.name = "a directory the user may not write: refused",
         .root = "runs as another user",
         .setup = asNobody("locked", 0755, 0666, 0),
         .output = "locked/out.wav",
         .status = 255,
         .errTail = "locked/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"locked/out.wav", kOld}}},
        {.name = "the same over a longer file",
         .root = "runs as another user",
         .setup = asNobody("locked", 0755, 0666, 0, -1, kLongOld),
         .output = "locked/out.wav",
         .status = 255,
         .errTail = "locked/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"locked/out.wav", kLongOld}}},
        {.name = "the same with a file-size limit",
         .root = "runs as another user",
         .setup = asNobody("locked", 0755, 0666, 0, 100000),
         .output = "locked/out.wav",
         .status = 255,
         .errTail = "locked/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"locked/out.wav", kOld}}},
        // Root's 0755 directory on tmpfs, the user's own small file in it, few descriptors and
        // a large clip: refused before a byte is written, so the file keeps its length.
        {.name = "a user's file in root's directory on tmpfs with eight descriptors: refused",
         .root = "mounts a file system and runs as another user",
         .setup = [](const fs::path& dir, Mounts& m, RunOptions& o) {
             if (!m.fileSystem(dir / "m", "size=16m")) return std::string("the system refused to mount tmpfs");
             put(dir / "big.wav", kBig);
             fs::create_directory(dir / "m/shared");
             owned(dir / "m/shared", 0755);
             put(dir / "m/shared/old.wav", kOld1044);
             owned(dir / "m/shared/old.wav", 0644, kNobody);
             o.user = kNobody;
             return std::string();
         },
         .shell = "ulimit -n 8; \"$0\" big.wav m/shared/old.wav",
         .status = 255,
         .errTail = "m/shared/old.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"big.wav", kBig}, {"m/shared/old.wav", kOld1044}}},
        // Only its owner or the directory's may remove or rename a file in a sticky directory.
        {.name = "another user's writable file in a sticky directory: refused",
         .root = "runs as another user",
         .setup = asNobody("sticky", 01777, 0666, 0),
         .output = "sticky/out.wav",
         .status = 255,
         .errTail = "sticky/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"sticky/out.wav", kOld}}},
        {.name = "another user's read-only file: refused",
         .root = "runs as another user",
         .setup = asNobody("open", 0777, 0644, 0),
         .output = "open/out.wav",
         .status = 255,
         .errTail = "open/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"open/out.wav", kOld}}},
        // A directory that only grows takes a new name but gives up none, not even a
        // temporary file's: the file is linked in by its descriptor when complete.
        {.name = "replacing a file in an append-only directory: refused",
         .root = "sets a directory append-only",
         .portable = kNoAppendOnly,
         .setup = needing("chattr", "e2fsprogs", flagged("grows", "a", false)),
         .output = "grows/old.wav",
         .status = 255,
         .errTail = "grows/old.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"grows/old.wav", kOld}}},
        {.name = "a new output in an append-only directory is made",
         .root = "sets a directory append-only",
         .portable = kNoAppendOnly,
         .setup = needing("chattr", "e2fsprogs", flagged("grows", "a", false)),
         .output = "grows/new.wav",
         .after = {{"in.wav", kClip}, {"grows/old.wav", kOld}, {"grows/new.wav", kScrambled}}},
        {.name = "the same replacement with proc hidden: refused",
         .root = "sets a directory append-only and hides /proc",
         .portable = kNoAppendOnly,
         .setup = needing("chattr", "e2fsprogs", flagged("grows", "a", false)),
         .output = "grows/old.wav",
         .prepare = kHideProc,
         .status = 255,
         .errTail = "grows/old.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"grows/old.wav", kOld}}},
        {.name = "the same new output with proc hidden is made",
         .root = "sets a directory append-only and hides /proc",
         .portable = kNoAppendOnly,
         .setup = needing("chattr", "e2fsprogs", flagged("grows", "a", false)),
         .output = "grows/new.wav",
         .prepare = kHideProc,
         .after = {{"in.wav", kClip}, {"grows/old.wav", kOld}, {"grows/new.wav", kScrambled}}},
        // The plain POSIX build sees these only when the new file would take the name.
        {.name = "an immutable file: refused",
         .root = "sets a file immutable",
         .setup = needing("chattr", "e2fsprogs", flagged("dir", "i", true)),
         .output = "dir/old.wav",
         .status = 255,
         .errTail = "dir/old.wav" + kCannotOpen,
         .portableTail = kAtNaming,
         .after = {{"in.wav", kClip}, {"dir/old.wav", kOld}}},
        {.name = "an append-only file: refused",
         .root = "sets a file append-only",
         .setup = needing("chattr", "e2fsprogs", flagged("dir", "a", true)),
         .output = "dir/old.wav",
         .status = 255,
         .errTail = "dir/old.wav" + kCannotOpen,
         .portableTail = kAtNaming,
         .after = {{"in.wav", kClip}, {"dir/old.wav", kOld}}},
        {.name = "a file mounted over: refused",
         .root = "mounts a file over another",
         .setup = [](const fs::path& dir, Mounts& m, RunOptions&) {
             put(dir / "out.wav", "hidden");
             put(dir / "src.wav", kOld);
             return m.bind(dir / "src.wav", dir / "out.wav") ? "" : std::string("the system refused a bind mount");
         },
         .output = "out.wav",
         .status = 255,
         .errTail = "out.wav" + kCannotOpen,
         .portableTail = kAtNaming,
         .after = {{"in.wav", kClip}, {"out.wav", kOld}, {"src.wav", kOld}}},
        // overlayfs reports itself, not the btrfs beneath it.
        {.name = "btrfs under overlayfs, a user's file in root's directory: refused",
         .root = "mounts file systems and runs as another user",
         .setup = needing("mkfs.btrfs", "btrfs-progs",
                          [](const fs::path& dir, Mounts& m, RunOptions& o) {
                              if (!m.image(dir, "mkfs.btrfs -f", 300, dir / "b")) return std::string("cannot mount btrfs");
                              for (const char* sub : {"b/lower", "b/upper", "b/work"}) fs::create_directory(dir / sub);
                              const std::string layers = "lowerdir=" + (dir / "b/lower").string() + ",upperdir=" +
                                                         (dir / "b/upper").string() + ",workdir=" + (dir / "b/work").string();
                              if (!m.fileSystem(dir / "o", layers, "overlay")) return std::string("needs overlayfs");
                              fs::create_directory(dir / "o/shared");
                              put(dir / "o/shared/rec.wav", kOld);
                              owned(dir / "o/shared/rec.wav", 0644, kNobody);
                              o.user = kNobody;
                              return std::string();
                          }),
         .output = "o/shared/rec.wav",
         .status = 255,
         .errTail = "o/shared/rec.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"o/shared/rec.wav", kOld}, {"b/upper/shared/rec.wav", kOld}}},
        {.name = "XFS, a file sharing its blocks with a copy, in a directory the user may not write: refused",
         .root = "mounts a file system and runs as another user",
         .setup = needing("mkfs.xfs", "xfsprogs",
                          [](const fs::path& dir, Mounts& m, RunOptions& o) {
                              if (!m.image(dir, "mkfs.xfs -q -f", 320, dir / "m")) return std::string("cannot mount XFS");
                              const std::string why = asNobody("m/locked", 0755, 0666, 0)(dir, m, o);
                              return shell("cp --reflink=always " + quoted(dir / "m/locked/out.wav") + " " +
                                           quoted(dir / "m/copy.wav"))
                                         ? why
                                         : "XFS made without reflink";
                          }),
         .output = "m/locked/out.wav",
         .status = 255,
         .errTail = "m/locked/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"m/locked/out.wav", kOld}, {"m/copy.wav", kOld}}},
        // FAT through FUSE has no modes or owners to give: the new file has what it can show.
        {.name = "FAT32 through FUSE: a file replaced, then converted in place",
         .root = "mounts a file system",
         .setup = needing("fusefat", "fusefat", needing("mkfs.vfat", "dosfstools",
                          [](const fs::path& dir, Mounts& m, RunOptions&) {
                              if (!fs::exists("/dev/fuse")) return std::string("needs fusefat and /dev/fuse");
                              const fs::path img = dir.string() + ".fat";
                              const fs::path device = dir.string() + ".loop";
                              fs::create_directory(dir / "m");
                              const bool made = shell("truncate -s 64M " + quoted(img) + " && mkfs.vfat -F 32 " +
                                                      quoted(img) + " >/dev/null && losetup -f --show " + quoted(img) +
                                                      " >" + quoted(device));
                              const std::string loop = made ? readFile(device).substr(0, readFile(device).find('\n')) : "";
                              fs::remove(img);
                              fs::remove(device);
                              if (loop.empty()) return std::string("cannot make a FAT32 image on a loop device");
                              m.undo.push_back("losetup -d " + loop);
                              if (!shell("fusefat -o rw+ " + loop + " " + quoted(dir / "m") + " >/dev/null 2>&1")) return std::string("fusefat failed");
                              m.undo.push_back("umount " + quoted(dir / "m"));
                              put(dir / "m/a.wav", kOld);
                              return std::string();
                          })),
         .shell = "\"$0\" in.wav m/a.wav && \"$0\" m/a.wav m/a.wav",
         .after = {{"in.wav", kClip}, {"m/a.wav", kClip}}},
        // Setuid and setgid are cleared by the system when another user writes a file.
        {.name = "setuid is not handed to a new owner",
         .root = "runs as another user",
         .setup = [](const fs::path& dir, Mounts& m, RunOptions& o) {
             fs::create_directory(dir / "notes");
             owned(dir / "notes", 0777);
             return asNobody("open", 0777, 04666, 0)(dir, m, o);
         },
         .shell = "\"$0\" in.wav open/out.wav && stat -c '%a %U' open/out.wav > notes/mode.txt",
         .after = {{"in.wav", kClip}, {"open/out.wav", kScrambled}, {"notes/mode.txt", "666 nobody\n"}}},
        {.name = "a replaced file keeps its access list and extended attributes",
         .portable = kNoAttributes,
         .setup = needing("setfacl", "acl", needing("setfattr", "attr",
                          [](const fs::path& dir, Mounts&, RunOptions&) {
                              put(dir / "old.wav", kOld);
                              return shell("cd " + quoted(dir) + " && chmod 640 old.wav && setfacl -m u:nobody:rw old.wav && "
                                           "setfattr -n user.note -v kept old.wav")
                                         ? ""
                                         : std::string("needs a file system with access lists and user attributes");
                          })),
         .shell = "\"$0\" in.wav old.wav && getfacl -c old.wav > acl.txt && getfattr --only-values -n user.note old.wav > note.txt",
         .after = {{"in.wav", kClip}, {"old.wav", kScrambled}, {"note.txt", "kept"},
                   {"acl.txt", "user::rw-\nuser:nobody:rw-\ngroup::r--\nmask::rw-\nother::---\n\n"}}},
        // A new file inherits the directory's default access list; the old file had none.
        {.name = "a replaced file without an access list gets none from its directory",
         .portable = kNoAttributes,
         .setup = needing("setfacl", "acl",
                          [](const fs::path& dir, Mounts&, RunOptions&) {
                              fs::create_directory(dir / "acl");
                              put(dir / "acl/old.wav", kOld);
                              fs::permissions(dir / "acl/old.wav", static_cast<fs::perms>(0640));
                              return shell("setfacl -d -m u:nobody:rw " + quoted(dir / "acl"))
                                         ? ""
                                         : std::string("needs a file system with access lists");
                          }),
         .shell = "\"$0\" in.wav acl/old.wav && getfacl -c acl/old.wav > acl.txt",
         .after = {{"in.wav", kClip}, {"acl/old.wav", kScrambled}, {"acl.txt", "user::rw-\ngroup::r--\nother::---\n\n"}}},
        {.name = "an extended attribute that cannot be copied fails the run",
         .portable = kNoAttributes,
         .setup = needing("strace", "strace", needing("setfattr", "attr",
                          [](const fs::path& dir, Mounts&, RunOptions&) {
                              put(dir / "old.wav", kOld);
                              return shell("setfattr -n user.project -v alpha " + quoted(dir / "old.wav"))
                                         ? ""
                                         : std::string("needs a file system with user attributes");
                          })),
         .shell = "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fsetxattr "
                  "-e inject=fsetxattr:error=ENOSPC:when=1 \"$0\" in.wav old.wav; s=$?; "
                  "getfattr --only-values -n user.project old.wav > note.txt; exit $s",
         .status = 255,
         .after = {{"in.wav", kClip}, {"old.wav", kOld}, {"note.txt", "alpha"}}},
        {.name = "a directory that may be written but not read: a new file all the same",
         .setup = [](const fs::path& dir, Mounts&, RunOptions& o) {
             fs::create_directory(dir / "drop");
             forTheRunner(dir / "drop", 0333, o);
             return std::string();
         },
         .shell = "\"$0\" in.wav drop/out.wav; s=$?; chmod 755 drop; exit $s",
         .after = {{"in.wav", kClip}, {"drop/out.wav", kScrambled}}},
        {.name = "a dangling symbolic link and a failing write: nothing at its target",
         .setup = sizeLimit(100000,
                            [](const fs::path& d) {
                                fs::create_directory(d / "store");
                                fs::create_symlink("store/new.wav", d / "link.wav");
                            }),
         .output = "link.wav",
         .status = 255,
         .errTail = kWriteFailed + kDataWriteFailed,
         .after = {{"in.wav", kClip}, {"link.wav", "-> store/new.wav"}}},
        // The temporary file is made beside the link's target, where the user may write, and
        // renamed there: the target's other hard link keeps the old bytes.
        {.name = "a link in a locked directory to a file with another hard link",
         .setup = [](const fs::path& dir, Mounts&, RunOptions& o) {
             fs::create_directories(dir / "locked");
             fs::create_directories(dir / "open");
             put(dir / "open/real.wav", kOld);
             fs::create_hard_link(dir / "open/real.wav", dir / "open/other.wav");
             fs::create_symlink("../open/real.wav", dir / "locked/link.wav");
             forTheRunner(dir / "open/real.wav", 0644, o);
             forTheRunner(dir / "open", 0755, o);
             forTheRunner(dir / "locked", 0555, o);
             return std::string();
         },
         .output = "locked/link.wav",
         .after = {{"in.wav", kClip}, {"locked/link.wav", "-> ../open/real.wav"}, {"open/other.wav", kOld},
                   {"open/real.wav", kScrambled}}},
        // As the system refuses to follow them for anyone but their owner and the directory's,
        // where its setting says so; and follows them where it does not.
        {.name = "another user's link in a sticky world-writable directory: refused",
         .root = "plants another user's link and sets how links are followed",
         .setup = plantedLink("out.wav", "../victim.wav"),
         .output = "pub/out.wav",
         .prepare = linksSetting(1),
         .status = 255,
         .errTail = "pub/out.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"victim.wav", kOld}, {"pub/out.wav", "-> ../victim.wav"}}},
        {.name = "the same, dangling: nothing is made where it points",
         .root = "plants another user's link and sets how links are followed",
         .setup = plantedLink("new.wav", "../made.wav"),
         .output = "pub/new.wav",
         .prepare = linksSetting(1),
         .status = 255,
         .errTail = "pub/new.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"victim.wav", kOld}, {"pub/new.wav", "-> ../made.wav"}}},
        {.name = "the same link where the system follows such links: its target is converted",
         .root = "plants another user's link and sets how links are followed",
         .setup = plantedLink("out.wav", "../victim.wav"),
         .output = "pub/out.wav",
         .prepare = linksSetting(0),
         .after = {{"in.wav", kClip}, {"victim.wav", kScrambled}, {"pub/out.wav", "-> ../victim.wav"}}},
        {.name = "a link that cannot be read is a failure, not a name to replace",
         .setup = needing("strace", "strace",
                          [](const fs::path& dir, Mounts&, RunOptions&) {
                              fs::create_directory(dir / "store");
                              put(dir / "store/real.wav", kOld);
                              fs::create_symlink("store/real.wav", dir / "link.wav");
                              return std::string();
                          }),
         .shell = "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -P link.wav -e trace=newfstatat "
                  "-e inject=newfstatat:error=EIO:when=2 \"$0\" in.wav link.wav",
         .status = 255,
         .errTail = "link.wav" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"store/real.wav", kOld}, {"link.wav", "-> store/real.wav"}}},
        {.name = "a clip of more than one 64 MiB write",
         .setup = [](const fs::path& dir, Mounts&, RunOptions&) {
             const std::string data = noise((std::size_t{65} << 20) + 4000, 9);
             writeFile(dir / "big.wav", canonicalWav(kStereo16, data));
             writeFile(dir / "expected.wav", canonicalWav(kStereo16, mirrored(data, 16, 2)));
             return std::string();
         },
         .shell = "\"$0\" big.wav out.wav && cmp -s out.wav expected.wav",
         .after = {{"in.wav", kClip}},
         .onlyThese = false},
        {.name = "an output directory path near the system's limit",
         .setup = [](const fs::path& dir, Mounts&, RunOptions&) { return makeDirectories(dir, kDeep), std::string(); },
         .output = "out.wav",
         .deep = true,
         .after = {{"in.wav", kClip}, {kDeep + "/out.wav", kScrambled}}},
        {.name = "the same, in place, with a file-size limit",
         .setup = [](const fs::path& dir, Mounts&, RunOptions& o) {
             makeDirectories(dir, kDeep);
             put(dir / kDeep / "in.wav", kClip);
             o.fileSizeLimit = 100000;
             return std::string();
         },
         .output = "in.wav",
         .inPlace = true,
         .deep = true,
         .status = 255,
         .errTail = kWriteFailed + kDataWriteFailed,
         .after = {{"in.wav", kClip}, {kDeep + "/in.wav", kClip}}},
        {.name = "a working directory deeper than the system's limit",
         .setup = [](const fs::path& dir, Mounts&, RunOptions& o) {
             makeDirectories(dir, kDeepCwd);
             o.workDir = dir / kDeepCwd;
             return std::string();
         },
         .output = "out.wav",
         .after = {{"in.wav", kClip}, {kDeepCwd.string() + "/out.wav", kScrambled}}},
        {.name = "an empty output name",
         .output = "",
         .status = 255,
         .errTail = kAfterData + kCannotOpen,
         .after = {{"in.wav", kClip}}},
        {.name = "a file in the root directory",
         .root = "writes in /",
         .setup = [](const fs::path& dir, Mounts&, RunOptions&) { return put(dir / "expected.wav", kScrambled), std::string(); },
         .shell = "f=/.velto-test-$$.wav; \"$0\" in.wav $f; s=$?; cmp -s $f expected.wav || s=99; rm -f $f; exit $s",
         .after = {{"in.wav", kClip}, {"expected.wav", kScrambled}}},
        // A name for a descriptor of the run is written through that descriptor, as the
        // caller's redirection opened it.
        {.name = "a pipe named by its descriptor",
         .shell = "set -o pipefail; \"$0\" in.wav /dev/fd/3 3>&1 >/dev/null | cat > piped.wav",
         .after = {{"in.wav", kClip}, {"piped.wav", kScrambled}}},
        {.name = "a deleted file's descriptor is written, no file of its name is made",
         .shell = "exec 7>gone.wav && rm gone.wav && \"$0\" in.wav /proc/self/fd/7",
         .after = {{"in.wav", kClip}}},
        {.name = "appending through dev fd 3: the file keeps its bytes and its inode",
         .shell = "printf 'KEEP\\n' >log.bin && i=$(stat -c %i log.bin) && \"$0\" in.wav /dev/fd/3 3>>log.bin && "
                  "test \"$(stat -c %i log.bin)\" = $i",
         .after = {{"in.wav", kClip}, {"log.bin", "KEEP\n" + kScrambled}}},
        {.name = "the same through proc self fd 3",
         .shell = "printf 'KEEP\\n' >log.bin && i=$(stat -c %i log.bin) && \"$0\" in.wav /proc/self/fd/3 3>>log.bin && "
                  "test \"$(stat -c %i log.bin)\" = $i",
         .after = {{"in.wav", kClip}, {"log.bin", "KEEP\n" + kScrambled}}},
        {.name = "a truncating descriptor: the file holds the WAV alone, same inode",
         .shell = "printf 'KEEP\\n' >log.bin && i=$(stat -c %i log.bin) && \"$0\" in.wav /dev/fd/3 3>log.bin && "
                  "test \"$(stat -c %i log.bin)\" = $i",
         .after = {{"in.wav", kClip}, {"log.bin", kScrambled}}},
        {.name = "lines written through the descriptor before and after the run stay in order",
         .shell = "exec 3>>f; echo earlier >&3; \"$0\" in.wav /dev/fd/3; s=$?; echo later >&3; exit $s",
         .after = {{"in.wav", kClip}, {"f", "earlier\n" + kScrambled + "later\n"}}},
        {.name = "dev stdout into a file: the report, the WAV, then the closing line",
         .setup = [](const fs::path& dir, Mounts&, RunOptions&) {
             return writeFile(dir / "in.wav", canonicalReport().file), std::string();
         },
         .shell = "\"$0\" in.wav /dev/stdout >log.bin",
         .after = {{"in.wav", kReported}, {"log.bin", kReported + "-stdout"}}},
        {.name = "a descriptor open only for reading: refused",
         .shell = "printf 'KEEP\\n' >log.bin && \"$0\" in.wav /dev/fd/3 3<log.bin",
         .status = 255,
         .errTail = "/dev/fd/3" + kCannotOpen,
         .after = {{"in.wav", kClip}, {"log.bin", "KEEP\n"}}},
        {.name = "a block device is synced: a failing sync fails the run",
         .root = "sets up a loop device",
         .setup = needing("strace", "strace",
                          [](const fs::path& dir, Mounts&, RunOptions&) {
                              return shell("truncate -s 1M " + quoted(dir / "disk")) ? "" : std::string("truncate failed");
                          }),
         .shell = "d=$(losetup -f --show disk) || exit 99; ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null -e trace=fsync "
                  "-e inject=fsync:error=EIO \"$0\" in.wav $d; s=$?; losetup -d $d; exit $s",
         .status = 255,
         .errTail = kWriteFailed,
         .after = {{"in.wav", kClip}},
         .onlyThese = false},
        {.name = "twelve runs making one new output at once all succeed",
         .shell = "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do \"$0\" in.wav out.wav & done; s=0; "
                  "for p in $(jobs -p); do wait $p || s=1; done; exit $s",
         .after = {{"in.wav", kClip}, {"out.wav", kScrambled}}},
    };
    return all;
}

// The bytes a row's mark stands for; the report table's clip has two.
std::string expectedBytes(const std::string& mark) {
    if (mark == kReported) return canonicalReport().file;
    if (mark == kReported + "-stdout") return throughStdout();
    return bytesOf(mark);
}

class OutputSafety : public ::testing::TestWithParam<Case> {};

TEST_P(OutputSafety, NoFailureCostsAByteOrLeavesAFile) {
    const Case& c = GetParam();
    if (c.root != nullptr && geteuid() != 0) GTEST_SKIP() << "needs root: " << c.root;
    if (c.portable != nullptr && !kLinuxFeatures) GTEST_SKIP() << c.portable;
    if (c.prepare == kHideProc && kSanitizedBuild) GTEST_SKIP() << "the sanitizers' runtime reads its options from /proc";
    ScratchDir dir;
    if (geteuid() == 0) owned(dir.path, 0755);
    put(dir / "in.wav", kClip);
    RunOptions options{.workDir = dir.path};
    Mounts mounts;
    if (const std::string why = c.setup(dir.path, mounts, options); !why.empty()) GTEST_SKIP() << why;
    const std::string output = c.deep ? (dir / kDeep / c.output).string() : c.output;
    const std::string input = c.inPlace ? output : options.workDir == dir.path ? "in.wav" : (dir / "in.wav").string();
    std::vector<std::string> command = {veltoPath(), input, output};
    if (!c.shell.empty()) command = {"/bin/bash", "-c", c.shell, veltoPath()};
    if (!c.prepare.empty()) command = inOwnMounts(c.prepare, command);
    const RunResult r = runCommand(command, options);
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::string& tail = !kLinuxFeatures && !c.portableTail.empty() ? c.portableTail : c.errTail;
    EXPECT_TRUE(r.err.ends_with(toCp932(tail))) << r.err;
    Files expected;
    for (const auto& [name, mark] : c.after) expected[name] = expectedBytes(mark);
    Files found = snapshot(dir.path);
    if (!c.onlyThese) std::erase_if(found, [&](const auto& file) { return !expected.contains(file.first); });
    EXPECT_EQ(differences(expected, found), "");
}

INSTANTIATE_TEST_SUITE_P(Output, OutputSafety, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return rowName(row.param.name); });

// What a held run ended with.
struct HeldRun {
    int status = -1;  // the wait status; -1 when the held call never came or the run missed its deadline
    std::string err;
};

// Runs `command` (velto under strace, its trace in `log`) in `dir`, waits for the `when`th
// `held` call to begin, and then does `act` with the pid of the process making it. The caller
// leaves `ignored` ignored, if it is a signal.
HeldRun whileHeld(const std::vector<std::string>& command, const fs::path& dir, const fs::path& log,
                  const std::string& held, int when, const std::function<void(pid_t)>& act, int ignored = 0) {
    const fs::path errPath = log.string() + ".err";
    const pid_t tracer = fork();
    if (tracer == 0) {
        if (chdir(dir.c_str()) != 0) _exit(121);
        resetSignals();
        if (ignored != 0) std::signal(ignored, SIG_IGN);
        // Signals that dump core would leave a core file beside the output.
        struct rlimit noCore {};
        setrlimit(RLIMIT_CORE, &noCore);
        const int null = open("/dev/null", O_RDWR);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        alarm(60);
        std::vector<char*> argv;
        std::vector<std::string> copies = command;
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    pid_t velto = -1;
    HeldRun run;
    int status = 0;
    bool ended = false;
    while (velto < 0 && !ended && Clock::now() < deadline) {
        ended = waitpid(tracer, &status, WNOHANG) == tracer;  // ended with no such call
        std::ifstream in(log);
        int seen = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find(held + "(") != std::string::npos && ++seen == when) velto = std::stoi(line);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (velto > 0 && !ended) act(velto);
    while (!ended && Clock::now() < deadline) {
        ended = waitpid(tracer, &status, WNOHANG) == tracer;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!ended) {
        // The traced run may be blocked where the tracer cannot end it: both go.
        if (velto > 0) kill(velto, SIGKILL);
        kill(tracer, SIGKILL);
        waitpid(tracer, &status, 0);
    }
    run.err = readFile(errPath);
    fs::remove(errPath);
    if (velto > 0 && ended) run.status = status;
    return run;
}

struct SignalCase {
    std::string name;
    int sig = 0;                  // sent while the run is held; 0 for the FIFO put in place instead
    std::string output = "old.wav";
    std::string held = "fsync";   // the call during which the signal comes
    int when = 1;                 // which of its calls; 0: the first open of the output's name
    bool atExit = false;          // the signal comes once the call is done
    bool eitherEnd = false;       // the run may also go on to status 0 and the conversion
    bool completes = false;       // the run ends with status 0, the conversion under the name
    bool ignored = false;         // the caller leaves the signal ignored (as nohup does SIGHUP)
    bool bigClip = false;         // a clip over 2 MiB, whose buffer another thread faults in
    bool hideProc = false;        // /proc hidden: the temporary file has a name
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

// Each signal that ends a process by default, and that a program may catch.
const int kTerminating[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,   SIGALRM,
                            SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,  SIGIO,   SIGSTKFLT, 0};  // 0: SIGRTMIN + 1

std::string signalName(int sig) { return sig >= SIGRTMIN ? "a real-time signal" : "SIG" + std::string(sigabbrev_np(sig)); }

std::vector<SignalCase> signalCases() {
    std::vector<SignalCase> rows = {
        {.name = "SIGKILL, new output", .sig = SIGKILL, .output = "out.wav"},
        {.name = "SIGKILL over an existing file", .sig = SIGKILL},
        {.name = "SIGTERM, in place", .sig = SIGTERM, .output = "in.wav"},
        {.name = "SIGTERM with a clip over 2 MiB", .sig = SIGTERM, .output = "out.wav", .bigClip = true},
        {.name = "SIGINT, named temporary file", .sig = SIGINT, .hideProc = true},
        {.name = "SIGTERM, new output, named temporary file", .sig = SIGTERM, .output = "out.wav", .hideProc = true},
        // Once the complete file takes its name, a signal waits for the run to end.
        {.name = "SIGTERM while the file takes its name: the run completes", .sig = SIGTERM, .output = "in.wav",
         .held = "renameat", .completes = true},
        {.name = "SIGUSR1 while the file takes its name: the run completes", .sig = SIGUSR1, .held = "renameat",
         .completes = true},
        {.name = "a real-time signal while the file takes its name: the run completes", .sig = SIGRTMIN + 1,
         .held = "renameat", .completes = true},
        {.name = "SIGINT while a new name is synced: the run completes", .sig = SIGINT, .output = "out.wav",
         .when = 2, .completes = true},
        {.name = "SIGALRM while a replaced name is synced: the run completes", .sig = SIGALRM, .when = 2,
         .completes = true},
        {.name = "SIGXCPU while a replaced name is synced: the run completes", .sig = SIGXCPU, .when = 2,
         .completes = true},
        // A signal the caller ignores is no interrupt.
        {.name = "SIGHUP under nohup: the run goes on", .sig = SIGHUP, .output = "out.wav", .completes = true,
         .ignored = true},
        {.name = "SIGUSR1 ignored by the caller: the run goes on", .sig = SIGUSR1, .completes = true, .ignored = true},
        // Another user swaps the file for a FIFO between velto's look at the name and its open.
        {.name = "a FIFO put in place of the old file before it is opened: refused at once", .held = "openat",
         .when = 0},
    };
    for (const int listed : kTerminating) {
        const int sig = listed != 0 ? listed : SIGRTMIN + 1;
        rows.push_back({.name = signalName(sig) + " before the file takes its name: nothing changes", .sig = sig});
    }
    // The unnamed file has just been given a temporary name beside the old file: the run ends
    // of the signal without it, or goes on to take the output's name.
    for (const int sig : {SIGUSR1, SIGALRM, SIGXCPU}) {
        rows.push_back({.name = signalName(sig) + " once the unnamed file has a temporary name: no debris",
                        .sig = sig, .held = "linkat", .atExit = true, .eitherEnd = true});
    }
    return rows;
}

class Interrupted : public ::testing::TestWithParam<SignalCase> {};

TEST_P(Interrupted, ASignalLeavesEitherTheOldFileOrTheWholeConversionAndNothingElse) {
    const SignalCase& c = GetParam();
    if (const std::string why = missing("strace", "strace"); !why.empty()) GTEST_SKIP() << why;
    if (c.hideProc && geteuid() != 0) GTEST_SKIP() << "needs root: hides /proc in a mount namespace";
    if (c.hideProc && kSanitizedBuild) GTEST_SKIP() << "the sanitizers' runtime reads its options from /proc";
    if (c.sig == SIGKILL && !kLinuxFeatures) GTEST_SKIP() << "SIGKILL leaves the plain POSIX build's named temporary file";
    if (c.held == "linkat" && !kLinuxFeatures) GTEST_SKIP() << "the plain POSIX build makes no unnamed file";
    ScratchDir top;
    const fs::path dir = top / "work";
    fs::create_directory(dir);
    const std::string data = c.bigClip ? noise((3u << 20) + 2, 3) : clipData();
    const std::string clip = canonicalWav(kStereo16, data);
    writeFile(dir / "in.wav", clip);
    writeFile(dir / "old.wav", kOld);
    const fs::path log = top / "strace.log";
    int when = c.when;
    if (when == 0) {
        // The first open of the old file's name, counted in a clean trace of the same run.
        runCommand(underStrace(log, {"-e", "trace=openat"}, {"in.wav", c.output}), {.workDir = dir});
        std::ifstream in(log);
        int n = 0;
        for (std::string line; when == 0 && std::getline(in, line);) {
            if (line.find("openat(") != std::string::npos && (++n, line.find("\"" + c.output + "\"") != std::string::npos)) when = n;
        }
        ASSERT_NE(when, 0) << "the clean run never opens " << c.output;
        writeFile(dir / c.output, kOld);
        fs::remove(log);  // the held run must not be watched in this trace
    }
    const std::string delay = c.sig == 0  ? ":delay_enter=2s:when=" + std::to_string(when)
                              : c.atExit ? ":delay_exit=1s:when=" + std::to_string(when)
                                         : ":delay_enter=1s:when=" + std::to_string(when) + "+";
    std::vector<std::string> command =
        underStrace(log, {"-e", "trace=" + c.held, "-e", "inject=" + c.held + delay}, {"in.wav", c.output});
    if (c.hideProc) command = inOwnMounts(kHideProc, command);
    const HeldRun run = whileHeld(command, dir, log, c.held, when, [&](pid_t velto) {
        if (c.sig != 0) {
            kill(velto, c.sig);
        } else {
            fs::remove(dir / c.output);
            mkfifo((dir / c.output).c_str(), 0666);
        }
    }, c.ignored ? c.sig : 0);
    ASSERT_NE(run.status, -1) << "the held call never came, or the run did not end";
    Files expected = {{"in.wav", clip}, {"old.wav", kOld}};
    if (c.completes || (c.eitherEnd && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)) {
        // strace passes on the way its tracee ended.
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status << run.err;
        expected[c.output] = canonicalWav(kStereo16, mirrored(data, 16, 2));
    } else if (c.sig == 0) {
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 255) << run.status;
        EXPECT_TRUE(run.err.ends_with(toCp932(c.output + kCannotOpen))) << run.err;
        expected[c.output] = kNotRegular;
    } else {
        EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == c.sig) << run.status;
    }
    EXPECT_EQ(differences(expected, snapshot(dir)), "");
}

INSTANTIATE_TEST_SUITE_P(WhileWriting, Interrupted, ::testing::ValuesIn(signalCases()),
                         [](const auto& row) { return rowName(row.param.name); });

}  // namespace
