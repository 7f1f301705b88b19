// No failure of the write costs a byte of an existing file or leaves a file behind, and every
// conversion the system allows goes through; where the file under the output name cannot be
// replaced, the run is refused before anything is written. Failures are made as users meet
// them: small file systems, file-size limits, other users' directories and files, file
// attributes, mounts, deep paths, descriptors, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "support/support.h"

namespace {

using namespace testing_support;

const std::string kOld = "the user's precious old bytes";
const std::string kAfterData = "[bytes]\n";  // the data length line, before the writer's messages
const std::string kFull = kWriteFailed + kDataWriteFailed;

const std::string& clipData() {
    static const std::string data = noise(600000, 42);
    return data;
}

// Builds of the plain POSIX code name their temporary files, keep no extended attributes or
// access lists, read no id maps, cannot see append-only directories or a file's own
// attributes, and know no rule for links or FIFOs in sticky directories.
constexpr bool kLinuxFeatures = VELTO_LINUX_FEATURES;

// A row that cannot run here, and why.
struct Skip {
    std::string why;
};

// The row's own mount namespace, entered by the test itself: what a layout mounts there is seen
// by the row's runs alone, and goes with the namespace when the row ends. The system lets the
// test back into its own namespace only while no other thread shares its file-system context,
// so nothing a row starts in a thread outlives the row (a FIFO's reader is a process).
class OwnMounts {
    int home_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    int cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);

public:
    OwnMounts() {
        if (unshare(CLONE_NEWNS) != 0) throw Skip{"cannot make a mount namespace"};
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    }
    ~OwnMounts() {
        if (setns(home_, CLONE_NEWNS) != 0 || fchdir(cwd_) != 0) {
            ADD_FAILURE() << "the test cannot go back to its mount namespace: " << std::strerror(errno);
        }
        close(home_);
        close(cwd_);
    }
};

// One situation, as a layout builds it, and how the run meets it: `velto INPUT OUTPUT` in the
// scratch directory, unless the layout says otherwise.
struct Scene {
    fs::path dir;                    // the scratch directory, in.wav (the clip) in it
    ScratchDir aside;                // for what must not show among its files: images, traces
    RunOptions options;
    std::string input = "in.wav";
    std::string output;              // the name velto is given
    std::vector<std::string> wrap;   // the run goes through these commands first
    std::string script;              // or this bash script, velto as "$0", the input and output as "$@"
    std::function<void(Scene&)> held;  // done while velto's first open of the output is held
    std::optional<OwnMounts> mounts;
    std::vector<fs::path> mounted;   // last first
    std::vector<std::function<void()>> undo;  // what makes the tree removable again, before it is read
    fs::path readerFifo;             // a FIFO that a reader opens `readerDelay` seconds after the
    int readerDelay = -1;            // run starts (-1: when the row starts it); it keeps what it
    pid_t reader = -1;               // gets in got.wav

