// No failure of the write costs a byte of an existing file or leaves a file behind, and every
// conversion the system allows goes through; where the file under the output name cannot be
// replaced, the run is refused before anything is written. Failures are made as users meet
// them: small file systems, file-size limits, other users' directories and files, file
// attributes, mounts, deep paths, descriptors, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "support/support.h"

namespace {

using namespace testing_support;

const std::string kOld = "the user's precious old bytes";

// The tables name the larger files by these marks, which stand for their bytes once a row
// runs, so that the tables cost nothing until then. A mark may stand inside other bytes.
const std::string kClip = "@clip";            // the clip converted, in.wav
const std::string kScrambled = "@scrambled";  // what velto must make of it
const std::string kLongOld = "@long-old";     // an old file longer than the output
const std::string kBig = "@big";              // a clip of 3,000,044 bytes
const std::string kReported = "@reported";    // the report table's canonical clip

const std::string& clipData() {
    static const std::string data = noise(600000, 42);
    return data;
}

const ReportCase& canonicalReport() {
    static const ReportCase row = reportCases().front();
    return row;
}

// What a file behind /dev/stdout holds: the report, the WAV, the closing line, in the order a
// run writes them (the report table's texts, the closing line naming /dev/stdout).
std::string throughStdout() {
    const ReportCase& c = canonicalReport();
    const std::size_t closing = c.out.rfind("\n[in.wav] を [out.wav] へ");
    return toCp932(c.out.substr(0, closing)) + canonicalWav(kStereo16, mirrored(c.file.substr(44), 16, 2)) +
           toCp932(replaced(c.out.substr(closing), "[out.wav]", "[/dev/stdout]"));
}

std::string bytesOf(std::string marked) {
    if (marked == kReported) return canonicalReport().file;
    if (marked == kReported + "-stdout") return throughStdout();
    const std::pair<const std::string*, std::function<std::string()>> marks[] = {
        {&kClip, [] { return canonicalWav(kStereo16, clipData()); }},
        {&kScrambled, [] { return canonicalWav(kStereo16, mirrored(clipData(), 16, 2)); }},
        {&kLongOld, [] { return noise(2000000, 5); }},
        {&kBig, [] { return canonicalWav(kStereo16, noise(3000000, 11)); }},
    };
    for (const auto& [mark, bytes] : marks) {
        if (marked.find(*mark) != std::string::npos) marked = replaced(marked, *mark, bytes());
    }
    return marked;
}

// Builds of the plain POSIX code name their temporary files, keep no extended attributes or
// access lists, and cannot see append-only directories or a file's own attributes.
constexpr bool kLinuxFeatures = VELTO_LINUX_FEATURES;
const char* const kNoAttributes = "the plain POSIX build keeps no access lists or extended attributes";
const char* const kNoAppendOnly = "the plain POSIX build cannot see append-only directories";
const char* const kNoLinkRule = "the plain POSIX build knows no rule for links in sticky directories";
const char* const kNoFifoRule = "the plain POSIX build knows no rule for FIFOs in sticky directories";
// What rows need root for.
const char* const kMounts = "mounts a file system";
const char* const kOtherUser = "runs as another user";
const char* const kFlags = "sets file attributes with chattr";

// One way of meeting the output, as a user would. The run is `velto in.wav OUTPUT` in the
// scratch directory, unless the row says otherwise. Unless the row says what else changes,
// a run that succeeds leaves every file as it was but the output, the conversion, and one
// that fails leaves every file as it was.
struct Case {
    const char* name;
    const char* root = nullptr;      // what the row needs root for, if it does
    const char* portable = nullptr;  // why the plain POSIX build cannot meet the row, if it cannot
    std::vector<std::pair<std::string, std::string>> needs;  // programs, and the packages that bring them
    Files files;              // laid out beside in.wav first (marks for their bytes)
    std::string lay;          // then this shell command, in the scratch directory, as the tests' user
    std::function<void(const fs::path& dir, RunOptions& options)> setup;  // or this
    int user = -1;            // the run's user
    long long limit = -1;     // its file-size limit
    std::string output;       // the output name velto is given
    bool inPlace = false;     // the input is the output itself
    bool deep = false;        // the output name is below the deep directory
    std::string shell;        // instead: this bash command, run with $0 set to velto
    std::string prepare;      // velto runs in a mount namespace of its own after these commands
    bool userNamespace = false;  // as root of a user namespace where only root's ids are mapped
    bool refused = false;     // refused before writing: status 255, "<output> cannot open" last
    int status = 0;
    std::string errTail;      // how standard error ends, in UTF-8
    std::string portableTail; // the same for the plain POSIX build, where it differs
    Files after;              // the files that change besides the output (marks for their bytes)
    bool onlyThese = true;    // no file but those may be there afterwards
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::string kAfterData = "[bytes]\n";  // the data length line, before the writer's messages
const std::string kAtNaming = kAfterData + kWriteFailed;  // a refusal seen only at the naming
const std::string kFull = kWriteFailed + kDataWriteFailed;

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
// The system's protection of links or FIFOs in sticky directories (protected_symlinks,
// protected_fifos) as velto reads it, for one run.
std::string protection(const std::string& setting, int value) {
    return "f=$(mktemp) && echo " + std::to_string(value) + " >$f && mount --bind $f /proc/sys/fs/" + setting + " && rm $f";
}
std::string linksSetting(int value) { return protection("protected_symlinks", value); }
std::string fifosSetting(int value) { return protection("protected_fifos", value); }
// A sticky directory pub/ of `mode` holding user nobody's FIFO out.wav.
std::string plantedFifo(const std::string& mode) {
    return "mkdir -m " + mode + " pub && mkfifo -m 666 pub/out.wav && chown nobody pub/out.wav";
}
// velto writes pub/out.wav while cat reads it into got.wav; a run that fails stops the reader.
const std::string kReadFifo = "cat pub/out.wav > got.wav & \"$0\" in.wav pub/out.wav; s=$?; [ $s = 0 ] || kill $!; wait; exit $s";
// User namespaces can be made here (a container may forbid them).
const std::string kUserNamespaces = " && { unshare -Ur true || { echo needs user namespaces >&2; exit 1; }; }";
// Shell commands that mount: a tmpfs of `options` at m, a file system made by `mkfs` on an
// image of `size` at `at`.
std::string tmpfs(const std::string& options) { return "mkdir -p m && mount -t tmpfs -o " + options + " none m"; }
std::string image(const std::string& mkfs, const std::string& size, const std::string& at) {
    return "i=$PWD.img && truncate -s " + size + " $i && " + mkfs + " $i >/dev/null 2>&1 && mkdir -p " + at +
           " && mount -o loop $i " + at + " && rm $i";
}
// chattr's `flag` (a: append only, i: immutable) on `path`.
std::string chattr(const std::string& flag, const std::string& path) {
    return "chattr +" + flag + " " + path + " 2>/dev/null || { echo needs /tmp on a file system that takes chattr, "
           "such as ext4, XFS or btrfs >&2; exit 1; }";
}
// A sticky world-writable directory pub/ where user nobody has planted `link` to `target`, the
// root's file victim.wav beside it.
std::string planted(const std::string& link, const std::string& target) {
    return "mkdir -m 1777 pub && echo old > victim.wav && chmod 600 victim.wav && ln -s " + target + " pub/" + link +
           " && chown -h nobody pub/" + link;
}
// As root, `path` goes to user nobody, who makes the run; the mode binds the run whoever
// starts the tests.
std::string forRunner(const std::string& mode, const std::string& path) {
    return "chmod " + mode + " " + path + " && { [ $(id -u) != 0 ] || chown nobody:nogroup " + path + "; }";
}
const std::vector<std::pair<std::string, std::string>> kStrace = {{"strace", "strace"}};
const std::string kTraced = "ASAN_OPTIONS=detect_leaks=0 strace -o /dev/null ";
const std::string kKeep = "printf 'KEEP\\n' >log.bin && i=$(stat -c %i log.bin) && ";
const std::string kSameInode = " && test \"$(stat -c %i log.bin)\" = $i";

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        // The other rows run on /tmp, which takes direct writes where it is on a disk.
        {.name = "a file system without direct writes", .root = kMounts,
         .lay = "mkdir m && mount -t ramfs none m && echo old > m/out.wav", .output = "m/out.wav"},
        {.name = "no inode for a temporary file, room for the bytes: refused", .root = kMounts,
         .lay = tmpfs("size=2m,nr_inodes=2") + " && echo old > m/out.wav", .output = "m/out.wav", .refused = true},
        {.name = "no inode and no room: refused", .root = kMounts,
         .lay = tmpfs("size=300k,nr_inodes=2") + " && echo old > m/out.wav", .output = "m/out.wav", .refused = true},
        {.name = "no room for the new bytes: the temporary file goes", .root = kMounts,
         .lay = tmpfs("size=300k,nr_inodes=64") + " && echo old > m/out.wav", .output = "m/out.wav", .status = 255,
         .errTail = kFull},
        {.name = "a read-only file system: refused", .root = kMounts,
         .lay = tmpfs("size=2m") + " && echo old > m/out.wav && mount -o remount,ro m", .output = "m/out.wav",
         .refused = true},
        {.name = "file-size limit, in place", .limit = 100000, .output = "in.wav", .inPlace = true, .status = 255,
         .errTail = kFull},
        {.name = "file-size limit over another file", .files = {{"old.wav", kOld}}, .limit = 100000,
         .output = "old.wav", .status = 255, .errTail = kFull},
        // A file the user may write in a directory the user may not: no temporary file can be
        // made beside it, so nothing is written.
        {.name = "a directory the user may not write: refused", .root = kOtherUser, .files = {{"locked/out.wav", kOld}},
         .lay = "chmod 666 locked/out.wav", .user = kNobody, .output = "locked/out.wav", .refused = true},
        {.name = "the same over a longer file", .root = kOtherUser, .files = {{"locked/out.wav", kLongOld}},
         .lay = "chmod 666 locked/out.wav", .user = kNobody, .output = "locked/out.wav", .refused = true},
        {.name = "the same with a file-size limit", .root = kOtherUser, .files = {{"locked/out.wav", kOld}},
         .lay = "chmod 666 locked/out.wav", .user = kNobody, .limit = 100000, .output = "locked/out.wav",
         .refused = true},
        // Root's directory on tmpfs, the user's own small file in it, few descriptors and a
        // large clip: refused before a byte is written, so the file keeps its length.
        {.name = "a user's file in root's directory on tmpfs with eight descriptors: refused", .root = kMounts,
         .files = {{"big.wav", kBig}},
         .lay = tmpfs("size=16m") + " && mkdir -m 755 m/shared && head -c 1044 big.wav > m/shared/old.wav && "
                "chown nobody m/shared/old.wav",
         .user = kNobody, .output = "m/shared/old.wav", .shell = "ulimit -n 8; \"$0\" big.wav m/shared/old.wav",
         .refused = true},
        // Only its owner or the directory's may remove or rename a file in a sticky directory.
        {.name = "another user's writable file in a sticky directory: refused", .root = kOtherUser,
         .files = {{"sticky/out.wav", kOld}}, .lay = "chmod 1777 sticky && chmod 666 sticky/out.wav", .user = kNobody,
         .output = "sticky/out.wav", .refused = true},
        {.name = "the same where the sticky directory is the user's own: converted", .root = kOtherUser,
         .files = {{"sticky/out.wav", kOld}}, .lay = "chmod 1777 sticky && chown nobody sticky && chmod 666 sticky/out.wav",
         .user = kNobody, .output = "sticky/out.wav"},
        {.name = "another user's read-only file: refused", .root = kOtherUser, .files = {{"open/out.wav", kOld}},
         .lay = "chmod 777 open", .user = kNobody, .output = "open/out.wav", .refused = true},
        // A directory that only grows takes a new name but gives up none, not even a
        // temporary file's: the file is linked in by its descriptor when complete.
        {.name = "replacing a file in an append-only directory: refused", .root = kFlags, .portable = kNoAppendOnly,
         .files = {{"grows/old.wav", kOld}}, .lay = chattr("a", "grows"), .output = "grows/old.wav", .refused = true},
        {.name = "a new output in an append-only directory is made", .root = kFlags, .portable = kNoAppendOnly,
         .files = {{"grows/old.wav", kOld}}, .lay = chattr("a", "grows"), .output = "grows/new.wav"},
        {.name = "the same replacement with proc hidden: refused", .root = kFlags, .portable = kNoAppendOnly,
         .files = {{"grows/old.wav", kOld}}, .lay = chattr("a", "grows"), .output = "grows/old.wav",
         .prepare = kHideProc, .refused = true},
        {.name = "the same new output with proc hidden is made", .root = kFlags, .portable = kNoAppendOnly,
         .files = {{"grows/old.wav", kOld}}, .lay = chattr("a", "grows"), .output = "grows/new.wav",
         .prepare = kHideProc},
        // The plain POSIX build sees the last two only when the new file would take the name.
        {.name = "an immutable file: refused", .root = kFlags, .files = {{"old.wav", kOld}}, .lay = chattr("i", "old.wav"),
         .output = "old.wav", .refused = true},
        {.name = "an append-only file: refused", .root = kFlags, .files = {{"old.wav", kOld}}, .lay = chattr("a", "old.wav"),
         .output = "old.wav", .refused = true, .portableTail = kAtNaming},
        {.name = "a file mounted over: refused", .root = "mounts a file over another",
         .files = {{"out.wav", "hidden"}, {"src.wav", kOld}}, .lay = "mount --bind src.wav out.wav",
         .output = "out.wav", .refused = true, .portableTail = kAtNaming},
        // overlayfs reports itself, not the btrfs beneath it.
        {.name = "btrfs under overlayfs, a user's file in root's directory: refused", .root = kMounts,
         .needs = {{"mkfs.btrfs", "btrfs-progs"}},
         .lay = image("mkfs.btrfs -f", "300M", "b") + " && mkdir b/lower b/upper b/work o && mount -t overlay none -o "
                "lowerdir=b/lower,upperdir=b/upper,workdir=b/work o && mkdir o/shared && echo old > o/shared/rec.wav && "
                "chown nobody o/shared/rec.wav",
         .user = kNobody, .output = "o/shared/rec.wav", .refused = true},
        {.name = "XFS, a file sharing its blocks with a copy, in a directory the user may not write: refused",
         .root = kMounts, .needs = {{"mkfs.xfs", "xfsprogs"}},
         .lay = image("mkfs.xfs -q -f", "320M", "m") + " && mkdir m/locked && echo old > m/locked/out.wav && "
                "chmod 666 m/locked/out.wav && cp --reflink=always m/locked/out.wav m/copy.wav",
         .user = kNobody, .output = "m/locked/out.wav", .refused = true},
        // FAT through FUSE has no modes or owners to give: the new file has what it can show.
        {.name = "FAT32 through FUSE: a file replaced, then converted in place", .root = kMounts,
         .needs = {{"fusefat", "fusefat"}, {"mkfs.vfat", "dosfstools"}},
         .lay = "[ -e /dev/fuse ] || { echo needs /dev/fuse >&2; exit 1; }; i=$PWD.fat && truncate -s 64M $i && "
                "mkfs.vfat -F 32 $i >/dev/null && mkdir m && fusefat -o rw+ $i m >/dev/null 2>&1 && rm $i && "
                "echo old > m/a.wav",
         .shell = "\"$0\" in.wav m/a.wav && \"$0\" m/a.wav m/a.wav", .after = {{"m/a.wav", kClip}}},
        // Setuid and setgid are cleared by the system when another user writes a file.
        {.name = "setuid is not handed to a new owner", .root = kOtherUser, .files = {{"open/out.wav", kOld}},
         .lay = "chmod 777 open && chmod 4666 open/out.wav && mkdir -m 777 notes", .user = kNobody,
         .shell = "\"$0\" in.wav open/out.wav && stat -c '%a %U' open/out.wav > notes/mode.txt",
         .after = {{"open/out.wav", kScrambled}, {"notes/mode.txt", "666 nobody\n"}}},
        {.name = "a replaced file keeps its access list and extended attributes", .portable = kNoAttributes,
         .needs = {{"setfacl", "acl"}, {"setfattr", "attr"}}, .files = {{"old.wav", kOld}},
         .lay = "chmod 640 old.wav && setfacl -m u:nobody:rw old.wav && setfattr -n user.note -v kept old.wav",
         .shell = "\"$0\" in.wav old.wav && getfacl -c old.wav > acl.txt && getfattr --only-values -n user.note old.wav > note.txt",
         .after = {{"old.wav", kScrambled}, {"note.txt", "kept"},
                   {"acl.txt", "user::rw-\nuser:nobody:rw-\ngroup::r--\nmask::rw-\nother::---\n\n"}}},
        // A new file inherits the directory's default access list; the old file had none.
        {.name = "a replaced file without an access list gets none from its directory", .portable = kNoAttributes,
         .needs = {{"setfacl", "acl"}}, .files = {{"acl/old.wav", kOld}},
         .lay = "chmod 640 acl/old.wav && setfacl -d -m u:nobody:rw acl",
         .shell = "\"$0\" in.wav acl/old.wav && getfacl -c acl/old.wav > acl.txt",
         .after = {{"acl/old.wav", kScrambled}, {"acl.txt", "user::rw-\ngroup::r--\nother::---\n\n"}}},
        {.name = "an extended attribute that cannot be copied fails the run", .portable = kNoAttributes,
         .needs = {{"strace", "strace"}, {"setfattr", "attr"}}, .files = {{"old.wav", kOld}},
         .lay = "setfattr -n user.project -v alpha old.wav",
         .shell = kTraced + "-e trace=fsetxattr -e inject=fsetxattr:error=ENOSPC:when=1 \"$0\" in.wav old.wav; s=$?; "
                  "getfattr --only-values -n user.project old.wav > note.txt; exit $s",
         .status = 255, .after = {{"note.txt", "alpha"}}},
        // As a FUSE or network file system without them answers.
        {.name = "a file system that keeps no extended attributes: the file is replaced all the same",
         .portable = kNoAttributes, .needs = kStrace, .files = {{"old.wav", kOld}},
         .shell = kTraced + "-e trace=flistxattr -e inject=flistxattr:error=EOPNOTSUPP \"$0\" in.wav old.wav",
         .after = {{"old.wav", kScrambled}}},
        {.name = "a directory that may be written but not read: a new file all the same",
         .lay = "mkdir drop && " + forRunner("333", "drop"), .user = kNobody,
         .shell = "\"$0\" in.wav drop/out.wav; s=$?; chmod 755 drop; exit $s", .after = {{"drop/out.wav", kScrambled}}},
        {.name = "a dangling symbolic link and a failing write: nothing at its target",
         .lay = "mkdir store && ln -s store/new.wav link.wav", .limit = 100000, .output = "link.wav", .status = 255,
         .errTail = kFull},
        // The temporary file is made beside the link's target, where the user may write, and
        // renamed there: the target's other hard link keeps the old bytes.
        {.name = "a link in a locked directory to a file with another hard link", .files = {{"open/real.wav", kOld}},
         .lay = "ln open/real.wav open/other.wav && mkdir locked && ln -s ../open/real.wav locked/link.wav && " +
                forRunner("644", "open/real.wav") + " && " + forRunner("755", "open") + " && " + forRunner("555", "locked"),
         .user = kNobody, .output = "locked/link.wav",
         .after = {{"open/real.wav", kScrambled}, {"locked/link.wav", "-> ../open/real.wav"}}},
        // As the system refuses to follow them for anyone but their owner and the directory's,
        // where its setting says so; and follows them where it does not.
        {.name = "another user's link in a sticky world-writable directory: refused",
         .root = "plants another user's link", .portable = kNoLinkRule, .lay = planted("out.wav", "../victim.wav"),
         .output = "pub/out.wav", .prepare = linksSetting(1), .refused = true},
        {.name = "the same, dangling: nothing is made where it points", .root = "plants another user's link",
         .portable = kNoLinkRule,
         .lay = planted("new.wav", "../made.wav"), .output = "pub/new.wav", .prepare = linksSetting(1),
         .refused = true},
        {.name = "the same link where the system follows such links: its target is converted",
         .root = "plants another user's link", .lay = planted("out.wav", "../victim.wav"), .output = "pub/out.wav",
         .prepare = linksSetting(0), .after = {{"victim.wav", kScrambled}, {"pub/out.wav", "-> ../victim.wav"}}},
        // In a user namespace, ids without a mapping belong to nobody: neither the caller nor the
        // directory's owner, and no capability overrides the sticky rule for them.
        {.name = "in a user namespace, another user's link in a sticky directory of a third user: refused",
         .root = "plants another user's link", .portable = kNoLinkRule,
         .lay = planted("out.wav", "../victim.wav") + " && chown 1001 pub" + kUserNamespaces, .output = "pub/out.wav",
         .prepare = linksSetting(1), .userNamespace = true, .refused = true},
        // Where the namespace maps an id of its own to 65534, as a map of subordinate ids does,
        // that id still shows every id without a mapping.
        {.name = "the same where the namespace's map holds 65534: refused",
         .root = "plants another user's link", .portable = kNoLinkRule,
         .lay = planted("out.wav", "../victim.wav") + " && chown 1001 pub" + kUserNamespaces, .output = "pub/out.wav",
         .shell = "mkfifo go && { unshare -U sh -c 'read x < go && exec \"$0\" in.wav pub/out.wav' \"$0\" & } && p=$! && "
                  "until [ $(readlink /proc/$p/ns/user) != $(readlink /proc/$$/ns/user) ]; do sleep 0.01; done && "
                  "for m in uid gid; do /usr/bin/printf '0 0 1\\n1 100000 65536\\n' > /proc/$p/${m}_map; done && "
                  "echo > go; wait $p; s=$?; rm go; exit $s",
         .prepare = linksSetting(1), .refused = true},
        {.name = "in a user namespace, another user's file in another user's sticky directory: refused",
         .root = kOtherUser, .files = {{"sticky/out.wav", kOld}},
         .lay = "chmod 1777 sticky && chmod 666 sticky/out.wav && chown nobody sticky sticky/out.wav" + kUserNamespaces,
         .output = "sticky/out.wav", .userNamespace = true, .refused = true, .portableTail = kAtNaming},
        {.name = "in a user namespace, a file whose owner has no mapping becomes the caller's", .root = kOtherUser,
         .files = {{"open/out.wav", kOld}},
         .lay = "chmod 777 open && chmod 666 open/out.wav && chown nobody:nogroup open/out.wav" + kUserNamespaces,
         .shell = "\"$0\" in.wav open/out.wav && stat -c %u:%g open/out.wav > owner.txt", .userNamespace = true,
         .after = {{"open/out.wav", kScrambled}, {"owner.txt", "0:0\n"}}},
        {.name = "in a user namespace, a file whose access list names a user without a mapping: refused",
         .root = kOtherUser, .portable = kNoAttributes, .needs = {{"setfacl", "acl"}}, .files = {{"open/out.wav", kOld}},
         .lay = "chmod 777 open && chmod 666 open/out.wav && setfacl -m u:1001:rw open/out.wav" + kUserNamespaces,
         .output = "open/out.wav", .userNamespace = true, .refused = true},
        {.name = "in a user namespace with proc hidden, another user's FIFO in a third user's sticky directory: refused",
         .root = "plants another user's FIFO", .portable = kNoFifoRule,
         .lay = plantedFifo("1777") + " && chown 1001 pub" + kUserNamespaces, .output = "pub/out.wav",
         .shell = "unshare -Urm sh -c '" + kHideProc + " && exec \"$0\" in.wav pub/out.wav' \"$0\"", .refused = true},
        // Another user's FIFO in a sticky directory would pass the recording to its reader: where
        // the system protects FIFOs, velto refuses it, root as well; where not, it is written.
        {.name = "another user's FIFO in a sticky world-writable directory: refused", .root = "plants another user's FIFO",
         .portable = kNoFifoRule, .lay = plantedFifo("1777"), .output = "pub/out.wav", .prepare = fifosSetting(1),
         .refused = true},
        {.name = "the same in a sticky directory its group may write, at the second level: refused",
         .root = "plants another user's FIFO", .portable = kNoFifoRule, .lay = plantedFifo("1770"),
         .output = "pub/out.wav", .prepare = fifosSetting(2), .refused = true},
        {.name = "the same FIFO in a directory of its owner's is written", .root = "plants another user's FIFO",
         .lay = plantedFifo("1777") + " && chown nobody pub", .shell = kReadFifo, .prepare = fifosSetting(1),
         .after = {{"got.wav", kScrambled}}},
        {.name = "where the system protects no FIFOs, another user's FIFO receives the output",
         .root = "plants another user's FIFO", .lay = plantedFifo("1777"), .shell = kReadFifo,
         .prepare = fifosSetting(0), .after = {{"got.wav", kScrambled}}},
        {.name = "another user's file whose extended attribute the user may not read: refused", .root = kOtherUser,
         .portable = kNoAttributes, .needs = {{"setfattr", "attr"}}, .files = {{"open/out.wav", kOld}},
         .lay = "chmod 777 open && chmod 622 open/out.wav && setfattr -n user.note -v kept open/out.wav",
         .user = kNobody, .output = "open/out.wav", .refused = true},
        {.name = "a link that cannot be read is a failure, not a name to replace", .needs = kStrace,
         .files = {{"store/real.wav", kOld}}, .lay = "ln -s store/real.wav link.wav",
         .shell = kTraced + "-P link.wav -e trace=newfstatat -e inject=newfstatat:error=EIO:when=2 \"$0\" in.wav link.wav",
         .status = 255, .errTail = "link.wav" + kCannotOpen},
        {.name = "a clip of more than one 64 MiB write",
         .setup = [](const fs::path& dir, RunOptions&) {
             const std::string data = noise((std::size_t{65} << 20) + 4000, 9);
             writeFile(dir / "big.wav", canonicalWav(kStereo16, data));
             writeFile(dir / "expected.wav", canonicalWav(kStereo16, mirrored(data, 16, 2)));
         },
         .shell = "\"$0\" big.wav out.wav && cmp -s out.wav expected.wav", .onlyThese = false},
        {.name = "an output directory path near the system's limit",
         .setup = [](const fs::path& dir, RunOptions&) { makeDirectories(dir, kDeep); }, .output = "out.wav",
         .deep = true},
        {.name = "the same, in place, with a file-size limit",
         .setup = [](const fs::path& dir, RunOptions&) {
             makeDirectories(dir, kDeep);
             writeFile(dir / kDeep / "in.wav", bytesOf(kClip));
         },
         .limit = 100000, .output = "in.wav", .inPlace = true, .deep = true, .status = 255, .errTail = kFull},
        {.name = "a working directory deeper than the system's limit",
         .setup = [](const fs::path& dir, RunOptions& o) {
             makeDirectories(dir, kDeepCwd);
             o.workDir = dir / kDeepCwd;
         },
         .output = "out.wav"},
        {.name = "an empty output name", .output = "", .status = 255, .errTail = kAfterData + kCannotOpen},
        {.name = "a file in the root directory", .root = "writes in /", .files = {{"expected.wav", kScrambled}},
         .shell = "f=/.velto-test-$$.wav; \"$0\" in.wav $f; s=$?; cmp -s $f expected.wav || s=99; rm -f $f; exit $s"},
        // A name for a descriptor of the run is written through that descriptor, as the
        // caller's redirection opened it.
        {.name = "a pipe named by its descriptor",
         .shell = "set -o pipefail; \"$0\" in.wav /dev/fd/3 3>&1 >/dev/null | cat > piped.wav",
         .after = {{"piped.wav", kScrambled}}},
        {.name = "a deleted file's descriptor is written, no file of its name is made",
         .shell = "exec 7>gone.wav && rm gone.wav && \"$0\" in.wav /proc/self/fd/7"},
        {.name = "appending through dev fd 3: the file keeps its bytes and its inode",
         .shell = kKeep + "\"$0\" in.wav /dev/fd/3 3>>log.bin" + kSameInode, .after = {{"log.bin", "KEEP\n" + kScrambled}}},
        {.name = "the same through proc self fd 3",
         .shell = kKeep + "\"$0\" in.wav /proc/self/fd/3 3>>log.bin" + kSameInode,
         .after = {{"log.bin", "KEEP\n" + kScrambled}}},
        {.name = "a truncating descriptor: the file holds the WAV alone, same inode",
         .shell = kKeep + "\"$0\" in.wav /dev/fd/3 3>log.bin" + kSameInode, .after = {{"log.bin", kScrambled}}},
        {.name = "lines written through the descriptor before and after the run stay in order",
         .shell = "exec 3>>f; echo earlier >&3; \"$0\" in.wav /dev/fd/3; s=$?; echo later >&3; exit $s",
         .after = {{"f", "earlier\n" + kScrambled + "later\n"}}},
        {.name = "dev stdout into a file: the report, the WAV, then the closing line", .files = {{"in.wav", kReported}},
         .shell = "\"$0\" in.wav /dev/stdout >log.bin", .after = {{"log.bin", kReported + "-stdout"}}},
        {.name = "another process's descriptor: refused, its file as it was", .lay = "printf 'KEEP\\n' >log.bin",
         .shell = "exec 3>>log.bin; \"$0\" in.wav /proc/$$/fd/3 3>&-; s=$?; exit $s", .status = 255,
         .errTail = "/fd/3" + kCannotOpen},
        {.name = "another process's descriptor 1, the run's own another file: refused, its file as it was",
         .lay = "printf 'KEEP\\n' >log.bin", .shell = "exec 4>&1 >>log.bin; \"$0\" in.wav /proc/$$/fd/1 >&4; s=$?; exit $s",
         .status = 255, .errTail = "/fd/1" + kCannotOpen},
        // Swapped between velto's look at the name and its open: the FIFO's reader gets nothing.
        {.name = "a FIFO swapped for another user's before it is opened: refused", .root = "plants another user's FIFO",
         .needs = kStrace, .lay = "mkfifo out.wav",
         .shell = "ASAN_OPTIONS=detect_leaks=0 strace -o t.log -P out.wav -e trace=openat -e inject=openat:delay_enter=2s:when=1 "
                  "\"$0\" in.wav out.wav & until [ -s t.log ]; do sleep 0.01; done; rm out.wav t.log && mkfifo out.wav && "
                  "chown nobody out.wav && cat out.wav > got.wav; wait $!",
         .status = 255, .errTail = "out.wav" + kCannotOpen, .after = {{"got.wav", ""}}},
        {.name = "a device swapped for a FIFO before it is opened: refused without waiting for a reader",
         .root = "makes a device node", .needs = kStrace, .lay = "mknod out.wav c 1 3",
         .shell = "ASAN_OPTIONS=detect_leaks=0 strace -o t.log -P out.wav -e trace=openat -e inject=openat:delay_enter=2s:when=1 "
                  "\"$0\" in.wav out.wav & until [ -s t.log ]; do sleep 0.01; done; rm out.wav t.log && mkfifo out.wav; wait $!",
         .status = 255, .errTail = "out.wav" + kCannotOpen},
        {.name = "a descriptor open only for reading: refused", .lay = "printf 'KEEP\\n' >log.bin",
         .output = "/dev/fd/3", .shell = "\"$0\" in.wav /dev/fd/3 3<log.bin", .refused = true},
        {.name = "a block device is synced: a failing sync fails the run", .root = "sets up a loop device",
         .needs = kStrace, .lay = "truncate -s 1M disk",
         .shell = "d=$(losetup -f --show disk) || exit 99; " + kTraced + "-e trace=fsync -e inject=fsync:error=EIO "
                  "\"$0\" in.wav $d; s=$?; losetup -d $d; exit $s",
         .status = 255, .errTail = kWriteFailed, .after = {{"disk", kScrambled + std::string(1048576 - 600044, '\0')}}},
        // The first is held as it links its unnamed file in, the others started then: they take
        // the name first, and it must link its file in under a temporary name and rename it. The
        // plain POSIX build links nothing in, so its first run ends before the others start.
        {.name = "twelve runs making one new output at once all succeed", .needs = kStrace,
         .shell = "ASAN_OPTIONS=detect_leaks=0 strace -o t.log -P out.wav -e trace=linkat "
                  "-e inject=linkat:delay_enter=2s:when=1 \"$0\" in.wav out.wav & until [ -s t.log ]; do sleep 0.01; done; "
                  "for i in 1 2 3 4 5 6 7 8 9 10 11; do \"$0\" in.wav out.wav & done; s=0; "
                  "for p in $(jobs -p); do wait $p || s=1; done; rm t.log; exit $s",
         .after = {{"out.wav", kScrambled}}},
    };
    return all;
}