    // The reader, a process of its own, which does only what a child of a process with threads
    // may do: it writes got.wav as it reads, and only once it has read a byte.
    void startReader() {
        const std::string fifo = readerFifo.string(), got = (dir / "got.wav").string();
        if ((reader = fork()) != 0) return;
        sleep(static_cast<unsigned>(std::max(readerDelay, 0)));
        const int in = open(fifo.c_str(), O_RDONLY);
        char piece[65536];
        int out = -1;
        for (ssize_t n; in >= 0 && (n = read(in, piece, sizeof piece)) > 0;) {
            if (out < 0) out = open(got.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (write(out, piece, static_cast<std::size_t>(n)) != n) _exit(1);
        }
        _exit(0);
    }
    void restore() {
        for (auto& step : undo) step();
        undo.clear();
        // A reader still waiting for a writer is given one that writes nothing; one that is not
        // done after that is ended. Either way it is waited for.
        for (int tries = 0; reader > 0 && waitpid(reader, nullptr, WNOHANG) == 0 && tries < 1000; ++tries) {
            const int fd = open(readerFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (reader > 0 && kill(reader, SIGKILL) == 0) waitpid(reader, nullptr, 0);
        reader = -1;
    }
    ~Scene() {
        restore();
        for (const fs::path& point : mounted) umount2(point.c_str(), MNT_DETACH);
    }
};

using Layout = std::function<void(Scene&)>;
Layout operator+(Layout a, Layout b) {
    return [a, b](Scene& s) { a(s), b(s); };
}

// ---- The parts layouts are made of --------------------------------------------------------

void needRoot(const std::string& why) {
    if (geteuid() != 0) throw Skip{"needs root: " + why};
}
void needTool(const std::string& program, const std::string& package) {
    if (const std::string why = missing(program, package); !why.empty()) throw Skip{why};
}
void linuxOnly(const char* why) {
    if (!kLinuxFeatures) throw Skip{why};
}
const char* const kNoAttributes = "the plain POSIX build keeps no access lists or extended attributes";
// Runs a program found on the PATH, in the scratch directory; a row that cannot be laid out skips.
std::string tool(Scene& s, const std::vector<std::string>& args) {
    const RunResult r = runProgram("/usr/bin/env", args, {.workDir = s.dir});
    if (r.status != 0) throw Skip{"cannot be laid out here: " + args.front() + ": " + r.err};
    return r.out;
}

// One thing laid out at `path`: a directory where the path ends in '/', a FIFO for the bytes
// kNotRegular, a symbolic link for "-> target", else a file of `bytes`; given to `owner` and
// `group` (-1: as made; only root gives a file away), then `mode` (0: as made).
struct Lay {
    std::string path;
    unsigned mode = 0;
    int owner = -1;
    int group = -1;
    std::string bytes = kOld;
};
Layout lay(const std::vector<Lay>& list) {
    return [=](Scene& s) {
        for (const Lay& l : list) {
            const fs::path p = s.dir / l.path;
            fs::create_directories(l.path.ends_with('/') ? p : p.parent_path());
            if (l.bytes == kNotRegular && mkfifo(p.c_str(), 0666) != 0) throw Skip{"cannot make a FIFO here"};
            if (l.bytes.starts_with("-> ")) fs::create_symlink(l.bytes.substr(3), p);
            if (l.bytes != kNotRegular && !l.bytes.starts_with("-> ") && !l.path.ends_with('/')) writeFile(p, l.bytes);
            if ((l.owner >= 0 || l.group >= 0) &&
                (geteuid() != 0 || lchown(p.c_str(), static_cast<uid_t>(l.owner), static_cast<gid_t>(l.group)) != 0)) {
                throw Skip{"needs root: gives " + l.path + " to another user"};
            }
            if (l.mode != 0) fs::permissions(p, static_cast<fs::perms>(l.mode));
        }
    };
}
// `at` (made where missing) as a mount point in the row's own mount namespace, entered on the
// row's first mount; what is mounted there goes when the row ends.
std::string mountPoint(Scene& s, const std::string& at) {
    needRoot("mounts a file system");
    if (!s.mounts) s.mounts.emplace();
    if (!fs::exists(s.dir / at)) fs::create_directories(s.dir / at);
    s.mounted.insert(s.mounted.begin(), s.dir / at);
    return (s.dir / at).string();
}
void mountAt(Scene& s, const std::string& at, const char* source, const char* type, unsigned long flags,
             const std::string& data) {
    if (mount(source, mountPoint(s, at).c_str(), type, flags, data.c_str()) != 0) {
        throw Skip{"cannot mount " + at + ": " + std::strerror(errno)};
    }
}
// An image of `size`, made by `mkfs` (a program from `package`, and its options) and mounted at
// m by `mounter`.
void image(Scene& s, std::vector<std::string> mkfs, const std::string& package, const std::string& size,
           std::vector<std::string> mounter) {
    const std::string at = mountPoint(s, "m"), file = (s.aside / "image").string();
    needTool(mkfs.front(), package);
    tool(s, {"truncate", "-s", size, file});
    mkfs.push_back(file);
    tool(s, mkfs);
    mounter.insert(mounter.end(), {file, at});
    tool(s, mounter);
}
// A file attribute (`attribute`: chattr's +i or +a) on `path`, taken off when the row ends.
void flag(Scene& s, const std::string& path, const std::string& attribute) {
    needRoot("sets file attributes with chattr");
    const RunResult r = runProgram("/usr/bin/env", {"chattr", attribute, path}, {.workDir = s.dir});
    if (r.status != 0) throw Skip{"needs /tmp on a file system that takes chattr, such as ext4, XFS or btrfs"};
    s.undo.push_back([p = (s.dir / path).string()] { runProgram("/usr/bin/env", {"chattr", "-ia", p}, {}); });
}

// ---- Layouts ------------------------------------------------------------------------------

Layout sizeLimit(long long bytes) {
    return [=](Scene& s) { s.options.fileSizeLimit = bytes; };
}
Layout descriptorLimit(int count) {
    return [=](Scene& s) { s.wrap.insert(s.wrap.end(), {"/usr/bin/prlimit", "--nofile=" + std::to_string(count)}); };
}
void asNobody(Scene& s) {
    needRoot("runs as another user");
    s.options.user = kNobody;
}
// The user's own file in place: the run is in place.
void inPlace(Scene& s) {
    writeFile(s.dir / s.output, readFile(s.dir / s.input));
    s.input = s.output;
}
// A file system of `type` at m holding out.wav.
Layout fileSystem(const char* type, const std::string& options) {
    return [=](Scene& s) { mountAt(s, "m", "none", type, 0, options); } + lay({{"m/out.wav"}});
}
void readOnly(Scene& s) { mountAt(s, "m", nullptr, nullptr, MS_REMOUNT | MS_RDONLY, ""); }
// A file the user may write (of `oldLength` bytes where given), in root's directory locked/ that
// the user may not.
Layout lockedDirectory(std::size_t oldLength = 0) {
    return [=](Scene& s) {
        asNobody(s);
        lay({{"locked/out.wav", 0666, -1, -1, oldLength == 0 ? kOld : noise(oldLength, 5)}})(s);
    };
}
// Root's directory m/shared on tmpfs holding the user's own old.wav, the first 1,044 bytes of
// big.wav, a clip of 3,000,044 bytes that the user converts.
void usersFileOnTmpfs(Scene& s) {
    asNobody(s);
    mountAt(s, "m", "none", "tmpfs", 0, "size=16m");
    const std::string big = canonicalWav(kStereo16, noise(3000000, 11));
    lay({{"big.wav", 0, -1, -1, big}, {"m/shared/", 0755}, {"m/shared/old.wav", 0644, kNobody, -1, big.substr(0, 1044)}})(s);
    s.input = "big.wav";
}
// A sticky world-writable directory sticky/ of `owner`, holding a writable file of `fileOwner`.
Layout stickyDirectory(int owner, int fileOwner = 0) {
    return lay({{"sticky/", 01777, owner}, {"sticky/out.wav", 0666, fileOwner}});
}
// root's file open/out.wav of `mode`, or `owner`'s, in root's world-writable directory.
Layout othersFile(unsigned mode, int owner = 0, int group = -1) {
    return lay({{"open/", 0777, 0}, {"open/out.wav", mode, owner, group}});
}
// A directory that only grows, grows/, holding old.wav.
const Layout appendOnlyDirectory = [](Scene& s) {
    linuxOnly("the plain POSIX build cannot see append-only directories");
    lay({{"grows/old.wav"}})(s);
    flag(s, "grows", "+a");
};
Layout fileFlag(const std::string& attribute) {
    return [=](Scene& s) { lay({{"old.wav"}})(s), flag(s, "old.wav", attribute); };
}
// src.wav mounted over out.wav.
void mountedOver(Scene& s) {
    lay({{"out.wav", 0, -1, -1, "hidden"}, {"src.wav"}})(s);
    mountAt(s, "out.wav", (s.dir / "src.wav").c_str(), nullptr, MS_BIND, "");
}
// /proc hidden, as in a container without it: no file can be named by its descriptor there.
void procHidden(Scene& s) {
    if (kSanitizedBuild) throw Skip{"the sanitizers' runtime reads its options from /proc"};
    mountAt(s, "/proc", "none", "tmpfs", 0, "");
}
// The system's protection of links or FIFOs in sticky directories (fs.protected_symlinks,
// fs.protected_fifos) as velto reads it, for the row alone.
Layout protectedSetting(const std::string& setting, int value) {
    return [=](Scene& s) {
        writeFile(s.aside / setting, std::to_string(value) + "\n");
        mountAt(s, "/proc/sys/fs/" + setting, (s.aside / setting).c_str(), nullptr, MS_BIND, "");
    };
}
Layout protectedLinks(int value) { return protectedSetting("protected_symlinks", value); }
Layout protectedFifos(int value) { return protectedSetting("protected_fifos", value); }
// A sticky world-writable directory pub/ of `owner` where user nobody has planted `link` to
// `target`, root's file victim.wav beside it.
Layout plantedLink(const std::string& link, const std::string& target, int owner = 0) {
    return lay({{"pub/", 01777, owner}, {"victim.wav", 0600, 0}, {"pub/" + link, 0, kNobody, -1, "-> " + target}});
}
// A FIFO at `path` of `owner`, whose reader comes `delay` seconds after the run starts (-1:
// when the row starts it).
Layout fifo(const std::string& path, int delay = -1, int owner = -1) {
    return lay({{path, 0666, owner, -1, kNotRegular}}) + [=](Scene& s) { s.readerFifo = s.dir / path, s.readerDelay = delay; };
}
// User nobody's FIFO pub/out.wav, read by the tests, in a sticky directory pub/ of `mode` and `owner`.
Layout plantedFifo(unsigned mode, int owner = 0) { return lay({{"pub/", mode, owner}}) + fifo("pub/out.wav", 0, kNobody); }
// The run as root of a user namespace where only root's ids are mapped.
void userNamespace(Scene& s) {
    needRoot("runs in a user namespace as another user's");
    tool(s, {"unshare", "-Ur", "true"});
    s.wrap.insert(s.wrap.end(), {"/usr/bin/unshare", "-Ur"});
}
// The same with a mount namespace of its own where /proc is hidden.
void userNamespaceProcHidden(Scene& s) {
    userNamespace(s);
    if (kSanitizedBuild) throw Skip{"the sanitizers' runtime reads its options from /proc"};
    s.wrap.insert(s.wrap.end(), {"-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"", "sh"});
}
// A user namespace whose id maps are `map`, written from outside while the run waits for them.
Layout userNamespaceMapping(const std::string& map) {
    return [=](Scene& s) {
        userNamespace(s);
        s.wrap.clear();
        s.script = "mkfifo go && { unshare -U sh -c 'read x < go && exec \"$0\" \"$@\"' \"$0\" \"$@\" & } && p=$! && "
                   "until [ $(readlink /proc/$p/ns/user) != $(readlink /proc/$$/ns/user) ]; do sleep 0.01; done && "
                   "for m in uid gid; do /usr/bin/printf '" + map + "' > /proc/$p/${m}_map; done && "
                   "echo > go; wait $p; s=$?; rm go; exit $s";
    };
}
// An access list entry on `path` (setfacl's -m), or on a directory its default one (-d).
Layout accessList(const std::string& path, const std::string& entry, bool byDefault = false) {
    return [=](Scene& s) {
        linuxOnly(kNoAttributes);
        needTool("setfacl", "acl");
        tool(s, {"setfacl", byDefault ? "-dm" : "-m", entry, path});
    };
}
Layout attribute(const std::string& path, const std::string& name, const std::string& value) {
    return [=](Scene& s) {
        linuxOnly(kNoAttributes);
        const int set = setxattr((s.dir / path).c_str(), name.c_str(), value.data(), value.size(), 0);
        if (set != 0) throw Skip{"needs extended attributes in /tmp"};
    };
}
// An ext4 image at m: a directory acl/ with a default access list, and its file old.wav with
// none, whose space for extended attributes is full: user.a0, user.a1, ... of 180 bytes until
// no more fits, then of fewer bytes, down to one.
void fullAttributesUnderDefaultAcl(Scene& s) {
    linuxOnly(kNoAttributes);
    image(s, {"mkfs.ext4", "-q"}, "e2fsprogs", "16M", {"mount", "-o", "loop"});
    (lay({{"m/acl/old.wav", 0640}}) + accessList("m/acl", "u:4242:rw,g:4343:r", true))(s);
    const std::string file = (s.dir / "m/acl/old.wav").string();
    int n = 0;
    for (const std::size_t size : {180, 100, 50, 20, 10, 5, 2, 1}) {
        const auto set = [&] {
            const std::string value(size, static_cast<char>('a' + n % 26));
            return setxattr(file.c_str(), ("user.a" + std::to_string(n)).c_str(), value.data(), size, 0) == 0;
        };
        while (set()) ++n;
        if (errno != ENOSPC) throw Skip{"cannot fill the attribute space: " + std::string(std::strerror(errno))};
    }
}
// The `when`th call (0: every one) of `call` velto makes, on `path` if given, fails with `error`.
Layout injected(const std::string& call, const std::string& error, int when = 0, const std::string& path = "") {
    return [=](Scene& s) {
        needTool("strace", "strace");
        const std::string which = when > 0 ? ":when=" + std::to_string(when) : "";
        s.wrap.insert(s.wrap.end(), {"/usr/bin/strace", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                                     "trace=" + call, "-e", "inject=" + call + ":error=" + error + which});
        if (!path.empty()) s.wrap.insert(s.wrap.end(), {"-P", path});
    };
}
// As a FUSE or network file system without extended attributes answers.
void noAttributes(Scene& s) {
    linuxOnly(kNoAttributes);
    (lay({{"old.wav"}}) + injected("flistxattr", "EOPNOTSUPP"))(s);
}
// drop/, which the user (user nobody, for root) may write but not read.
void writeOnlyDirectory(Scene& s) {
    const int user = geteuid() == 0 ? kNobody : -1;
    lay({{"drop/", 0333, user, user}})(s);
    s.options.user = user;
    s.undo.push_back([p = s.dir / "drop"] { fs::permissions(p, fs::perms::owner_all, fs::perm_options::add); });
}
// locked/link.wav, in a directory the user (nobody, for root) may not write, to open/real.wav,
// which has another hard link open/other.wav.
void linkToHardLinkedFile(Scene& s) {
    const int user = geteuid() == 0 ? kNobody : -1;
    lay({{"open/real.wav", 0644, user, user}})(s);
    fs::create_hard_link(s.dir / "open/real.wav", s.dir / "open/other.wav");
    lay({{"locked/link.wav", 0, -1, -1, "-> ../open/real.wav"}, {"open/", 0755, user, user}, {"locked/", 0555, user, user}})(s);
    s.options.user = user;
    s.undo.push_back([p = s.dir / "locked"] { fs::permissions(p, fs::perms::owner_all, fs::perm_options::add); });
}
// A directory path of `length` bytes, in components the system takes, made in the scratch directory.
std::string deepPath(Scene& s, std::size_t length) {
    std::string path;
    while (path.size() + 201 < length) path += std::string(200, 'd') + "/";
    path += std::string(length - path.size(), 'e');
    makeDirectories(s.dir, path);
    return path;
}
// The output in a directory whose path is near the system's limit.
const Layout nearPathLimit = [](Scene& s) {
    const std::size_t scratch = (fs::temp_directory_path() / "velto-test-XXXXXX/").string().size();
    s.output = (s.dir / deepPath(s, 4085 - scratch) / s.output).string();
};
void deepWorkingDirectory(Scene& s) {
    s.options.workDir = s.dir / deepPath(s, 4300);
    s.input = (s.dir / "in.wav").string();
}
// In.wav a clip of more than one 64 MiB write.
void clipOver64MiB(Scene& s) { writeFile(s.dir / "in.wav", canonicalWav(kStereo16, noise((std::size_t{65} << 20) + 4000, 9))); }
// The output in /, under a name of the row's own.
void rootDirectory(Scene& s) {
    needRoot("writes in /");
    s.output = "/." + std::to_string(getpid()) + "-" + s.output;
}
// In.wav the report table's canonical clip, whose texts are known.
void reportedClip(Scene& s) { writeFile(s.dir / "in.wav", reportCases().front().file); }
// log.bin, which a descriptor of the run may name.
const Layout keptLog = lay({{"log.bin", 0, -1, -1, "KEEP\n"}});
// The run in a bash script of its own: `what` is velto, with the input and output.
Layout script(const std::string& what) {
    return [=](Scene& s) { s.script = what; };
}
Layout redirected(const std::string& redirection) { return script("\"$0\" \"$@\" " + redirection); }
// A loop device over the file disk of 1 MiB: the output.
void loopDevice(Scene& s) {
    needRoot("sets up a loop device");
    lay({{"disk", 0, -1, -1, std::string(1 << 20, '\0')}})(s);
    s.output = tool(s, {"losetup", "-f", "--show", "disk"});
    s.output.pop_back();
    s.undo.push_back([device = s.output] { runProgram("/usr/bin/env", {"losetup", "-d", device}, {}); });
}
// Overlayfs on btrfs, which reports itself and not the btrfs beneath: o/shared/rec.wav, the
// user's file in root's directory.
void overlayOnBtrfs(Scene& s) {
    image(s, {"mkfs.btrfs", "-f"}, "btrfs-progs", "300M", {"mount", "-o", "loop"});
    lay({{"m/lower/"}, {"m/upper/"}, {"m/work/"}})(s);
    const std::string m = (s.dir / "m/").string();
    mountAt(s, "o", "none", "overlay", 0, "lowerdir=" + m + "lower,upperdir=" + m + "upper,workdir=" + m + "work");
    (lay({{"o/shared/", 0755}, {"o/shared/rec.wav", 0644, kNobody}}) + asNobody)(s);
}
// XFS: m/locked/out.wav, which the user may write in root's directory, sharing its blocks with
// a copy.
void reflinkedOnXfs(Scene& s) {
    image(s, {"mkfs.xfs", "-f"}, "xfsprogs", "320M", {"mount", "-o", "loop"});
    lay({{"m/locked/out.wav", 0666}})(s);
    tool(s, {"cp", "--reflink=always", "m/locked/out.wav", "m/copy.wav"});
    asNobody(s);
}
// FAT32 through FUSE, which has no modes or owners to give, holding m/a.wav.
void fatThroughFuse(Scene& s) {
    needTool("fusefat", "fusefat");
    if (!fs::exists("/dev/fuse")) throw Skip{"needs /dev/fuse"};
    image(s, {"mkfs.vfat", "-F", "32"}, "dosfstools", "64M", {"fusefat", "-o", "rw+"});
    lay({{"m/a.wav"}})(s);
}
// velto's first open of the output is held two seconds, while `act` is done.
Layout heldAtOpen(std::function<void(Scene&)> act) {
    return [=](Scene& s) { needTool("strace", "strace"), s.held = act; };
}
// root's FIFO out.wav, to be read when the row starts its reader.
const Layout rootsFifo = fifo("out.wav", -1, 0);
// What is done meanwhile: root's FIFO out.wav gives way to user nobody's, which is then read.
void othersFifoPutInPlace(Scene& s) {
    fs::remove(s.dir / "out.wav");
    fifo("out.wav", 0, kNobody)(s);
    s.startReader();
}
// root's FIFO out.wav is given to user nobody, the same inode, and read.
void fifoGivenAway(Scene& s) {
    if (lchown((s.dir / "out.wav").c_str(), kNobody, static_cast<gid_t>(-1)) != 0) ADD_FAILURE() << "cannot give out.wav away";
    s.startReader();
}
// A device out.wav gives way to a FIFO nobody reads.
void deviceGivesWayToFifo(Scene& s) {
    fs::remove(s.dir / "out.wav");
    lay({{"out.wav", 0666, -1, -1, kNotRegular}})(s);
}
void device(Scene& s) {
    needRoot("makes a device node");
    if (mknod((s.dir / "out.wav").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) throw Skip{"cannot make a device node"};
}
// A run in which each id map in turn cannot be read: the first read of uid_map, then of
// gid_map, fails with EIO. Which read that is, a clean run over a copy (p.wav) counts; a run
// whose failure did not fall on the map fails the row.
const std::string kMapUnreadable =
    "export ASAN_OPTIONS=detect_leaks=0; for m in uid gid; do cp -p \"$2\" p.wav && strace -y -o t.log -e trace=read \"$0\" \"$1\" p.wav >/dev/null 2>&1 && "
    "n=$(awk -v m=\"/${m}_map>\" '/read\\(/ {n++} index($0, m) {print n; exit}' t.log) && [ -n \"$n\" ] && "
    "strace -y -o t.log -e trace=read -e inject=read:error=EIO:when=$n \"$0\" \"$@\" && "
    "grep -q \"${m}_map>.*INJECTED\" t.log || exit 9; done; rm t.log p.wav";
void withStrace(Scene&) { needTool("strace", "strace"); }

// ---- Outcomes -----------------------------------------------------------------------------

// Marks in an outcome's bytes, for what the row's input makes: the input as laid out, what velto
// must make of it, what a file behind /dev/stdout holds, and a fact as it was before the run.
const std::string kClip = "@clip";
const std::string kScrambled = "@scrambled";
const std::string kThroughStdout = "@stdout";
const std::string kBefore = "@before";
// The last line of a refusal before writing: "<the output> をオープンできません.".
const std::string kRefusal = "@refusal";

struct Outcome {
    int status = 0;
    std::string tail;       // how standard error ends, in UTF-8
    bool replaced = false;  // the output name holds the conversion
    Files files;            // what else holds what: files, and facts as "name::mode", "::owner", "::inode",
                            // "::acl" (getfacl -c), "::user.*" (every user attribute) or "::<an attribute>"
    bool ruled = false;     // refused by a rule for links or FIFOs the plain POSIX build does not know
    bool atNamingThere = false;  // the plain POSIX build refuses only at the naming
};
// Status 0, the conversion under the output name; `files` as they say.
Outcome converted(Files files = {}) { return {.replaced = true, .files = std::move(files)}; }
// Status 0, written through to what the name leads to, not a file made: `files` as they say.
Outcome writtenThrough(Files files = {}) { return {.files = std::move(files)}; }
// Refused before writing, every file as it was.
Outcome refused() { return {.status = 255, .tail = kRefusal}; }
Outcome refusedByRule() { return {.status = 255, .tail = kRefusal, .ruled = true}; }
Outcome refusedHereAtNamingThere() { return {.status = 255, .tail = kRefusal, .atNamingThere = true}; }
// Failed while writing (kWriteFailed, or kFull where the data write failed): the old bytes kept.
Outcome failedWriting(const std::string& tail, Files files = {}) {
    return {.status = 255, .tail = tail, .files = std::move(files)};
}

// What getfacl -c shows of a file of mode 640 without an access list.
const std::string kNoAcl = "user::rw-\ngroup::r--\nother::---\n\n";

struct Row {
    std::string name;
    Layout layout;
    std::string output;
    Outcome outcome;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

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
    const bool left = fs::read_symlink("/proc/" + std::to_string(velto) + "/exe", gone) == veltoPath();
    if (velto > 0 && left) kill(velto, SIGKILL);
    return velto > 0 ? std::optional(result) : std::nullopt;
}

// The rows: a name, a layout, the output name velto is given, and the outcome.
const std::vector<Row> kRows = {
    // The other rows run on /tmp, which takes direct writes where it is on a disk.
    {"a file system without direct writes", fileSystem("ramfs", ""), "m/out.wav", converted()},
    {"no inode for a temporary file, room for the bytes: refused",
     fileSystem("tmpfs", "size=2m,nr_inodes=2"), "m/out.wav", refused()},
    {"no inode and no room: refused", fileSystem("tmpfs", "size=300k,nr_inodes=2"), "m/out.wav", refused()},
    {"no room for the new bytes: the temporary file goes",
     fileSystem("tmpfs", "size=300k,nr_inodes=64"), "m/out.wav", failedWriting(kFull)},
    {"a read-only file system: refused", fileSystem("tmpfs", "size=2m") + readOnly, "m/out.wav", refused()},
    {"file-size limit, in place", sizeLimit(100000), "in.wav", failedWriting(kFull)},
    {"file-size limit over another file", lay({{"old.wav"}}) + sizeLimit(100000), "old.wav", failedWriting(kFull)},
    // No temporary file can be made beside it, so nothing is written.
    {"a directory the user may not write: refused", lockedDirectory(), "locked/out.wav", refused()},
    {"the same over a longer file", lockedDirectory(2000000), "locked/out.wav", refused()},
    {"the same with a file-size limit", lockedDirectory() + sizeLimit(100000), "locked/out.wav", refused()},
    // Few descriptors and a large clip: refused before a byte is written, so the file keeps its length.
    {"a user's file in root's directory on tmpfs with eight descriptors: refused",
     usersFileOnTmpfs + descriptorLimit(8), "m/shared/old.wav", refused()},
    // Only its owner or the directory's may remove or rename a file in a sticky directory.
    {"another user's writable file in a sticky directory: refused",
     stickyDirectory(0) + asNobody, "sticky/out.wav", refused()},
    {"the same where the sticky directory is the user's own: converted",
     stickyDirectory(kNobody) + asNobody, "sticky/out.wav", converted()},
    {"another user's read-only file: refused", othersFile(0644) + asNobody, "open/out.wav", refused()},
    // A directory that only grows takes a new name but gives up none, not even a
    // temporary file's: the file is linked in by its descriptor when complete.
    {"replacing a file in an append-only directory: refused", appendOnlyDirectory, "grows/old.wav", refused()},
    {"a new output in an append-only directory is made", appendOnlyDirectory, "grows/new.wav", converted()},
    {"the same replacement with proc hidden: refused", appendOnlyDirectory + procHidden, "grows/old.wav", refused()},
    {"the same new output with proc hidden is made", appendOnlyDirectory + procHidden, "grows/new.wav", converted()},
    // The plain POSIX build sees the last two only when the new file would take the name.
    {"an immutable file: refused", fileFlag("+i"), "old.wav", refused()},
    {"an append-only file: refused", fileFlag("+a"), "old.wav", refusedHereAtNamingThere()},
    {"a file mounted over: refused", mountedOver, "out.wav", refusedHereAtNamingThere()},
    {"btrfs under overlayfs, a user's file in root's directory: refused",
     overlayOnBtrfs, "o/shared/rec.wav", refused()},
    {"XFS, a file sharing its blocks with a copy, in a directory the user may not write: refused",
     reflinkedOnXfs, "m/locked/out.wav", refused()},
    {"FAT32 through FUSE: a file replaced, then converted in place",
     fatThroughFuse + script("\"$0\" \"$@\" && \"$0\" \"$2\" \"$2\""), "m/a.wav", converted({{"m/a.wav", kClip}})},
    // Setuid and setgid are cleared by the system when another user writes a file.
    {"setuid is not handed to a new owner",
     othersFile(04666) + asNobody,
     "open/out.wav", converted({{"open/out.wav::mode", "666"}, {"open/out.wav::owner", "65534:65534"}})},
    {"a replaced file keeps its access list and extended attributes",
     lay({{"old.wav", 0640}}) + accessList("old.wav", "u:nobody:rw") + attribute("old.wav", "user.note", "kept"),
     "old.wav", converted({{"old.wav::acl", "user::rw-\nuser:nobody:rw-\ngroup::r--\nmask::rw-\nother::---\n\n"}, {"old.wav::user.note", "kept"}})},
    // A new file inherits the directory's default access list; the old file had none.
    {"a replaced file without an access list gets none from its directory",
     lay({{"acl/old.wav", 0640}}) + accessList("acl", "u:nobody:rw", true),
     "acl/old.wav", converted({{"acl/old.wav::acl", kNoAcl}})},
    // Nor where it would take the last of the space for extended attributes that the old file's fill.
    {"a file whose extended-attribute space is full, in a folder with a default access list, is replaced and keeps every attribute",
     fullAttributesUnderDefaultAcl,
     "m/acl/old.wav", converted({{"m/acl/old.wav::acl", kNoAcl}, {"m/acl/old.wav::user.*", kBefore}})},
    {"an extended attribute that cannot be copied fails the run",
     lay({{"old.wav"}}) + attribute("old.wav", "user.project", "alpha") + injected("fsetxattr", "ENOSPC", 1),
     "old.wav", failedWriting(kWriteFailed, {{"old.wav::user.project", "alpha"}})},
    // As a FUSE or network file system without extended attributes answers.
    {"a file system that keeps no extended attributes: the file is replaced all the same",
     noAttributes, "old.wav", converted()},
    {"a directory that may be written but not read: a new file all the same",
     writeOnlyDirectory, "drop/out.wav", converted()},
    {"a dangling symbolic link and a failing write: nothing at its target",
     lay({{"store/"}, {"link.wav", 0, -1, -1, "-> store/new.wav"}}) + sizeLimit(100000),
     "link.wav", failedWriting(kFull)},
    // The temporary file is made beside the link's target, where the user may write, and
    // renamed there: the target's other hard link keeps the old bytes.
    {"a link in a locked directory to a file with another hard link",
     linkToHardLinkedFile,
     "locked/link.wav", converted({{"open/real.wav", kScrambled}, {"locked/link.wav", "-> ../open/real.wav"}})},
    // As the system refuses to follow them for anyone but their owner and the directory's,
    // where its setting says so; and follows them where it does not.
    {"another user's link in a sticky world-writable directory: refused",
     protectedLinks(1) + plantedLink("out.wav", "../victim.wav"), "pub/out.wav", refusedByRule()},
    {"the same, dangling: nothing is made where it points",
     protectedLinks(1) + plantedLink("new.wav", "../made.wav"), "pub/new.wav", refusedByRule()},
    {"the same link where the system follows such links: its target is converted",
     protectedLinks(0) + plantedLink("out.wav", "../victim.wav"),
     "pub/out.wav", converted({{"victim.wav", kScrambled}, {"pub/out.wav", "-> ../victim.wav"}})},
    // In a user namespace, ids without a mapping belong to nobody: neither the caller nor the
    // directory's owner, and no capability overrides the sticky rule for them.
    {"in a user namespace, another user's link in a sticky directory of a third user: refused",
     protectedLinks(1) + plantedLink("out.wav", "../victim.wav", 1001) + userNamespace, "pub/out.wav", refusedByRule()},
    // Where the namespace maps an id of its own to 65534, as a map of subordinate ids does,
    // that id still shows every id without a mapping.
    {"the same where the namespace's map holds 65534: refused",
     protectedLinks(1) + plantedLink("out.wav", "../victim.wav", 1001) + userNamespaceMapping("0 0 1\\n1 100000 65536\\n"),
     "pub/out.wav", refusedByRule()},
    {"in a user namespace, another user's file in another user's sticky directory: refused",
     stickyDirectory(kNobody, kNobody) + userNamespace, "sticky/out.wav", refusedHereAtNamingThere()},
    {"in a user namespace, a file whose owner has no mapping becomes the caller's",
     othersFile(0666, kNobody, kNobody) + userNamespace, "open/out.wav", converted({{"open/out.wav::owner", "0:0"}})},
    {"in a user namespace, a file whose access list names a user without a mapping: refused",
     othersFile(0666) + accessList("open/out.wav", "u:1001:rw") + userNamespace, "open/out.wav", refused()},
    {"in a user namespace with proc hidden, another user's FIFO in a third user's sticky directory: refused",
     plantedFifo(01777, 1001) + userNamespaceProcHidden, "pub/out.wav", refusedByRule()},
    // An id map that cannot be read is no reason to give the file to the caller.
    {"a replaced file keeps its owner and group where the id map cannot be read",
     lay({{"old.wav", 0644, 1001, 1002}}) + withStrace + script(kMapUnreadable),
     "old.wav", converted({{"old.wav::owner", "1001:1002"}})},
    // Another user's FIFO in a sticky directory would pass the recording to its reader: where
    // the system protects FIFOs, velto refuses it, root as well; where not, it is written.
    {"another user's FIFO in a sticky world-writable directory: refused",
     protectedFifos(1) + plantedFifo(01777), "pub/out.wav", refusedByRule()},
    {"the same in a sticky directory its group may write, at the second level: refused",
     protectedFifos(2) + plantedFifo(01770), "pub/out.wav", refusedByRule()},
    {"the same FIFO in a directory of its owner's is written",
     protectedFifos(1) + plantedFifo(01777, kNobody), "pub/out.wav", writtenThrough({{"got.wav", kScrambled}})},
    {"where the system protects no FIFOs, another user's FIFO receives the output",
     protectedFifos(0) + plantedFifo(01777), "pub/out.wav", writtenThrough({{"got.wav", kScrambled}})},
    {"a FIFO whose reader comes a second after the run starts is waited for",
     fifo("out.wav", 1), "out.wav", writtenThrough({{"got.wav", kScrambled}})},
    {"another user's file whose extended attribute the user may not read: refused",
     othersFile(0622) + attribute("open/out.wav", "user.note", "kept") + asNobody, "open/out.wav", refused()},
    {"a link that cannot be read is a failure, not a name to replace",
     lay({{"store/real.wav"}, {"link.wav", 0, -1, -1, "-> store/real.wav"}}) + injected("newfstatat", "EIO", 2, "link.wav"),
     "link.wav", refused()},
    {"a clip of more than one 64 MiB write", clipOver64MiB, "out.wav", converted()},
    {"an output directory path near the system's limit", nearPathLimit, "out.wav", converted()},
    {"the same, in place, with a file-size limit",
     nearPathLimit + inPlace + sizeLimit(100000), "in.wav", failedWriting(kFull)},
    {"a working directory deeper than the system's limit", deepWorkingDirectory, "out.wav", converted()},
    {"an empty output name", lay({}), "", refused()},
    {"a file in the root directory", rootDirectory, "velto-test.wav", converted()},
    // A name for a descriptor of the run is written through that descriptor, as the
    // caller's redirection opened it. Where a script names the output, the row's is how it ends.
    {"a pipe named by its descriptor",
     script("set -o pipefail; \"$0\" \"$@\" 3>&1 >/dev/null | cat > piped.wav"),
     "/dev/fd/3", writtenThrough({{"piped.wav", kScrambled}})},
    {"a deleted file's descriptor is written, no file of its name is made",
     script("exec 7>gone.wav && rm gone.wav && \"$0\" \"$@\""), "/proc/self/fd/7", writtenThrough()},
    {"appending through dev fd 3: the file keeps its bytes and its inode",
     keptLog + redirected("3>>log.bin"),
     "/dev/fd/3", writtenThrough({{"log.bin", "KEEP\n" + kScrambled}, {"log.bin::inode", kBefore}})},
    {"the same through proc self fd 3",
     keptLog + redirected("3>>log.bin"),
     "/proc/self/fd/3", writtenThrough({{"log.bin", "KEEP\n" + kScrambled}, {"log.bin::inode", kBefore}})},
    {"a truncating descriptor: the file holds the WAV alone, same inode",
     keptLog + redirected("3>log.bin"),
     "/dev/fd/3", writtenThrough({{"log.bin", kScrambled}, {"log.bin::inode", kBefore}})},
    {"lines written through the descriptor before and after the run stay in order",
     script("exec 3>>f; echo earlier >&3; \"$0\" \"$@\"; s=$?; echo later >&3; exit $s"),
     "/dev/fd/3", writtenThrough({{"f", "earlier\n" + kScrambled + "later\n"}})},
    {"dev stdout into a file: the report, the WAV, then the closing line",
     reportedClip + redirected(">log.bin"), "/dev/stdout", writtenThrough({{"log.bin", kThroughStdout}})},
    {"another process's descriptor: refused, its file as it was",
     keptLog + script("exec 3>>log.bin; \"$0\" \"$1\" /proc/$$/fd/3 3>&-"), "/fd/3", refused()},
    {"another process's descriptor 1, the run's own another file: refused, its file as it was",
     keptLog + script("exec 4>&1 >>log.bin; \"$0\" \"$1\" /proc/$$/fd/1 >&4"), "/fd/1", refused()},
    // Swapped or given away between velto's look at the name and its open: the FIFO's reader gets nothing.
    {"a FIFO swapped for another user's before it is opened: refused",
     rootsFifo + heldAtOpen(othersFifoPutInPlace), "out.wav", refused()},
    {"a FIFO given to another user while its open is held: refused, its reader gets nothing",
     rootsFifo + heldAtOpen(fifoGivenAway), "out.wav", refused()},
    {"a device swapped for a FIFO before it is opened: refused without waiting for a reader",
     device + heldAtOpen(deviceGivesWayToFifo), "out.wav", refused()},
    {"a descriptor open only for reading: refused", keptLog + redirected("3<log.bin"), "/dev/fd/3", refused()},
    {"a block device is synced: a failing sync fails the run",
     loopDevice + injected("fsync", "EIO"),
     "the loop device", failedWriting(kWriteFailed, {{"disk", kScrambled + std::string(1048576 - 600044, '\0')}})},
    // The first is held as it links its unnamed file in, the others started then: they take
    // the name first, and it must link its file in under a temporary name and rename it. The
    // plain POSIX build links nothing in, so its first run ends before the others start.
    {"twelve runs making one new output at once all succeed",
     withStrace + script("ASAN_OPTIONS=detect_leaks=0 strace -o t.log -P \"$2\" -e trace=linkat "
                         "-e inject=linkat:delay_enter=2s:when=1 \"$0\" \"$@\" & until [ -s t.log ]; do sleep 0.01; done; "
                         "for i in 1 2 3 4 5 6 7 8 9 10 11; do \"$0\" \"$@\" & done; s=0; "
                         "for p in $(jobs -p); do wait $p || s=1; done; rm t.log; exit $s"),
     "out.wav", converted()},
};

// A fact of the file `p` (see Outcome::files).
std::string fact(const fs::path& p, const std::string& what) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return "no file";
    if (what == "mode") return (std::ostringstream() << std::oct << (st.st_mode & 07777)).str();
    if (what == "owner") return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    if (what == "inode") return std::to_string(st.st_ino);
    if (what == "acl") return runProgram("/usr/bin/env", {"getfacl", "-c", p.string()}, {}).out;
    if (what == "user.*") {
        std::string names(65536, '\0'), all;
        names.resize(static_cast<std::size_t>(std::max<ssize_t>(llistxattr(p.c_str(), names.data(), names.size()), 0)));
        std::set<std::string> sorted;
        for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) sorted.insert(names.c_str() + at);
        for (const std::string& name : sorted) all += name.starts_with("user.") ? name + "=" + fact(p, name) + "\n" : "";
        return all;
    }
    std::string value(256, '\0');
    const ssize_t n = lgetxattr(p.c_str(), what.c_str(), value.data(), value.size());
    return n < 0 ? "none" : value.substr(0, static_cast<std::size_t>(n));
}
// The facts `expected` names, of the files below `dir`.
Files facts(const fs::path& dir, const Files& expected) {
    Files found;
    for (const auto& [key, bytes] : expected) {
        const std::size_t at = key.find("::");
        if (at != std::string::npos) found[key] = fact(dir / key.substr(0, at), key.substr(at + 2));
    }
    return found;
}

class OutputSafety : public ::testing::TestWithParam<Row> {};

TEST_P(OutputSafety, NoFailureCostsAByteOrLeavesAFile) {
    const Row& row = GetParam();
    const Outcome& o = row.outcome;
    ScratchDir dir;
    if (geteuid() == 0) owned(dir.path, 0755);
    writeFile(dir / "in.wav", canonicalWav(kStereo16, clipData()));
    Scene s{.dir = dir.path, .options = {.workDir = dir.path}, .output = row.output};
    try {
        row.layout(s);
        if (o.ruled && !kLinuxFeatures) throw Skip{"the plain POSIX build knows no rule for links or FIFOs in sticky folders"};
    } catch (const Skip& skip) {
        GTEST_SKIP() << skip.why;
    }
    // What the outcome's marks stand for, from the input as laid out.
    const std::string clip = readFile(fs::path(s.options.workDir) / s.input);
    const std::string scrambled = clip.substr(0, 44) + mirrored(std::string_view(clip).substr(44), 16, 2);
    // What a file behind /dev/stdout holds: the report, the WAV, the closing line, in the order
    // a run writes them (the report table's texts, the closing line naming /dev/stdout).
    const auto throughStdout = [&] {
        const std::string out = reportCases().front().out;
        const std::size_t closing = out.rfind("\n[in.wav] を [out.wav] へ");
        return toCp932(out.substr(0, closing)) + scrambled + toCp932(replaced(out.substr(closing), "[out.wav]", "[/dev/stdout]"));
    };
    const Files before = facts(dir.path, o.files);
    Files expected = snapshot(dir.path);
    const fs::path written = fs::path(s.options.workDir) / s.output;
    const bool inside = written.lexically_relative(dir.path).begin()->string() != "..";
    if (o.replaced && inside) expected[written.lexically_relative(dir.path).string()] = scrambled;
    for (const auto& [name, bytes] : o.files) {
        const std::string marked = replaced(bytes == kThroughStdout ? throughStdout() : bytes, kScrambled, scrambled);
        expected[name] = bytes == kBefore ? before.at(name) : replaced(marked, kClip, clip);
    }
    std::vector<std::string> command = {veltoPath(), s.input, s.output};
    if (!s.script.empty()) command = {"/bin/bash", "-c", s.script, veltoPath(), s.input, s.output};
    command.insert(command.begin(), s.wrap.begin(), s.wrap.end());
    std::optional<RunResult> r;
    if (s.held) {
        const std::vector<std::string> hold = {"-P", s.output, "-e", "trace=openat", "-e", "inject=openat:delay_enter=2s:when=1"};
        r = whileHeld(underStrace(s.aside / "trace", hold, {s.input, s.output}), dir.path, s.aside / "trace", "openat", 1,
                      [&](pid_t) { s.held(s); }, 0);
        ASSERT_TRUE(r) << "the held call never came";
    } else {
        if (s.readerDelay >= 0 && !s.readerFifo.empty()) s.startReader();
        r = runCommand(command, s.options);
    }
    s.restore();
    EXPECT_EQ(r->status, o.status) << r->err;
    const std::string tail = o.atNamingThere && !kLinuxFeatures ? kAfterData + kWriteFailed
                             : o.tail != kRefusal              ? o.tail
                             : s.output.empty()                ? kAfterData + kCannotOpen
                                                               : s.output + kCannotOpen;
    EXPECT_TRUE(r->err.ends_with(toCp932(tail))) << r->err;
    if (o.replaced && !inside) {
        EXPECT_TRUE(readFile(written) == scrambled && fs::remove(written)) << written;
    }
    Files found = snapshot(dir.path);
    found.merge(facts(dir.path, o.files));
    EXPECT_EQ(differences(expected, found), "");
}

INSTANTIATE_TEST_SUITE_P(Output, OutputSafety, ::testing::ValuesIn(kRows),
                         [](const auto& row) { return rowName(row.param.name); });

const std::string kHideProc = "mount -t tmpfs none /proc";

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

std::string signalName(int sig) {
    return sig >= SIGRTMIN ? "a real-time signal" : "SIG" + std::string(sigabbrev_np(sig));
}

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