// Everything a row mounted below its directory, last first, and the attributes chattr set
// there, undone when it ends.
struct Undo {
    fs::path dir;
    ~Undo() {
        if (geteuid() != 0) return;
        std::system(("awk '{print $2}' /proc/self/mounts | grep -F '" + dir.string() + "/' | tac | xargs -r umount -l; "
                     "chattr -R -i -a '" + dir.string() + "' 2>/dev/null").c_str());
    }
};

class OutputSafety : public ::testing::TestWithParam<Case> {};

TEST_P(OutputSafety, NoFailureCostsAByteOrLeavesAFile) {
    const Case& c = GetParam();
    if (c.root != nullptr && geteuid() != 0) GTEST_SKIP() << "needs root: " << c.root;
    if (c.portable != nullptr && !kLinuxFeatures) GTEST_SKIP() << c.portable;
    if ((c.prepare + c.shell).find(kHideProc) != std::string::npos && kSanitizedBuild) GTEST_SKIP() << "the sanitizers' runtime reads its options from /proc";
    for (const auto& [program, package] : c.needs) {
        if (const std::string why = missing(program, package); !why.empty()) GTEST_SKIP() << why;
    }
    ScratchDir dir;
    Undo undo{dir.path};
    if (geteuid() == 0) owned(dir.path, 0755);
    writeFile(dir / "in.wav", bytesOf(kClip));
    for (const auto& [name, mark] : c.files) {
        fs::create_directories((dir / name).parent_path());
        writeFile(dir / name, bytesOf(mark));
    }
    RunOptions options{.workDir = dir.path, .fileSizeLimit = c.limit, .user = geteuid() == 0 ? c.user : -1};
    if (!c.lay.empty()) {
        const RunResult laid = runProgram("/bin/sh", {"-c", c.lay}, {.workDir = dir.path});
        if (laid.status != 0) GTEST_SKIP() << "cannot be laid out here: " << laid.err;
    }
    if (c.setup) c.setup(dir.path, options);
    Files expected = snapshot(dir.path);
    const std::string output = c.deep ? (dir / kDeep / c.output).string() : c.output;
    const std::string input = c.inPlace ? output : options.workDir == dir.path ? "in.wav" : (dir / "in.wav").string();
    std::vector<std::string> command = {veltoPath(), input, output};
    if (!c.shell.empty()) command = {"/bin/bash", "-c", c.shell, veltoPath()};
    if (c.userNamespace) command.insert(command.begin(), {"/usr/bin/unshare", "-Ur"});
    if (!c.prepare.empty()) command = inOwnMounts(c.prepare, command);
    const RunResult r = runCommand(command, options);
    EXPECT_EQ(r.status, c.refused ? 255 : c.status) << r.err;
    const std::string& tail = !kLinuxFeatures && !c.portableTail.empty() ? c.portableTail
                              : c.refused                               ? c.output + kCannotOpen
                                                                        : c.errTail;
    EXPECT_TRUE(r.err.ends_with(toCp932(tail))) << r.err;
    if (c.status == 0 && !c.refused && c.shell.empty()) {
        const fs::path written = (c.deep ? dir / kDeep : options.workDir) / c.output;
        expected[written.lexically_relative(dir.path).string()] = bytesOf(kScrambled);
    }
    for (const auto& [name, mark] : c.after) expected[name] = bytesOf(mark);
    Files found = snapshot(dir.path);
    if (!c.onlyThese) std::erase_if(found, [&](const auto& file) { return !expected.contains(file.first); });
    EXPECT_EQ(differences(expected, found), "");
}

INSTANTIATE_TEST_SUITE_P(Output, OutputSafety, ::testing::ValuesIn(cases()),
                         [](const auto& row) { return rowName(row.param.name); });

// Runs `command` (velto under strace, its trace in `log`) in `dir`, waits for the `when`th
// `held` call to begin, and then does `act` with the pid of the process making it. The caller
// leaves `ignored` ignored, if it is a signal. Null when the call never came.
std::optional<RunResult> whileHeld(const std::vector<std::string>& command, const fs::path& dir, const fs::path& log,
                                   const std::string& held, int when, const std::function<void(pid_t)>& act,
                                   int ignored) {
    RunResult result;
    std::atomic<bool> ended = false;
    std::thread run([&] {
        result = runCommand(command, {.workDir = dir, .watchdogSeconds = 30, .ignoredSignal = ignored});
        ended = true;
    });
    pid_t velto = -1;
    while (velto < 0 && !ended) {
        std::ifstream in(log);
        int seen = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find(held + "(") != std::string::npos && ++seen == when) velto = std::stoi(line);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (velto > 0 && !ended) act(velto);
    run.join();
    // A run that missed its deadline may be left blocked where its tracer could not end it.
    std::error_code gone;
    if (velto > 0 && fs::read_symlink("/proc/" + std::to_string(velto) + "/exe", gone) == veltoPath()) kill(velto, SIGKILL);
    return velto > 0 ? std::optional(result) : std::nullopt;
}

struct SignalCase {
    std::string name;
    int sig = 0;                  // sent while the run is held; 0 for the file at the name swapped instead
    std::string output = "old.wav";
    std::string held = "fsync";   // the call during which the signal comes
    int when = 1;                 // which of its calls; 0: the first open of the output's name
    bool atExit = false;          // the signal comes once the call is done
    bool eitherEnd = false;       // the run may also go on to status 0 and the conversion
    bool completes = false;       // the run ends with status 0, the conversion under the name
    bool ignored = false;         // the caller leaves the signal ignored (as nohup does SIGHUP)
    bool bigClip = false;         // a clip over 2 MiB, whose buffer another thread faults in
    bool hideProc = false;        // /proc hidden: the temporary file has a name
    bool fifoFirst = false;       // swapped: a FIFO at the name gives way to a regular file
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

// Each signal that ends a process by default, and that a program may catch.
const int kTerminating[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,   SIGALRM,
                            SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,  SIGIO,   SIGSTKFLT, SIGRTMIN + 1};

std::string signalName(int sig) { return sig >= SIGRTMIN ? "a real-time signal" : "SIG" + std::string(sigabbrev_np(sig)); }

std::vector<SignalCase> signalCases() {
    std::vector<SignalCase> rows = {
        {.name = "SIGKILL, new output", .sig = SIGKILL, .output = "out.wav"},
        {.name = "SIGKILL over an existing file", .sig = SIGKILL},
        {.name = "SIGTERM, in place", .sig = SIGTERM, .output = "in.wav"},
        {.name = "SIGTERM with a clip over 2 MiB", .sig = SIGTERM, .output = "out.wav", .bigClip = true},
        {.name = "SIGINT, named temporary file", .sig = SIGINT, .hideProc = true},
        {.name = "SIGTERM, new output, named temporary file", .sig = SIGTERM, .output = "out.wav", .hideProc = true},
        // A signal the caller ignores is no interrupt.
        {.name = "SIGHUP under nohup: the run goes on", .sig = SIGHUP, .output = "out.wav", .completes = true,
         .ignored = true},
        {.name = "SIGUSR1 ignored by the caller: the run goes on", .sig = SIGUSR1, .completes = true, .ignored = true},
        // Another user swaps the file for a FIFO, or a FIFO for a file, between velto's look at
        // the name and its open.
        {.name = "a FIFO put in place of the old file before it is opened: refused at once", .held = "openat",
         .when = 0},
        {.name = "a regular file put in place of a FIFO before it is opened: refused, the file as it was",
         .output = "fifo.wav", .held = "openat", .when = 0, .fifoFirst = true},
    };
    for (const int sig : kTerminating) {
        rows.push_back({.name = signalName(sig) + " before the file takes its name: nothing changes", .sig = sig});
    }
    // Once the complete file takes its name, a signal waits for the run to end: held as it
    // takes the name, or as the directory is synced after.
    for (const auto& [sig, output] : {std::pair{SIGTERM, "in.wav"}, {SIGUSR1, "old.wav"}, {SIGRTMIN + 1, "old.wav"}}) {
        rows.push_back({.name = signalName(sig) + " while " + output + " takes its name: the run completes", .sig = sig,
                        .output = output, .held = "renameat", .completes = true});
    }
    for (const auto& [sig, output] : {std::pair{SIGINT, "out.wav"}, {SIGALRM, "old.wav"}, {SIGXCPU, "old.wav"}}) {
        rows.push_back({.name = signalName(sig) + " while the name " + output + " is synced: the run completes", .sig = sig,
                        .output = output, .when = 2, .completes = true});
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
    // Signals that dump core would leave a core file beside the output.
    const struct rlimit noCore {};
    setrlimit(RLIMIT_CORE, &noCore);
    ScratchDir top;
    const fs::path dir = top / "work";
    fs::create_directory(dir);
    const std::string data = c.bigClip ? noise((3u << 20) + 2, 3) : clipData();
    const std::string clip = canonicalWav(kStereo16, data);
    writeFile(dir / "in.wav", clip);
    writeFile(dir / "old.wav", kOld);
    const fs::path log = top / "strace.log";
    if (c.fifoFirst) mkfifo((dir / c.output).c_str(), 0666);
    // The first open of the output's name is the first call of a trace that keeps only the
    // calls on that name.
    const int when = c.when == 0 ? 1 : c.when;
    const std::string delay = c.sig == 0  ? ":delay_enter=2s:when=" + std::to_string(when)
                              : c.atExit ? ":delay_exit=1s:when=" + std::to_string(when)
                                         : ":delay_enter=1s:when=" + std::to_string(when) + "+";
    std::vector<std::string> options = {"-e", "trace=" + c.held, "-e", "inject=" + c.held + delay};
    if (c.when == 0) options.insert(options.end(), {"-P", c.output});
    std::vector<std::string> command = underStrace(log, options, {"in.wav", c.output});
    if (c.hideProc) command = inOwnMounts(kHideProc, command);
    const std::optional<RunResult> run = whileHeld(command, dir, log, c.held, when, [&](pid_t velto) {
        if (c.sig != 0) {
            kill(velto, c.sig);
        } else {
            fs::remove(dir / c.output);
            if (c.fifoFirst) writeFile(dir / c.output, kOld);
            else mkfifo((dir / c.output).c_str(), 0666);
        }
    }, c.ignored ? c.sig : 0);
    ASSERT_TRUE(run) << "the held call never came";
    Files expected = {{"in.wav", clip}, {"old.wav", kOld}};
    // strace ends as its tracee did: of the signal, or with its status.
    if (c.completes || (c.eitherEnd && run->status == 0)) {
        EXPECT_EQ(run->status, 0) << run->err;
        expected[c.output] = canonicalWav(kStereo16, mirrored(data, 16, 2));
    } else if (c.sig == 0) {
        EXPECT_EQ(run->status, 255);
        EXPECT_TRUE(run->err.ends_with(toCp932(c.output + kCannotOpen))) << run->err;
        expected[c.output] = c.fifoFirst ? kOld : kNotRegular;
    } else {
        EXPECT_EQ(run->status, 128 + c.sig) << "not ended by the signal";
    }
    EXPECT_EQ(differences(expected, snapshot(dir)), "");
}

INSTANTIATE_TEST_SUITE_P(WhileWriting, Interrupted, ::testing::ValuesIn(signalCases()),
                         [](const auto& row) { return rowName(row.param.name); });

}  // namespace
