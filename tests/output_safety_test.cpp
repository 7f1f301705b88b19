// No failure of the write costs a byte of an existing file or leaves a file behind, and every
// conversion the system allows goes through; where the file under the output name cannot be
// replaced, the run is refused before anything is written. Failures are made as users meet
// them: small file systems, file-size limits, other users' directories and files, file
// attributes, mounts, deep paths, descriptors, signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>

#include "support/support.h"

namespace {

using namespace testing_support;

const std::string kOld = "the user's precious old bytes";
const std::string kFull = kWriteFailed + kDataWriteFailed;

// Builds of the plain POSIX code name their temporary files, keep no extended attributes or
// access lists, read no id maps, cannot see append-only directories or a file's own
// attributes, and know no rule for links or FIFOs in sticky directories.
constexpr bool kLinuxFeatures = VELTO_LINUX_FEATURES;
const char* const kNoAttributes = "the plain POSIX build keeps no access lists or extended attributes";

// A row that cannot run here, and why.
struct Skip { std::string why; };

// One situation, as a layout builds it, and how the run meets it: `velto INPUT OUTPUT` in the
// scratch directory, unless the layout says otherwise.
struct Scene {
    fs::path dir;                    // the scratch directory, in.wav (the clip) in it
    RunOptions options;
    std::string input = "in.wav";
    std::string output;              // the name velto is given
    std::vector<std::string> wrap;   // the run goes through these commands first
    std::string script;              // or this bash script, velto as "$0", the input and output as "$@"
    int reports = 1;                 // how many runs of velto report the input on standard error
    // The row's own mount namespace, entered by the test itself on the row's first mount: what
    // is mounted there is seen by the row's runs alone, and goes when the row ends. The system
    // lets the test back into its own namespace (`home`) only while no other thread shares its
    // file-system context, so the row starts no thread.
    int home = -1, cwd = -1;
    std::vector<fs::path> mounted;   // last first
    // What makes the tree removable again, done before it is read and once more at the end (each
    // step may be done twice).
    std::vector<std::function<void()>> undo;

    ~Scene() {
        for (auto& step : undo) step();
        for (const fs::path& point : mounted) umount2(point.c_str(), MNT_DETACH);
        if (home >= 0 && (setns(home, CLONE_NEWNS) != 0 || fchdir(cwd) != 0)) {
            ADD_FAILURE() << "cannot go back to the tests' mount namespace: " << std::strerror(errno);
        }
        close(home);
        close(cwd);
    }
};

using Layout = std::function<void(Scene&)>;
Layout operator+(Layout a, Layout b) { return [a, b](Scene& s) { a(s), b(s); }; }

// ---- The parts layouts are made of --------------------------------------------------------

Layout root(const std::string& why) { return [=](Scene&) { if (geteuid() != 0) throw Skip{"needs root: " + why}; }; }
// `program`, from `package`, installed.
Layout needs(const std::string& program, const std::string& package) {
    return [=](Scene&) { if (const std::string why = missing(program, package); !why.empty()) throw Skip{why}; };
}
// A build without the sanitizers, whose runtime reads its options from /proc.
const Layout unsanitized = [](Scene&) {
    if (kSanitizedBuild) throw Skip{"the sanitizers' runtime reads its options from /proc"};
};
Layout linuxOnly(const std::string& why) { return [=](Scene&) { if (!kLinuxFeatures) throw Skip{why}; }; }
// Runs a program found on the PATH, in the scratch directory; a row that cannot be laid out skips.
std::string tool(Scene& s, const std::vector<std::string>& args) {
    const RunResult r = runProgram("/usr/bin/env", args, {.workDir = s.dir});
    if (r.status != 0) throw Skip{"cannot be laid out here: " + args.front() + ": " + r.err};
    return r.out;
}
Layout run(const std::vector<std::string>& args) { return [=](Scene& s) { tool(s, args); }; }
Layout removed(const std::string& path) { return [=](Scene& s) { fs::remove(s.dir / path); }; }

// What a layout lays at `path`: a directory where the path ends in '/', a FIFO for the bytes
// kNotRegular, a symbolic link for "-> target", else a file of `bytes`; given to `owner` and
// `group` (-1: as made; where the test may not, the row skips), then `mode` (0: as made).
struct Lay {
    std::string path;
    unsigned mode = 0;
    int owner = -1, group = -1;
    std::string bytes = kOld;
};
Lay link(const std::string& at, const std::string& to, int owner = -1) { return {at, 0, owner, -1, "-> " + to}; }
Layout lay(const std::vector<Lay>& list) {
    return [=](Scene& s) {
        for (const Lay& l : list) {
            const fs::path p = s.dir / l.path;
            fs::create_directories(p.parent_path());
            if (l.bytes == kNotRegular && mkfifo(p.c_str(), 0666) != 0) throw Skip{"cannot make a FIFO here"};
            if (l.bytes.starts_with("-> ")) fs::create_symlink(l.bytes.substr(3), p);
            if (p.has_filename() && l.bytes != kNotRegular && !l.bytes.starts_with("-> ")) writeFile(p, l.bytes);
            const bool given = (l.owner < 0 && l.group < 0) || lchown(p.c_str(), l.owner, l.group) == 0;
            if (!given) throw Skip{"needs root: gives " + l.path + " to another user"};
            if (l.mode != 0) fs::permissions(p, static_cast<fs::perms>(l.mode));
        }
    };
}
// Mounts by `command` (mount(8) or a FUSE program, the mount point last, made where missing), in
// the row's own mount namespace (see Scene::home).
Layout mounted(const std::vector<std::string>& command) {
    return [=](Scene& s) {
        const std::string& at = command.back();
        root("mounts a file system")(s);
        if (s.home < 0) {
            s.home = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
            s.cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const bool own = s.home >= 0 && unshare(CLONE_NEWNS) == 0;
            if (!own || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) throw Skip{"no mount namespace"};
        }
        if (!fs::exists(s.dir / at)) fs::create_directories(s.dir / at);
        s.mounted.insert(s.mounted.begin(), s.dir / at);
        tool(s, command);
    };
}
// A file system of `type` with `options` at `at`.
Layout fileSystem(const std::string& type, const std::string& options, const std::string& at = "m") {
    return mounted({"mount", "-t", type, "-o", options + (options.empty() ? "" : ",") + "rw", "none", at});
}
// An image m.img of `size`, made by `mkfs` (a program from `package`, and its arguments) and
// mounted at m by `mounter`; once mounted, it goes from the scratch directory.
Layout image(const std::vector<std::string>& mkfs, const std::string& package, const std::string& size,
             const std::vector<std::string>& mounter = {"mount", "-o", "loop", "m.img", "m"}) {
    return root("mounts a file system") + needs(mkfs.front(), package) + run({"truncate", "-s", size, "m.img"}) +
           run(mkfs) + mounted(mounter) + removed("m.img");
}
// A file attribute (chattr's +i or +a) on `path`, taken off when the row ends.
Layout flag(const std::string& path, const std::string& attribute) {
    return [=](Scene& s) {
        root("sets file attributes with chattr")(s);
        tool(s, {"chattr", attribute, path});
        s.undo.push_back([p = (s.dir / path).string()] { runProgram("/usr/bin/env", {"chattr", "-ia", p}, {}); });
    };
}
// The run goes through the command `c` first.
Layout wrapped(std::vector<std::string> c) {
    return [=](Scene& s) { s.wrap.insert(s.wrap.end(), c.begin(), c.end()); };
}
// The run in a bash script of its own, in which velto reports the input `reports` times.
Layout script(const std::string& what, int reports = 1) {
    return [=](Scene& s) { s.script = what, s.reports = reports; };
}
const Layout withStrace = needs("strace", "strace");
// A reader of the FIFO at the output name, started `delay` seconds after the run (its pid in $c),
// that keeps what it gets in got.wav (none where it gets nothing); and its end once the run
// ends: while it waits for a writer, it is given one that writes nothing. That writer opens the
// FIFO without O_CREAT and without waiting, so that the system's protection of FIFOs in sticky
// folders, whatever it is set to, never stops it.
std::string reader(int delay = 0) {
    const std::string keep = "cat \"$2\" > r.tmp 2>/dev/null; [ -s r.tmp ] && mv r.tmp got.wav || rm r.tmp";
    return "{ sleep " + std::to_string(delay) + "; " + keep + "; } & c=$!";
}
const std::string kReaderEnds = "while [ -n \"$c\" ] && kill -0 $c 2>/dev/null; do dd if=/dev/null of=\"$2\" "
                                "oflag=nonblock conv=nocreat,notrunc status=none 2>/dev/null; sleep 0.01; done";
// The run under strace, velto's `when`th `call` whose line holds `match` held as strace's `delay`
// says (`call`s on `path` alone where given: its own name for a file, or those made relative
// to it for a folder); once the call begins, the script does `act` with velto's pid in $p, and
// where it starts a reader of the output in $c, gives it an end once the run ends. A run in
// which the call never comes ends with 99. What the shell and strace themselves say (a job
// killed) goes nowhere: standard error is velto's.
Layout held(const std::string& call, int when, const std::string& delay, const std::string& act,
            const std::string& path = "", const std::string& match = "") {
    const std::string onPath = path.empty() ? "" : " -P \"" + path + "\"", nth = std::to_string(when);
    // A command started in the background ignores SIGINT and SIGQUIT unless it is given them
    // back; signals that dump core would leave a core file beside the output.
    return withStrace + script(
        "exec 3>&2 2>/dev/null; ulimit -c 0; ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "
        "env --default-signal=INT,QUIT strace -f -o t.log -e trace=" + call + " -e inject=" + call + ":" + delay +
        onPath + " sh -c 'exec \"$0\" \"$@\" 2>&3 3>&-' \"$0\" \"$@\" & r=$!; p=; "
        "until [ -n \"$p\" ] || ! kill -0 $r; do sleep 0.01; "
        "p=$(grep '" + call + "(' t.log | grep -F -e '" + match + "' | sed -n " + nth + "p | cut -d' ' -f1); done; "
        "[ -z \"$p\" ] || { " + act + "; }; wait $r; s=$?; rm t.log; " + kReaderEnds + "; [ -n \"$p\" ] && exit $s; "
        "exit 99");
}
// The `when`th call (0: every one) of `call` velto makes, on `path` if given, fails with `error`.
Layout injected(const std::string& call, const std::string& error, int when = 0, const std::string& path = "") {
    const std::string nth = when > 0 ? ":when=" + std::to_string(when) : "";
    std::vector<std::string> strace = {"/usr/bin/strace", "-e", "quiet=all", "-o", "/dev/null", "-E",
                                       "ASAN_OPTIONS=detect_leaks=0", "-e",
                                       "trace=" + call, "-e", "inject=" + call + ":error=" + error + nth};
    if (!path.empty()) strace.insert(strace.end(), {"-P", path});
    return withStrace + wrapped(strace);
}

// ---- Layouts ------------------------------------------------------------------------------

Layout sizeLimit(long long bytes) { return [=](Scene& s) { s.options.fileSizeLimit = bytes; }; }
// A run that may take `seconds` before it counts as hung.
Layout watchdog(unsigned seconds) { return [=](Scene& s) { s.options.watchdogSeconds = seconds; }; }
const Layout asNobody = root("runs as another user") + [](Scene& s) { s.options.user = kNobody; };
// In.wav a clip of `n` bytes of noise.
Layout clipOf(std::size_t n) {
    return [=](Scene& s) { writeFile(s.dir / "in.wav", canonicalWav(kStereo16, noise(n, 9))); };
}
// A file the user may write (of `n` bytes of noise where given), in root's directory
// locked/ that the user may not.
Layout lockedDirectory(std::size_t n = 0) {
    return asNobody + [=](Scene& s) { lay({{"locked/out.wav", 0666, -1, -1, n == 0 ? kOld : noise(n, 5)}})(s); };
}
// Root's directory m/shared on tmpfs holding the user's own old.wav, the first 1,044 bytes of
// in.wav, a clip of 3,000,044 bytes that the user converts.
void usersFileOnTmpfs(Scene& s) {
    (asNobody + clipOf(3000000) + fileSystem("tmpfs", "size=16m"))(s);
    lay({{"m/shared/", 0755}, {"m/shared/old.wav", 0644, kNobody, -1, readFile(s.dir / "in.wav").substr(0, 1044)}})(s);
}
// A sticky world-writable directory sticky/ of `owner`, holding a writable file of `file`'s.
Layout sticky(int owner, int file = 0) { return lay({{"sticky/", 01777, owner}, {"sticky/out.wav", 0666, file}}); }
// root's file open/out.wav of `mode`, or `owner`'s, in root's world-writable directory.
Layout othersFile(unsigned mode, int owner = 0, int group = -1) {
    return lay({{"open/", 0777, 0}, {"open/out.wav", mode, owner, group}});
}
// A directory that only grows, grows/, holding old.wav.
const Layout appendOnlyDirectory = linuxOnly("the plain POSIX build cannot see append-only directories") +
                                   lay({{"grows/old.wav"}}) + flag("grows", "+a");
// /proc hidden, as in a container without it: no file can be named by its descriptor there.
const Layout procHidden = unsanitized + fileSystem("tmpfs", "", "/proc");
// The system's protection of links or FIFOs in sticky directories (fs.protected_symlinks,
// fs.protected_fifos) as velto reads it, for the row alone: a file bound over the setting, and
// then gone from the scratch directory.
Layout protectedSetting(const std::string& setting, int value) {
    return lay({{setting, 0, -1, -1, std::to_string(value) + "\n"}}) +
           mounted({"mount", "--bind", setting, "/proc/sys/fs/" + setting}) + removed(setting);
}
Layout protectedLinks(int value) { return protectedSetting("protected_symlinks", value); }
Layout protectedFifos(int value) { return protectedSetting("protected_fifos", value); }
Layout protectedFiles(int value) { return protectedSetting("protected_regular", value); }
// A sticky world-writable directory pub/ of `owner` where user nobody has planted `name`, a
// link to `target`, root's file victim.wav beside it.
Layout plantedLink(const std::string& name, const std::string& target, int owner = 0) {
    return lay({{"pub/", 01777, owner}, {"victim.wav", 0600, 0}, link("pub/" + name, target, kNobody)});
}
// A FIFO at the output name `path`, of `owner`, whose reader comes `delay` seconds after the run starts.
Layout fifo(const std::string& path, int delay, int owner = -1) {
    const std::string run = reader(delay) + "; \"$0\" \"$@\"; s=$?; " + kReaderEnds + "; exit $s";
    return lay({{path, 0666, owner, -1, kNotRegular}}) + script(run);
}
// User nobody's FIFO pub/out.wav, with a reader from the start, in a sticky directory pub/ of
// `mode` and `owner`.
Layout plantedFifo(unsigned mode, int owner = 0) {
    return lay({{"pub/", mode, owner}}) + fifo("pub/out.wav", 0, kNobody);
}
// The run as root of a user namespace where only root's ids are mapped; with /proc hidden in a
// mount namespace of its own, where `procHidden`.
Layout userNamespace(bool procHidden = false) {
    const Layout there = root("runs in a user namespace as another user's") + run({"unshare", "-Ur", "true"}) +
                         wrapped({"/usr/bin/unshare", "-Ur"});
    const Layout procGone = wrapped({"-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$@\"", "sh"});
    return procHidden ? unsanitized + there + procGone : there;
}
// A user namespace whose id maps are `map`, written from outside while the run waits for them.
Layout userNamespaceMapping(const std::string& map) {
    return userNamespace() + [](Scene& s) { s.wrap.clear(); } + script(
        "mkfifo go && { unshare -U sh -c 'read x < go && exec \"$0\" \"$@\"' \"$0\" \"$@\" & } && p=$! && "
        "until [ $(readlink /proc/$p/ns/user) != $(readlink /proc/$$/ns/user) ]; do sleep 0.01; done && "
        "for m in uid gid; do /usr/bin/printf '" + map + "' > /proc/$p/${m}_map; done && "
        "echo > go; wait $p; s=$?; rm go; exit $s");
}
// An access list entry on `path` (setfacl's -m), or on a directory its default one (-d).
Layout accessList(const std::string& path, const std::string& entry, bool byDefault = false) {
    return linuxOnly(kNoAttributes) + needs("setfacl", "acl") + run({"setfacl", byDefault ? "-dm" : "-m", entry, path});
}
// The extended attribute `name` of `value` on `path`.
Layout attribute(const std::string& path, const std::string& name, const std::string& value) {
    return linuxOnly(kNoAttributes) + run({"setfattr", "-n", name, "-v", value, path});
}
// An ext4 image at m; in m/acl/, a directory with a default access list, old.wav, made before
// the list and so without one, whose space for extended attributes is full: user.a0, user.a1,
// ... of 180 bytes until no more fits, then of fewer bytes each, down to one.
void fullAttributesUnderDefaultAcl(Scene& s) {
    (needs("getfattr", "attr") + image({"mkfs.ext4", "-q", "m.img"}, "e2fsprogs", "16M") +
     lay({{"m/acl/old.wav", 0640}}) + accessList("m/acl", "u:4242:rw,g:4343:r", true))(s);
    const std::string file = (s.dir / "m/acl/old.wav").string(), value(180, 'v');
    int n = 0;
    for (const std::size_t size : {180, 100, 50, 20, 10, 5, 2, 1}) {
        while (setxattr(file.c_str(), ("user.a" + std::to_string(n)).c_str(), value.data(), size, 0) == 0) ++n;
        if (errno != ENOSPC) throw Skip{"cannot fill the attribute space: " + std::string(std::strerror(errno))};
    }
}
// A directory `path` of `mode`, the user's (nobody's, for root), which the user opens up again
// when the row ends.
Layout usersDirectory(const std::string& path, unsigned mode) {
    return [=](Scene& s) {
        s.options.user = geteuid() == 0 ? kNobody : -1;
        lay({{path, mode, s.options.user, s.options.user}})(s);
        s.undo.push_back([p = s.dir / path] { fs::permissions(p, fs::perms::owner_all, fs::perm_options::add); });
    };
}
// locked/link.wav, in a directory the user (nobody, for root) may not write, to open/real.wav,
// which has another hard link open/other.wav.
void linkToHardLinkedFile(Scene& s) {
    const int user = geteuid() == 0 ? kNobody : -1;
    lay({{"open/real.wav", 0644, user, user}, link("locked/link.wav", "../open/real.wav")})(s);
    fs::create_hard_link(s.dir / "open/real.wav", s.dir / "open/other.wav");
    (usersDirectory("open/", 0755) + usersDirectory("locked/", 0555))(s);
}
// A directory path of `length` bytes, in components the system takes, made in the scratch directory.
std::string deepPath(Scene& s, std::size_t length) {
    std::string path;
    while (path.size() + 201 < length) path += std::string(200, 'd') + "/";
    path += std::string(length - path.size(), 'e');
    makeDirectories(s.dir, path);
    return path;
}
// c1, a link to c2, ... to c`n`, a link to real.wav.
Layout linkChain(int n) {
    std::vector<Lay> chain = {{"real.wav"}};
    const auto c = [](int i) { return replaced("c@", "@", std::to_string(i)); };
    for (int i = 1; i <= n; ++i) chain.push_back(link(c(i), i < n ? c(i + 1) : "real.wav"));
    return lay(chain);
}
// Links l0 ... l`n-1`, each to d/ and the next (the last to d/target), d a link to ".", and
// target: 2n links in all over the name l0.
Layout linkThroughFolder(int n) {
    std::vector<Lay> chain = {{"target"}, link("d", ".")};
    const auto l = [](int i) { return replaced("l@", "@", std::to_string(i)); };
    for (int i = 0; i < n; ++i) chain.push_back(link(l(i), i + 1 < n ? "d/" + l(i + 1) : "d/target"));
    return lay(chain);
}
// Where links are protected, a sticky folder s/ holding user 4244's links dl, to a folder d2/
// anyone may write, and fl, to d2/f.wav.
const Layout folderLinks = protectedLinks(1) + lay({{"s/", 01777}, {"d2/", 0777}, {"d2/f.wav"},
                                                   link("s/dl", "../d2", 4244), link("s/fl", "../d2/f.wav", 4244)});
// out.wav under a lease (F_RDLCK 0, F_WRLCK 1) its holder lets go of a second after it is broken,
// ending with 0 only where it was; or where `onBreak` is given, does that (in perl, the file $f)
// and is ended after the run.
Layout leased(int type, const std::string& onBreak = "") {
    const std::string end = onBreak.empty() ? "wait $h || exit 9" : "kill $h 2>/dev/null; wait $h";
    return watchdog(10) + lay({{"out.wav"}}) + script(
        "perl -e 'open(my $f, \"<\", \"out.wav\"); $SIG{IO} = sub { " +
        (onBreak.empty() ? "sleep 1; fcntl($f, 1024, 2); exit 0" : onBreak) + " }; "
        "fcntl($f, 1024, " + std::to_string(type) + ") or exit 7; open(my $m, \">\", \"held\"); close $m; "
        "select(undef, undef, undef, 0.01) for 1 .. 2000; exit 8' & "
        "h=$!; until [ -e held ] || ! kill -0 $h; do sleep 0.01; done; rm -f held; \"$0\" \"$@\"; s=$?; " + end +
        "; exit $s");
}
// A link target of 257 bytes whose first 256 lead to cut.wav: "././..././/cut.wav2".
const std::string kLongLink = replaced(std::string(124, '@'), "@", "./") + "/cut.wav2";
// prog, a copy of sleep(1), running from the start of the run.
void runningProgram(Scene& s) {
    fs::copy_file("/bin/sleep", s.dir / "prog");
    script("\"$PWD/prog\" 30 & p=$!; until [ \"$(readlink /proc/$p/exe)\" = \"$PWD/prog\" ]; do sleep 0.01; done; "
           "\"$0\" \"$@\"; s=$?; kill $p; wait $p; exit $s")(s);
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
// The user's own file in place: the run is in place.
void inPlace(Scene& s) {
    writeFile(s.dir / s.output, readFile(s.dir / s.input));
    s.input = s.output;
}
// In.wav the report table's canonical clip, whose texts are known.
void reportedClip(Scene& s) { writeFile(s.dir / "in.wav", reportCases().front().file); }
// log.bin, which a descriptor of the run may name.
const Layout keptLog = lay({{"log.bin", 0, -1, -1, "KEEP\n"}});
Layout redirected(const std::string& redirection) { return script("\"$0\" \"$@\" " + redirection); }
// A loop device over the file disk of 1 MiB: the output.
void loopDevice(Scene& s) {
    root("sets up a loop device")(s);
    lay({{"disk", 0, -1, -1, std::string(1 << 20, '\0')}})(s);
    s.output = tool(s, {"losetup", "-f", "--show", "disk"});
    s.output.pop_back();
    s.undo.push_back([device = s.output] { runProgram("/usr/bin/env", {"losetup", "-d", device}, {}); });
}
// Overlayfs on btrfs, which reports itself and not the btrfs beneath: o/shared/rec.wav, the
// user's file in root's directory.
const Layout overlayOnBtrfs = image({"mkfs.btrfs", "-f", "m.img"}, "btrfs-progs", "300M") +
                              lay({{"m/lower/"}, {"m/upper/"}, {"m/work/"}}) +
                              fileSystem("overlay", "lowerdir=m/lower,upperdir=m/upper,workdir=m/work", "o") +
                              lay({{"o/shared/", 0755}, {"o/shared/rec.wav", 0644, kNobody}}) + asNobody;
// XFS: m/locked/out.wav, which the user may write in root's directory, sharing its blocks with
// a copy.
const Layout reflinkedOnXfs = image({"mkfs.xfs", "-f", "m.img"}, "xfsprogs", "320M") +
                              lay({{"m/locked/out.wav", 0666}}) +
                              run({"cp", "--reflink=always", "m/locked/out.wav", "m/copy.wav"}) + asNobody;
// FAT32 through FUSE, which has no modes or owners to give, holding m/a.wav (without /dev/fuse,
// the row skips as fusefat fails).
const Layout fatThroughFuse = needs("fusefat", "fusefat") +
                              image({"mkfs.vfat", "-F", "32", "m.img"}, "dosfstools", "64M",
                                    {"fusefat", "-o", "rw+", "m.img", "m"}) +
                              lay({{"m/a.wav"}});
// velto's first open of the output is held two seconds, while `act` is done.
Layout heldAtOpen(const std::string& act) { return held("openat", 1, "delay_enter=2s:when=1", act, "$2"); }
// What is done meanwhile: the file at the output name gives way to a FIFO; to a file; or to
// user nobody's FIFO, read at once. Or the FIFO there is given to user nobody, the same inode,
// and read at once.
const std::string kFifoInPlace = "rm \"$2\" && mkfifo \"$2\"";
const std::string kFileInPlace = "rm \"$2\" && printf %s \"" + kOld + "\" > \"$2\"";
const std::string kReadAtOnce = "chown 65534 \"$2\" && " + reader();
const std::string kOthersFifoInPlace = "rm \"$2\" && mkfifo -m 666 \"$2\" && " + kReadAtOnce;
// root's FIFO out.wav.
const Layout rootsFifo = lay({{"out.wav", 0666, 0, -1, kNotRegular}});
// A device out.wav, as /dev/null is.
const Layout device = root("makes a device node") + run({"mknod", "-m", "666", "out.wav", "c", "1", "3"});
// Two runs, in which each id map in turn cannot be read: the first read of uid_map, then of
// gid_map, fails as `failure` says (strace's error= or retval=). Which read that is, a clean run
// over a copy (p.wav) counts; a run whose failure did not fall on the map fails the row.
Layout mapsUnreadable(const std::string& failure) {
    return linuxOnly("the plain POSIX build reads no id maps") + withStrace + script(
        "export ASAN_OPTIONS=detect_leaks=0; for m in uid gid; do cp -p \"$2\" p.wav && "
        "strace -y -o t.log -e trace=read \"$0\" \"$1\" p.wav >/dev/null 2>&1 && "
        "n=$(awk -v m=\"/${m}_map>\" '/read\\(/ {n++} index($0, m) {print n; exit}' t.log) && [ -n \"$n\" ] && "
        "strace -y -o t.log -e trace=read -e inject=read:" + failure + ":when=$n \"$0\" \"$@\" && "
        "grep -q \"${m}_map>.*INJECTED\" t.log || exit 9; done; rm t.log p.wav", 2);
}

// ---- Outcomes -----------------------------------------------------------------------------

// Marks in an outcome's bytes, for what the row's input makes: the input as laid out, what velto
// must make of it, what a file behind /dev/stdout holds, and a fact as it was before the run.
const std::string kClip = "@clip";
const std::string kScrambled = "@scrambled";
const std::string kThroughStdout = "@stdout";
const std::string kBefore = "@before";
// The refusal before writing, after the report: "<the output> をオープンできません.".
const std::string kRefusal = "@refusal";
// What getfacl -c shows of a file of mode 640 without an access list.
const std::string kNoAcl = "user::rw-\ngroup::r--\nother::---\n\n";

struct Outcome {
    int status = 0;
    std::string tail;       // what standard error holds after the report's lines, in UTF-8
    bool replaced = false;  // the output name holds the conversion
    Files files;            // what else holds what: files, and facts as "name::mode", "::owner", "::inode", "::flags",
                            // "::acl" (getfacl -c), "::user.*" (every user attribute) or "::<an attribute>"
    bool ruled = false;     // refused by a rule for links or FIFOs the plain POSIX build does not know
    bool atNamingThere = false;  // the plain POSIX build refuses only at the naming
    bool orConverted = false;    // or status 0 and the conversion, as converted()
};
// Status 0, the conversion under the output name; `files` as they say.
Outcome converted(Files files = {}) { return {.replaced = true, .files = std::move(files)}; }
// Status 0, written through to what the name leads to, not a file made: `files` as they say.
Outcome writtenThrough(Files files = {}) { return {.files = std::move(files)}; }
// Refused before writing, every file as it was but as `files` say.
Outcome refused(Files files = {}) { return {.status = 255, .tail = kRefusal, .files = std::move(files)}; }
Outcome refusedByRule() { return {.status = 255, .tail = kRefusal, .ruled = true}; }
Outcome refusedHereAtNamingThere() { return {.status = 255, .tail = kRefusal, .atNamingThere = true}; }
// Failed while writing (kWriteFailed, or kFull where the data write failed): the old bytes kept.
Outcome failedWriting(const std::string& tail, Files files = {}) {
    return {.status = 255, .tail = tail, .files = std::move(files)};
}
// Ended by the signal `sig`, every file as it was (or, where `orConverted`, converted).
Outcome endedBy(int sig, bool orConverted = false) { return {.status = 128 + sig, .orConverted = orConverted}; }

struct Row { std::string name; Layout layout; std::string output; Outcome outcome; };

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// The rows: a name, a layout, the output name velto is given, and the outcome.
const std::vector<Row> kRows = {
    // The other rows run on /tmp, which takes direct writes where it is on a disk.
    {"a file system without direct writes", fileSystem("ramfs", "") + lay({{"m/out.wav"}}), "m/out.wav", converted()},
    {"no inode for a temporary file, room for the bytes: refused", fileSystem("tmpfs", "size=2m,nr_inodes=2") +
     lay({{"m/out.wav"}}), "m/out.wav", refused()},
    {"no inode and no room: refused", fileSystem("tmpfs", "size=300k,nr_inodes=2") + lay({{"m/out.wav"}}), "m/out.wav",
     refused()},
    {"no room for the new bytes: the temporary file goes", fileSystem("tmpfs", "size=300k,nr_inodes=64") +
     lay({{"m/out.wav"}}), "m/out.wav", failedWriting(kFull)},
    {"a read-only file system: refused", fileSystem("tmpfs", "size=2m") + lay({{"m/out.wav"}}) +
     mounted({"mount", "-o", "remount,ro", "m"}), "m/out.wav", refused()},
    {"file-size limit, in place", sizeLimit(100000), "in.wav", failedWriting(kFull)},
    {"file-size limit over another file", lay({{"old.wav"}}) + sizeLimit(100000), "old.wav", failedWriting(kFull)},
    // No temporary file can be made beside it, so nothing is written.
    {"a directory the user may not write: refused", lockedDirectory(), "locked/out.wav", refused()},
    {"the same over a longer file", lockedDirectory(2000000), "locked/out.wav", refused()},
    {"the same with a file-size limit", lockedDirectory() + sizeLimit(100000), "locked/out.wav", refused()},
    // Few descriptors and a large clip: refused before a byte is written, so the file keeps its length.
    {"a user's file in root's directory on tmpfs with eight descriptors: refused", usersFileOnTmpfs +
     wrapped({"/usr/bin/prlimit", "--nofile=8"}), "m/shared/old.wav", refused()},
    // Only its owner or the directory's may remove or rename a file in a sticky directory.
    {"another user's writable file in a sticky directory: refused", sticky(0) + asNobody, "sticky/out.wav", refused()},
    // A shell's `>` would open the file: in a sticky folder the system refuses that where it
    // protects files (protected_regular) and the file is neither the caller's nor the folder
    // owner's; root and the folder's owner are no exception.
    {"the same where the sticky directory is the user's own, where files are not protected: converted",
     protectedFiles(0) + sticky(kNobody) + asNobody, "sticky/out.wav", converted()},
    {"the same where files are protected: refused", protectedFiles(1) + sticky(kNobody) + asNobody, "sticky/out.wav",
     refusedByRule()},
    {"root and another user's file in a sticky world-writable directory, files protected: refused", protectedFiles(1) +
     lay({{"pub/", 01777}, {"pub/out.wav", 0666, kNobody}}), "pub/out.wav", refusedByRule()},
    {"root and another user's file in a sticky directory its group may write, files protected at 2: refused",
     protectedFiles(2) +
     lay({{"pub/", 01770}, {"pub/out.wav", 0666, kNobody}}), "pub/out.wav", refusedByRule()},
    {"the same, files protected at 1: converted, the file still its owner's", protectedFiles(1) +
     lay({{"pub/", 01770}, {"pub/out.wav", 0666, kNobody, kNobody}}), "pub/out.wav",
     converted({{"pub/out.wav::owner", "65534:65534"}, {"pub/out.wav::mode", "666"}})},
    {"the same with proc hidden, the setting unread: refused", procHidden +
     lay({{"pub/", 01770}, {"pub/out.wav", 0666, kNobody}}), "pub/out.wav", refusedByRule()},
    {"root replaces another user's file in a third user's sticky directory where files are not protected",
     protectedFiles(0) + lay({{"pub/", 01777, 1001}, {"pub/out.wav", 0666, 1002, 1002}}), "pub/out.wav",
     converted({{"pub/out.wav::owner", "1002:1002"}})},
    // Where the old owner or group cannot be kept, no one but the caller gains by it.
    {"another user's file of mode 0606: the owner and group lost, 0600", othersFile(0606, 1002, 2000) + asNobody,
     "open/out.wav", converted({{"open/out.wav::owner", "65534:65534"}, {"open/out.wav::mode", "600"}})},
    {"the same of mode 0662: 0622", othersFile(0662, 1002, 2000) + asNobody, "open/out.wav",
     converted({{"open/out.wav::owner", "65534:65534"}, {"open/out.wav::mode", "622"}})},
    {"the user's own file of another group, mode 0606: the group lost, 0600", lay({{"open/", 0777}, {"open/out.wav",
     0606, kNobody, 4343}}) + asNobody, "open/out.wav", converted({{"open/out.wav::owner", "65534:65534"},
     {"open/out.wav::mode", "600"}})},
    {"another user's file of a group the user is in: the group kept, mode 0664 kept", othersFile(0664, 0, 4343) +
     root("runs as another user") + wrapped({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--groups=4343"}),
     "open/out.wav", converted({{"open/out.wav::owner", "65534:4343"}, {"open/out.wav::mode", "664"}})},
    {"an access list whose entry for the user's group writes only: the owning group's narrows to it",
     othersFile(0666, 1002, 2000) + accessList("open/out.wav", "g::rw,g:nogroup:w,o::rw") +
     asNobody, "open/out.wav", converted({{"open/out.wav::acl",
     "user::rw-\ngroup::-w-\ngroup:nogroup:-w-\nmask::rw-\nother::rw-\n\n"}})},
    {"an access list naming the owner the user cannot keep: refused", othersFile(0666, 1002) +
     accessList("open/out.wav", "u:1002:rw") + asNobody, "open/out.wav", refused()},
    {"an access list whose named group gives more than its owner had: refused", othersFile(0666, 1002) +
     accessList("open/out.wav", "u::r,g:3000:rw") + asNobody, "open/out.wav", refused()},
    // There the system shows the old owner and the user alike, as the overflow id.
    {"in a user namespace that maps no one, another user's file of mode 0466: 0444", othersFile(0466, 1002, 1002) +
     linuxOnly("the plain POSIX build reads no id maps") + asNobody + wrapped({"/usr/bin/unshare", "-U"}),
     "open/out.wav",
     converted({{"open/out.wav::owner", "65534:65534"}, {"open/out.wav::mode", "444"}})},
    // A shell's `>` cannot open a program that is running (ETXTBSY).
    {"a program running from the file: refused", runningProgram, "prog", refused()},
    {"another user's read-only file: refused", othersFile(0644) + asNobody, "open/out.wav", refused()},
    // A directory that only grows takes a new name but gives up none, not even a
    // temporary file's: the file is linked in by its descriptor when complete.
    {"replacing a file in an append-only directory: refused", appendOnlyDirectory, "grows/old.wav", refused()},
    {"a new output in an append-only directory is made", appendOnlyDirectory, "grows/new.wav", converted()},
    {"the same replacement with proc hidden: refused", appendOnlyDirectory + procHidden, "grows/old.wav", refused()},
    {"the same new output with proc hidden is made", appendOnlyDirectory + procHidden, "grows/new.wav", converted()},
    // An append-only file may not be opened to be written but to append; the plain POSIX build,
    // which sees no file attributes, sees a file mounted over only when the new file would take
    // the name.
    {"an immutable file: refused", lay({{"old.wav"}}) + flag("old.wav", "+i"), "old.wav", refused()},
    {"a file in an immutable directory: refused", lay({{"fixed/old.wav"}}) + flag("fixed", "+i"), "fixed/old.wav",
     refused()},
    {"an append-only file: refused", lay({{"old.wav"}}) + flag("old.wav", "+a"), "old.wav", refused()},
    {"a file mounted over: refused", lay({{"out.wav", 0, -1, -1, "hidden"}, {"src.wav"}}) +
     mounted({"mount", "--bind", "src.wav", "out.wav"}), "out.wav", refusedHereAtNamingThere()},
    {"btrfs under overlayfs, a user's file in root's directory: refused", overlayOnBtrfs, "o/shared/rec.wav",
     refused()},
    {"XFS, a file sharing its blocks with a copy, in a directory the user may not write: refused", reflinkedOnXfs,
     "m/locked/out.wav", refused()},
    {"FAT32 through FUSE: a file replaced, then converted in place", fatThroughFuse +
     script("\"$0\" \"$@\" && \"$0\" \"$2\" \"$2\"", 2), "m/a.wav", converted({{"m/a.wav", kClip}})},
    // Setuid and setgid are cleared by the system when another user writes a file.
    {"setuid is not handed to a new owner", othersFile(04666) + asNobody, "open/out.wav",
     converted({{"open/out.wav::mode", "666"}, {"open/out.wav::owner", "65534:65534"}})},
    {"a replaced file keeps its access list and extended attributes",
     lay({{"old.wav", 0640}}) + accessList("old.wav", "u:nobody:rw") + attribute("old.wav", "user.note", "kept"),
     "old.wav", converted({{"old.wav::acl", "user::rw-\nuser:nobody:rw-\ngroup::r--\nmask::rw-\nother::---\n\n"},
                {"old.wav::user.note", "kept"}})},
    // The old file's list comes last: one that leaves its new owner read-only would stop the rest.
    // The file is nobody's now, and group nogroup's: its group entry narrows to what others had.
    {"another user's file whose access list leaves its owner read-only keeps the list and its attribute",
     othersFile(0666, 1001) + attribute("open/out.wav", "user.note", "kept") + asNobody + accessList("open/out.wav",
     "u::r,u:nobody:rw,g::r,o::-"), "open/out.wav", converted({{"open/out.wav::user.note", "kept"},
     {"open/out.wav::acl", "user::r--\nuser:nobody:rw-\ngroup::---\nmask::rw-\nother::---\n\n"}})},
    // A new file inherits the directory's default access list; the old file had none.
    {"a replaced file without an access list gets none from its directory", lay({{"acl/old.wav", 0640}}) +
     accessList("acl", "u:nobody:rw", true), "acl/old.wav", converted({{"acl/old.wav::acl", kNoAcl}})},
    // Nor where the list would take the last of the space that the old file's extended attributes fill.
    {"a file whose extended-attribute space is full, in a folder with a default access list, is replaced and "
     "keeps every attribute", linuxOnly(kNoAttributes) + fullAttributesUnderDefaultAcl, "m/acl/old.wav",
     converted({{"m/acl/old.wav::acl", kNoAcl}, {"m/acl/old.wav::user.*", kBefore}})},
    {"an extended attribute that cannot be copied fails the run",
     lay({{"old.wav"}}) + attribute("old.wav", "user.project", "alpha") +
     injected("fsetxattr", "ENOSPC", 1), "old.wav", failedWriting(kWriteFailed, {{"old.wav::user.project", "alpha"}})},
    // As a FUSE or network file system without extended attributes answers.
    {"a file system that keeps no extended attributes: the file is replaced all the same", linuxOnly(kNoAttributes) +
     lay({{"old.wav"}}) + injected("flistxattr", "EOPNOTSUPP"), "old.wav", converted()},
    {"a directory that may be written but not read: a new file all the same", usersDirectory("drop/", 0333),
     "drop/out.wav", converted()},
    // The system follows 40 links in a row, and no more.
    {"a chain of 40 links is followed", linkChain(40), "c1", converted({{"real.wav", kScrambled}, {"c1", "-> c2"}})},
    {"a chain of 41 links: refused", linkChain(41), "c1", refused()},
    {"a link that grows before it is read: refused, nothing written where its first part leads",
     lay({{"real.wav"}, {"cut.wav"}, link("link.wav", "real.wav")}) + held("readlinkat", 1, "delay_enter=2s:when=1",
     "ln -sfn '" + kLongLink + "' \"$2\""), "link.wav", refused({{"link.wav", "-> " + kLongLink}})},
    {"a dangling symbolic link and a failing write: nothing at its target",
     lay({{"store/"}, link("link.wav", "store/new.wav")}) + sizeLimit(100000), "link.wav", failedWriting(kFull)},
    // The temporary file is made beside the link's target, where the user may write, and
    // renamed there: the target's other hard link keeps the old bytes.
    {"a link in a locked directory to a file with another hard link", linkToHardLinkedFile, "locked/link.wav",
     converted({{"open/real.wav", kScrambled}, {"locked/link.wav", "-> ../open/real.wav"}})},
    // As the system refuses to follow them for anyone but their owner and the directory's,
    // where its setting says so; and follows them where it does not.
    {"another user's link in a sticky world-writable directory: refused", protectedLinks(1) +
     plantedLink("out.wav", "../victim.wav"), "pub/out.wav", refusedByRule()},
    {"the same, dangling: nothing is made where it points", protectedLinks(1) + plantedLink("new.wav", "../made.wav"),
     "pub/new.wav", refusedByRule()},
    {"the same link where the system follows such links: its target is converted",
     protectedLinks(0) + plantedLink("out.wav", "../victim.wav"),
     "pub/out.wav", converted({{"victim.wav", kScrambled}, {"pub/out.wav", "-> ../victim.wav"}})},
    // In a user namespace, ids without a mapping belong to nobody: neither the caller nor the
    // directory's owner, and no capability overrides the sticky rule for them.
    {"in a user namespace, another user's link in a sticky directory of a third user: refused", protectedLinks(1) +
     plantedLink("out.wav", "../victim.wav", 1001) + userNamespace(), "pub/out.wav", refusedByRule()},
    // Where the namespace maps an id of its own to 65534, as a map of subordinate ids does,
    // that id still shows every id without a mapping.
    {"the same where the namespace's map holds 65534: refused",
     protectedLinks(1) + plantedLink("out.wav", "../victim.wav", 1001) +
     userNamespaceMapping("0 0 1\\n1 100000 65536\\n"), "pub/out.wav", refusedByRule()},
    {"in a user namespace, another user's file in another user's sticky directory: refused", sticky(kNobody, kNobody) +
     userNamespace(), "sticky/out.wav", refusedHereAtNamingThere()},
    {"in nobody's user namespace, its own file in a sticky directory is converted", sticky(0, kNobody) + asNobody +
     linuxOnly("the plain POSIX build reads no id maps") + userNamespace(), "sticky/out.wav",
     converted({{"sticky/out.wav::owner", "65534:65534"}})},
    {"in a user namespace, a file whose owner has no mapping becomes the caller's", othersFile(0666, kNobody, kNobody) +
     linuxOnly("the plain POSIX build reads no id maps") + userNamespace(), "open/out.wav",
     converted({{"open/out.wav::owner", "0:0"}})},
    {"in a user namespace, a file whose access list names a user without a mapping: refused", othersFile(0666) +
     accessList("open/out.wav", "u:1001:rw") + userNamespace(), "open/out.wav", refused()},
    {"in a user namespace with proc hidden, another user's FIFO in a third user's sticky directory: refused",
     plantedFifo(01777, 1001) + userNamespace(true), "pub/out.wav", refusedByRule()},
    // An id map that cannot be read is no reason to give the file to the caller.
    {"a replaced file keeps its owner and group where the id map cannot be read", lay({{"old.wav", 0644, 1001, 1002}}) +
     mapsUnreadable("error=EIO"), "old.wav", converted({{"old.wav::owner", "1001:1002"}})},
    // The system shows an id without a mapping as the overflow id: any other it shows is someone.
    {"a replaced file keeps its owner and group where the id map reads empty", lay({{"old.wav", 0644, 4242, 4343}}) +
     mapsUnreadable("retval=0"), "old.wav", converted({{"old.wav::owner", "4242:4343"}})},
    // Another user's FIFO in a sticky directory would pass the recording to its reader: where
    // the system protects FIFOs, velto refuses it, root as well; where not, it is written.
    {"another user's FIFO in a sticky world-writable directory: refused", protectedFifos(1) + plantedFifo(01777),
     "pub/out.wav", refusedByRule()},
    {"the same in a sticky directory its group may write, at the second level: refused", protectedFifos(2) +
     plantedFifo(01770), "pub/out.wav", refusedByRule()},
    {"the same FIFO in a directory of its owner's is written", protectedFifos(1) + plantedFifo(01777, kNobody),
     "pub/out.wav", writtenThrough({{"got.wav", kScrambled}})},
    {"where the system protects no FIFOs, another user's FIFO receives the output", protectedFifos(0) +
     plantedFifo(01777), "pub/out.wav", writtenThrough({{"got.wav", kScrambled}})},
    {"a FIFO whose reader comes a second after the run starts is waited for", fifo("out.wav", 1), "out.wav",
     writtenThrough({{"got.wav", kScrambled}})},
    {"another user's FIFO in a sticky directory its group may write, with proc hidden: refused", plantedFifo(01770) +
     procHidden, "pub/out.wav", refusedByRule()},
    // Kernels before 6.10 link an unnamed file in by its descriptor only through /proc.
    {"where an unnamed file cannot be linked in, a named temporary file is used", lay({{"old.wav"}}) +
     injected("linkat", "EPERM"), "old.wav", converted()},
    {"another user's file whose extended attribute the user may not read: refused", othersFile(0622) +
     attribute("open/out.wav", "user.note", "kept") + asNobody, "open/out.wav", refused()},
    {"a link that cannot be read is a failure, not a name to replace",
     lay({{"store/real.wav"}, link("link.wav", "store/real.wav")}) +
     injected("newfstatat", "EIO", 2, "link.wav"), "link.wav", refused()},
    {"a clip of more than one 64 MiB write", clipOf((std::size_t{65} << 20) + 4000), "out.wav", converted()},
    {"an output directory path near the system's limit", nearPathLimit, "out.wav", converted()},
    {"the same, in place, with a file-size limit", nearPathLimit + inPlace + sizeLimit(100000), "in.wav",
     failedWriting(kFull)},
    {"a working directory deeper than the system's limit", deepWorkingDirectory, "out.wav", converted()},
    {"an output name longer than the system takes: refused", [](Scene& s) { s.output = deepPath(s, 4100) + "/o.wav"; },
     "", refused()},
    {"an empty output name", lay({}), "", refused()},
    // The output in /, under a name of the row's own.
    {"a file in the root directory", root("writes in /") +
     [](Scene& s) { s.output = "/." + std::to_string(getpid()) + "-" + s.output; }, "velto-test.wav", converted()},
    // A name for a descriptor of the run is written through that descriptor, as the
    // caller's redirection opened it. Where a script names the output, the row's is how it ends.
    {"a pipe named by its descriptor", script("set -o pipefail; \"$0\" \"$@\" 3>&1 >/dev/null | cat > piped.wav"),
     "/dev/fd/3", writtenThrough({{"piped.wav", kScrambled}})},
    {"a deleted file's descriptor is written, no file of its name is made",
     script("exec 7>gone.wav && rm gone.wav && \"$0\" \"$@\""), "/proc/self/fd/7", writtenThrough()},
    {"appending through dev fd 3: the file keeps its bytes and its inode", keptLog + redirected("3>>log.bin"),
     "/dev/fd/3", writtenThrough({{"log.bin", "KEEP\n" + kScrambled}, {"log.bin::inode", kBefore}})},
    {"the same through proc self fd 3", keptLog + redirected("3>>log.bin"), "/proc/self/fd/3",
     writtenThrough({{"log.bin", "KEEP\n" + kScrambled}, {"log.bin::inode", kBefore}})},
    {"a truncating descriptor: the file holds the WAV alone, same inode", keptLog + redirected("3>log.bin"),
     "/dev/fd/3", writtenThrough({{"log.bin", kScrambled}, {"log.bin::inode", kBefore}})},
    {"lines written through the descriptor before and after the run stay in order",
     script("exec 3>>f; echo earlier >&3; \"$0\" \"$@\"; s=$?; echo later >&3; exit $s"),
     "/dev/fd/3", writtenThrough({{"f", "earlier\n" + kScrambled + "later\n"}})},
    {"dev stdout into a file: the report, the WAV, then the closing line", reportedClip + redirected(">log.bin"),
     "/dev/stdout", writtenThrough({{"log.bin", kThroughStdout}})},
    // The script's own descriptors, reached through fds, a link to its /proc/PID/fd.
    {"another process's descriptor: refused, its file as it was", keptLog + script("exec 3>>log.bin; ln -s "
     "/proc/$$/fd fds; \"$0\" \"$@\" 3>&-; s=$?; rm fds; exit $s"), "fds/3", refused()},
    {"another process's descriptor 1, the run's own another file: refused, its file as it was", keptLog +
     script("exec 4>&1 >>log.bin; ln -s /proc/$$/fd fds; \"$0\" \"$@\" >&4; s=$?; rm fds; exit $s"), "fds/1",
     refused()},
    // Swapped or given away between velto's look at the name and its open: the FIFO's reader gets nothing.
    {"a FIFO swapped for another user's before it is opened: refused", rootsFifo + heldAtOpen(kOthersFifoInPlace),
     "out.wav", refused()},
    {"a FIFO given to another user while its open is held: refused, its reader gets nothing", rootsFifo +
     heldAtOpen(kReadAtOnce), "out.wav", refused()},
    {"a device swapped for a FIFO before it is opened: refused without waiting for a reader", device +
     heldAtOpen(kFifoInPlace), "out.wav", refused()},
    {"a descriptor open only for reading: refused", keptLog + redirected("3<log.bin"), "/dev/fd/3", refused()},
    {"a block device is synced: a failing sync fails the run", loopDevice + injected("fsync", "EIO"), "the loop device",
     failedWriting(kWriteFailed, {{"disk", kScrambled + std::string(1048576 - 600044, '\0')}})},
    // Each is held a second as it links its file in under the name (the plain POSIX build, its
    // named temporary file), long after all have looked at the name: one takes it, the rest fail.
    {"twelve runs making one new output at once: one wins, the others fail",
     withStrace + script("export ASAN_OPTIONS=detect_leaks=0; for i in 1 2 3 4 5 6 7 8 9 10 11 12; do strace -e "
                         "quiet=all -o /dev/null -P \"$2\" -e trace=linkat -e inject=linkat:delay_enter=1s \"$0\" "
                         "\"$@\" >/dev/null 2>&1 & done; w=0; for p in $(jobs -p); do wait $p && w=$((w+1)); done; "
                         "[ $w = 1 ]",
                         0),
     "out.wav", converted()},
    // Where no unnamed file can be made, a new name is taken by a rename that replaces no file, or
    // a link: FAT through FUSE has neither.
    {"a new output on FAT through FUSE: refused", fatThroughFuse, "m/out.wav", refused()},
    // The kernel's walk: 40 links in all, those of folder parts counted; the link rule asked of the
    // last name and of the last name of each link it leads to, not of a link in a folder part.
    {"21 links through a folder-part link each: 42 in all, refused", linkThroughFolder(21), "l0", refused()},
    {"a link in a folder part, another user's in a sticky folder, is followed", folderLinks, "s/dl/out.wav",
     converted()},
    {"the same reached through a link to it", folderLinks + lay({link("x", "s/dl")}), "x/o2.wav", converted()},
    {"a link whose text passes through it", folderLinks + lay({link("z", "s/dl/t2.wav")}), "z", converted()},
    {"that user's link as the last name there: refused", folderLinks, "s/fl", refusedByRule()},
    {"a link to that link: refused", folderLinks + lay({link("y", "s/fl")}), "y", refusedByRule()},
    // The inode flags `>` keeps, as it writes the same inode, given before the first byte (C).
    {"ext4: a replaced file keeps its flags d and A", linuxOnly("the plain POSIX build keeps no inode flags") +
     image({"mkfs.ext4", "-q", "m.img"}, "e2fsprogs", "64M") + lay({{"m/f.wav"}}) + run({"chattr", "+dA", "m/f.wav"}),
     "m/f.wav", converted({{"m/f.wav::flags", kBefore}})},
    {"btrfs: the same with C, which a file takes only while empty",
     linuxOnly("the plain POSIX build keeps no inode flags") +
     image({"mkfs.btrfs", "-f", "m.img"}, "btrfs-progs", "300M") + lay({{"m/f.wav", 0, -1, -1, ""}}) +
     run({"chattr", "+C", "m/f.wav"}) + run({"cp", "in.wav", "m/f.wav"}), "m/f.wav",
     converted({{"m/f.wav::flags", kBefore}})},
    // No link is followed on a file system mounted nosymfollow; one of a process's folder of /proc
    // leads where the system says (/proc/net is a link to self/net: two links), and at the end of
    // the name it is not velto's to replace.
    {"a link on a file system mounted nosymfollow: refused",
     linuxOnly("the plain POSIX build sees no nosymfollow mounts") + fileSystem("tmpfs", "nosymfollow") +
     lay({link("m/l", "target.wav")}), "m/l", refused()},
    {"38 links after proc net and the working folder's: refused", linkThroughFolder(19), "/proc/net/../cwd/l0",
     refused()},
    {"proc self cwd where the working folder is gone: refused", script("mkdir g && cd g && rmdir ../g && "
     "\"$0\" ../\"$1\" \"$2\""), "/proc/self/cwd", refused()},
    // A group not kept is the caller's own, never the one a new file takes from its folder.
    {"on a file system mounted grpid, another user's file becomes the caller's and its group", asNobody +
     image({"mkfs.ext4", "-q", "m.img"}, "e2fsprogs", "64M", {"mount", "-o", "loop,grpid", "m.img", "m"}) +
     lay({{"m/D/", 0777, 0, 5000}, {"m/D/f.wav", 0660, 4244, 4244}}) + accessList("m/D/f.wav", "g:nogroup:rw,o::-"),
     "m/D/f.wav", converted({{"m/D/f.wav::owner", "65534:65534"}})},
    // Mode, list and attributes are set while the file is the caller's: root without CAP_FOWNER
    // could not set them on another user's file.
    {"root without CAP_FOWNER keeps another user's owner, group, mode and list",
     root("drops a capability") + lay({{"c/", 0755}, {"c/f.wav", 0644, 4244, 2000}}) +
     accessList("c/f.wav", "u:4245:r") + wrapped({"/usr/bin/setpriv", "--bounding-set=-fowner", "--inh-caps=-fowner"}),
     "c/f.wav", converted({{"c/f.wav::owner", "4244:2000"}, {"c/f.wav::mode", "644"},
     {"c/f.wav::acl", "user::rw-\nuser:4245:r--\ngroup::r--\nmask::r--\nother::r--\n\n"}})},
    {"root without CAP_CHOWN replaces another user's file in a third user's sticky folder with CAP_FOWNER",
     protectedFiles(0) + lay({{"pub/", 01777, 1001}, {"pub/out.wav", 0666, 1000, 1000}}) +
     linuxOnly("the plain POSIX build reads no capabilities") +
     wrapped({"/usr/bin/setpriv", "--bounding-set=-chown", "--inh-caps=-chown"}), "pub/out.wav",
     converted({{"pub/out.wav::owner", "0:0"}, {"pub/out.wav::mode", "666"}})},
    // A run a rule refuses opens nothing for writing and makes nothing.
    {"refused by the protection of files: nothing opened for writing", protectedFiles(1) +
     lay({{"pub/", 01777}, {"pub/out.wav", 0666, kNobody}}) + withStrace + script(
     "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -o t.log -e trace=%file \"$0\" \"$@\"; "
     "s=$?; ! grep -E 'O_WRONLY|O_RDWR|O_CREAT|O_TMPFILE' t.log && "
     "rm t.log && exit $s"), "pub/out.wav", refusedByRule()},
    // A lease holder is waited for, as `>` waits, and lets go after a second.
    {"a file under a read lease", leased(0), "out.wav", converted()},
    {"a file under a write lease", leased(1), "out.wav", converted()},
    // As `>` holds the file open for writing while it waits, the holder cannot take the lease back.
    {"a lease taken back at once after each break", leased(0, "fcntl($f, 1024, 2); fcntl($f, 1024, 0)"), "out.wav",
     converted()},
    {"XFS: a replaced file keeps its project id, extent size hint and nodefrag",
     linuxOnly("the plain POSIX build keeps no inode flags") + image({"mkfs.xfs", "-f", "m.img"}, "xfsprogs", "320M") +
     lay({{"m/p", 0, -1, -1, ""}}) + run({"xfs_io", "-c", "extsize 1m", "-c", "chproj 42", "-c", "chattr +f", "m/p"}) +
     run({"cp", "in.wav", "m/p"}), "m/p", converted({{"m/p::xfs", kBefore}})},
    {"a new name another user takes while the run writes: the naming fails, that file as it was",
     root("runs as another user") + lay({{"r6/", 01777}}) + held("fsync", 1, "delay_enter=1s:when=1",
     "setpriv --reuid=4244 --regid=4244 --clear-groups sh -c 'echo OTHER > \"$0\"' \"$2\""), "r6/new.wav",
     failedWriting(kWriteFailed, {{"r6/new.wav", "OTHER\n"}})},
    // As `>` is refused onto a standard descriptor the shell was started without.
    {"dev stdout where the run was started without it: refused", [](Scene& s) { s.options.closeStdout = true; },
     "/dev/stdout", refused()},
    {"a descriptor open for reading and writing is written through", keptLog + redirected("3<>log.bin"), "/dev/fd/3",
     writtenThrough({{"log.bin", kScrambled}, {"log.bin::inode", kBefore}})},
    {"descriptor 10 appended to", keptLog + redirected("10>>log.bin"), "/dev/fd/10",
     writtenThrough({{"log.bin", "KEEP\n" + kScrambled}, {"log.bin::inode", kBefore}})},
};

// A fact of the file `p` (see Outcome::files).
std::string fact(const fs::path& p, const std::string& what) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return "no file";
    if (what == "mode") return (std::ostringstream() << std::oct << (st.st_mode & 07777)).str();
    if (what == "owner") return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    if (what == "inode") return std::to_string(st.st_ino);
    if (what == "flags") return runProgram("/bin/sh", {"-c", "lsattr \"$0\" | cut -d' ' -f1", p}, {}).out;
    // XFS's project id, extent size hint and flags, but X (the file has extended attributes).
    const std::string xfs = "xfs_io -c lsproj -c extsize -c lsattr \"$0\" | tr X -";
    if (what == "xfs") return runProgram("/bin/sh", {"-c", xfs, p}, {}).out;
    if (what == "acl") return runProgram("/usr/bin/env", {"getfacl", "-c", p.string()}, {}).out;
    // An extended attribute's value; for "user.*", every user attribute with its value, by name.
    const std::string get = what == "user.*" ? "getfattr -d -m '^user\\.' \"$0\" | sort"
                                              : "getfattr --only-values -n \"$1\" \"$0\"";
    return runProgram("/usr/bin/env", {"sh", "-c", get, p, what}, {}).out;
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

// Lays `row` out in a scratch directory holding in.wav (the clip), runs velto and checks the
// row's outcome.
void check(const Row& row) {
    const Outcome& o = row.outcome;
    ScratchDir dir;
    if (geteuid() == 0) owned(dir.path, 0755);
    writeFile(dir / "in.wav", canonicalWav(kStereo16, noise(600000, 42)));
    Scene s{.dir = dir.path, .options = {.workDir = dir.path}, .output = row.output};
    try {
        row.layout(s);
        if (o.ruled && !kLinuxFeatures) throw Skip{"the plain POSIX build knows no sticky-folder rule for these"};
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
        const std::string closingLine = replaced(out.substr(closing), "[out.wav]", "[/dev/stdout]");
        return toCp932(out.substr(0, closing)) + scrambled + toCp932(closingLine);
    };
    const Files before = facts(dir.path, o.files);
    Files expected = snapshot(dir.path), stated;
    for (const auto& [name, bytes] : o.files) {
        const std::string marked = replaced(bytes == kThroughStdout ? throughStdout() : bytes, kScrambled, scrambled);
        stated[name] = bytes == kBefore ? before.at(name) : replaced(marked, kClip, clip);
    }
    std::vector<std::string> command = {veltoPath(), s.input, s.output};
    if (!s.script.empty()) command = {"/bin/bash", "-c", s.script, veltoPath(), s.input, s.output};
    command.insert(command.begin(), s.wrap.begin(), s.wrap.end());
    s.options.endsItsProcesses = true;
    const RunResult r = runCommand(command, s.options);
    for (auto& step : s.undo) step();
    // strace ends as its tracee did: of a signal, or with its status.
    const bool converts = o.replaced || (o.orConverted && r.status == 0);
    EXPECT_EQ(r.status, converts ? 0 : o.status) << r.err;
    // Standard error: each run's report of the clip, its format chunk's and data chunk's lengths,
    // then what the outcome says.
    std::string err;
    for (int i = 0; i < s.reports; ++i) err += fmtLine(16) + dataLine(static_cast<std::uint32_t>(clip.size() - 44));
    const std::string tail = o.atNamingThere && !kLinuxFeatures ? kWriteFailed : o.tail;
    EXPECT_EQ(r.err, toCp932(err + (tail == kRefusal ? s.output + kCannotOpen : tail)));
    // The conversion stands at the file the output name leads to, its links followed.
    std::error_code error;
    const fs::path named = fs::path(s.options.workDir) / s.output, real = fs::weakly_canonical(named, error);
    const fs::path& written = error ? named : real;
    const bool inside = written.lexically_relative(fs::canonical(dir.path)).begin()->string() != "..";
    if (converts && inside) expected[written.lexically_relative(fs::canonical(dir.path)).string()] = scrambled;
    if (converts && !inside) {
        EXPECT_TRUE(readFile(written) == scrambled && fs::remove(written)) << written;
    }
    stated.merge(expected);  // what the outcome states, over what it leaves as it was
    Files found = snapshot(dir.path);
    found.merge(facts(dir.path, o.files));
    EXPECT_EQ(differences(stated, found), "");
}

std::string nameOf(const ::testing::TestParamInfo<Row>& row) { return rowName(row.param.name); }

class OutputSafety : public ::testing::TestWithParam<Row> {};
TEST_P(OutputSafety, NoFailureCostsAByteOrLeavesAFile) { check(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Output, OutputSafety, ::testing::ValuesIn(kRows), nameOf);

// ---- Signals -----------------------------------------------------------------------------

// Each signal that ends a process by default, and that a program may catch.
const int kTerminating[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,   SIGALRM,
                            SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,  SIGIO,   SIGSTKFLT, SIGRTMIN + 1};

std::string signalName(int n) { return n >= SIGRTMIN ? "a real-time signal" : "SIG" + std::string(sigabbrev_np(n)); }
// `sig` comes while velto's `when`th `call`, and every one after, is held a second; or, where
// `atExit`, once that call is done, held then.
Layout signalAt(int sig, const std::string& call = "fsync", int when = 1, bool atExit = false) {
    const std::string delay = (atExit ? "delay_exit=1s:when=" : "delay_enter=1s:when=") + std::to_string(when);
    const std::string why = sig == SIGKILL     ? "SIGKILL leaves the plain POSIX build's named temporary file"
                            : call == "linkat" ? "the plain POSIX build makes no unnamed file" : "";
    const Layout kill = held(call, when, delay + (atExit ? "" : "+"), "kill -" + std::to_string(sig) + " $p");
    return why.empty() ? kill : linuxOnly(why) + kill;
}
// The caller leaves `sig` ignored, as nohup does SIGHUP.
Layout ignored(int sig) { return [=](Scene& s) { s.options.ignoredSignal = sig; }; }

// Each row's directory holds old.wav as well.
std::vector<Row> signalRows() {
    std::vector<Row> rows = {
        {"SIGKILL, new output", signalAt(SIGKILL), "out.wav", endedBy(SIGKILL)},
        {"SIGKILL over an existing file", signalAt(SIGKILL), "old.wav", endedBy(SIGKILL)},
        {"SIGTERM, in place", signalAt(SIGTERM), "in.wav", endedBy(SIGTERM)},
        {"SIGTERM with a clip over 2 MiB", clipOf((3u << 20) + 2) + signalAt(SIGTERM), "out.wav", endedBy(SIGTERM)},
        // FAT through FUSE has no unnamed files: the temporary file has a name from the start.
        {"SIGINT, named temporary file", fatThroughFuse + lay({{"m/old.wav"}}) + signalAt(SIGINT), "m/old.wav",
         endedBy(SIGINT)},
        {"SIGTERM as the named temporary file is made", fatThroughFuse + lay({{"m/old.wav"}}) +
         held("openat", 1, "delay_exit=0.4s:when=1+", "kill -TERM $p", "m", ".velto-") + watchdog(10), "m/old.wav",
         endedBy(SIGTERM)},
        // A signal the caller ignores is no interrupt.
        {"SIGHUP under nohup: the run goes on", ignored(SIGHUP) + signalAt(SIGHUP), "out.wav", converted()},
        {"SIGUSR1 ignored by the caller: the run goes on", ignored(SIGUSR1) + signalAt(SIGUSR1), "old.wav",
         converted()},
        // Another user swaps the file for a FIFO, or a FIFO for a file, between velto's look at
        // the name and its open.
        {"a FIFO put in place of the old file before it is opened: refused at once", heldAtOpen(kFifoInPlace),
         "old.wav", refused({{"old.wav", kNotRegular}})},
        {"a regular file put in place of a FIFO before it is opened: refused, the file as it was",
         lay({{"fifo.wav", 0666, -1, -1, kNotRegular}}) + heldAtOpen(kFileInPlace), "fifo.wav",
         refused({{"fifo.wav", kOld}})},
    };
    for (const int sig : kTerminating)
        rows.push_back({signalName(sig) + " before the file takes its name: nothing changes", signalAt(sig), "old.wav",
                        endedBy(sig)});
    // Once the complete file takes its name, a signal waits for the run to end: held as it
    // takes the name, or as the directory is synced after.
    for (const auto& [sig, output] : {std::pair{SIGTERM, "in.wav"}, {SIGUSR1, "old.wav"}, {SIGRTMIN + 1, "old.wav"}})
        rows.push_back({signalName(sig) + " while " + output + " takes its name: the run completes",
                        signalAt(sig, "renameat"), output, converted()});
    for (const auto& [sig, output] : {std::pair{SIGINT, "out.wav"}, {SIGALRM, "old.wav"}, {SIGXCPU, "old.wav"}})
        rows.push_back({signalName(sig) + " while the name " + output + " is synced: the run completes",
                        signalAt(sig, "fsync", 2), output, converted()});
    // The unnamed file has just been given a temporary name beside the old file: the run ends
    // of the signal without it, or goes on to take the output's name.
    for (const int sig : {SIGUSR1, SIGALRM, SIGXCPU})
        rows.push_back({signalName(sig) + " once the unnamed file has a temporary name: no debris",
                        signalAt(sig, "linkat", 1, true), "old.wav", endedBy(sig, true)});
    for (Row& row : rows) row.layout = lay({{"old.wav"}}) + row.layout;
    return rows;
}

class Interrupted : public OutputSafety {};
TEST_P(Interrupted, ASignalLeavesEitherTheOldFileOrTheWholeConversionAndNothingElse) { check(GetParam()); }
INSTANTIATE_TEST_SUITE_P(WhileWriting, Interrupted, ::testing::ValuesIn(signalRows()), nameOf);

// ---- The kernel as the judge ---------------------------------------------------------------

// Each layout is laid out twice, and met by a shell's `>` (`sh -c 'cat in.wav > NAME'`) in one
// folder and by velto in the other, as the same caller, at the machine's own settings: velto must
// be refused exactly where the shell is (255, the refusal, every file as it was) and convert
// exactly where the shell writes, what it writes standing where the shell's does, but where the
// layout is one of the differences the man page names, each by its own words there.
struct Caller {
    std::string name;
    int user;                        // run as this user (-1: the test's own)
    std::vector<std::string> wrap;   // the commands run through this first
    int uid() const { return user >= 0 ? user : static_cast<int>(geteuid()); }
};
const Caller kSelf{"the test's user", -1, {}}, kUserNobody{"nobody", kNobody, {}},
    kNamespaceRoot{"root of a user namespace", -1, {"/usr/bin/unshare", "-Ur"}};
const std::string kUnwritableFolder = "a directory you may not write, holding a file you may write";
const std::string kUnreplaceable = "another user's file you may write in a sticky directory";
const std::string kUnmapped = "as it cannot tell that user from another without a mapping";

struct Judged {
    std::string name;
    const Caller* caller;
    Layout layout;
    std::string output;
    bool fifo = false;    // a reader of the output waits for it
    bool sticky = false;  // laid out in a sticky folder, whose rules the plain POSIX build knows not
    std::string excuse;   // where velto is refused and the shell writes: the man page's words for it
};
void PrintTo(const Judged& j, std::ostream* os) { *os << j.name; }

// The layouts, from a few lists: p/ (a folder of each mode, the caller's or user 4244's) holding
// at out.wav nothing, a file, a FIFO, a folder, a link to t/target or a dangling one (to
// t/new.wav); t/ a folder of the caller's anyone may write. And chains of links, counted over
// the whole name, in folder parts and at the end, in a sticky folder and a plain one.
std::vector<Judged> judgedLayouts() {
    std::vector<Judged> rows;
    const int other = 4244, third = 4245;
    for (const Caller* c : {&kSelf, &kUserNobody, &kNamespaceRoot}) {
        const int me = c->uid();
        const Layout base = (c == &kUserNobody ? root("runs as another user") : Layout([](Scene&) {})) +
                            lay({{"t/", 0777, me, me}, {"t/target", 0666, me, me}});
        struct Entry {
            std::string name;
            std::vector<Lay> lay;
            bool fifo = false, others = false, device = false;
        };
        const std::vector<Entry> entries = {
            {"nothing", {}}, {"the caller's file", {{"p/out.wav", 0644, me, me}}},
            {"user 4244's file", {{"p/out.wav", 0666, other, other}}, false, true},
            {"user 4245's file", {{"p/out.wav", 0666, third, third}}, false, true},
            {"the caller's FIFO", {{"p/out.wav", 0666, me, me, kNotRegular}}, true},
            {"user 4244's FIFO", {{"p/out.wav", 0666, other, other, kNotRegular}}, true},
            {"a folder", {{"p/out.wav/", 0755, me, me}}}, {"the caller's link", {link("p/out.wav", "../t/target", me)}},
            {"user 4244's link", {link("p/out.wav", "../t/target", other)}},
            {"user 4244's dangling link", {link("p/out.wav", "../t/new.wav", other)}},
            {"user 4244's device", {}, false, false, true}};
        for (const unsigned mode : {01777u, 01770u, 0777u, 0755u}) {
            for (const int owner : {me, other}) {
                // Whether the caller may make a file in p/, and replace another's there.
                const bool privileged = c == &kSelf && geteuid() == 0;
                const bool mapped = privileged || (c == &kNamespaceRoot && owner == me);
                const bool writes = mapped || (mode & (owner == me ? 0200u : 0002u)) != 0;
                for (const Entry& e : entries) {
                    Judged j{c->name + ", folder " + (std::ostringstream() << std::oct << mode).str() + " of " +
                                 (owner == me ? "the caller" : "user 4244") + ", " + e.name,
                             c, base + lay({{"p/", mode, owner, owner}}) + lay(e.lay), "p/out.wav", e.fifo,
                             (mode & 01000) != 0};
                    if (e.device) {
                        j.layout = j.layout + root("makes a device node") + run({"mknod", "-m", "666", "p/out.wav", "c",
                                   "1", "3"}) + run({"chown", "4244", "p/out.wav"});
                    }
                    if (!writes && !e.fifo) j.excuse = kUnwritableFolder;
                    if (writes && e.others && (mode & 01000) && owner != me && !privileged) j.excuse = kUnreplaceable;
                    const bool unmapped = c == &kNamespaceRoot && owner == other && e.name.starts_with("user 4244's");
                    if (unmapped) j.excuse = kUnmapped;
                    rows.push_back(j);
                }
            }
        }
        if (c == &kUserNobody) continue;
        for (const int n : {1, 40, 41}) {
            rows.push_back({c->name + ", a chain of " + std::to_string(n) + " links", c, linkChain(n), "c1"});
        }
        for (const int n : {20, 21}) {
            rows.push_back({c->name + ", " + std::to_string(n) + " links through a folder-part link each", c,
                            linkThroughFolder(n), "l0"});
        }
        for (const unsigned mode : {01777u, 0777u}) {
            const Layout links = lay({{"s/", mode}, {"d2/", 0777}, {"d2/f.wav"}, link("s/dl", "../d2", other),
                                      link("s/fl", "../d2/f.wav", other), link("x", "s/dl"), link("z", "s/dl/t2.wav"),
                                      link("y", "s/fl")});
            for (const char* name : {"s/dl/out.wav", "x/o2.wav", "z", "s/fl", "y"}) {
                rows.push_back({c->name + ", user 4244's links in a folder " + (mode & 01000 ? "sticky" : "plain") +
                                    ", " + name, c, links, name, false, (mode & 01000) != 0});
            }
        }
    }
    return rows;
}

// Runs the bash script `command` ("$1" in.wav, "$2" the output) in `dir` as the row's caller, a
// reader of the output waiting where it is a FIFO.
RunResult runJudged(const Judged& j, const fs::path& dir, const std::string& command) {
    const std::string body = j.fifo ? reader() + "; " + command + "; s=$?; " + kReaderEnds + "; exit $s" : command;
    std::vector<std::string> c = j.caller->wrap;
    c.insert(c.end(), {"/bin/bash", "-c", body, veltoPath(), "in.wav", j.output});
    return runCommand(c, {.workDir = dir, .user = j.caller->user, .endsItsProcesses = true});
}

// The files below `dir`, the bytes `written` shown as "@written" (in.wav itself aside).
Files judgedFiles(const fs::path& dir, const std::string& written) {
    Files files = snapshot(dir);
    for (auto& [name, bytes] : files) {
        if (name != "in.wav" && bytes == written) bytes = "@written";
    }
    return files;
}

// Whether the system protects links, FIFOs or files in sticky folders (any fs.protected_* but
// hard links above 0).
bool stickyRulesApplied() {
    for (const char* s : {"protected_symlinks", "protected_fifos", "protected_regular"}) {
        if (readFile(fs::path("/proc/sys/fs") / s) != "0\n") return true;
    }
    return false;
}

class KernelJudged : public ::testing::TestWithParam<Judged> {};
TEST_P(KernelJudged, VeltoIsRefusedExactlyWhereTheShellIs) {
    const Judged& j = GetParam();
    if (!j.caller->wrap.empty() && !kLinuxFeatures) GTEST_SKIP() << "the plain POSIX build reads no id maps";
    if (j.sticky && !kLinuxFeatures && stickyRulesApplied()) {
        GTEST_SKIP() << "the plain POSIX build knows no sticky-folder rule, and this system applies one";
    }
    if (!j.caller->wrap.empty() && runProgram("/usr/bin/unshare", {"-Ur", "true"}, {}).status != 0) {
        GTEST_SKIP() << "no user namespace here";
    }
    ScratchDir a, b;
    std::vector<Scene> scenes;
    for (const fs::path& dir : {a.path, b.path}) {
        owned(dir, 0777, geteuid());
        writeFile(dir / "in.wav", canonicalWav(kStereo16, noise(60000, 42)));
        Scene& s = scenes.emplace_back(Scene{.dir = dir});
        try {
            j.layout(s);
        } catch (const Skip& skip) {
            GTEST_SKIP() << skip.why;
        }
    }
    const std::string clip = readFile(a / "in.wav"), scrambled = clip.substr(0, 44) + mirrored(clip.substr(44), 16, 2);
    const Files before = snapshot(b.path);
    const RunResult shell = runJudged(j, a.path, "sh -c 'cat \"$1\" > \"$2\"' sh \"$1\" \"$2\"");
    const RunResult velto = runJudged(j, b.path, "\"$0\" \"$@\"");
    const Files byShell = judgedFiles(a.path, clip), byVelto = judgedFiles(b.path, scrambled);
    const auto at = [&](const Files& f) { return f.contains(j.output) ? f.at(j.output).substr(0, 40) : "nothing"; };
    SCOPED_TRACE("\n  layout: " + j.name + "\n  sh -c 'cat in.wav > " + j.output + "': status " +
                 std::to_string(shell.status) + ", at the name: " + at(byShell) + "\n  velto in.wav " + j.output +
                 ": status " + std::to_string(velto.status) + ", at the name: " + at(byVelto));
    const bool excused = !j.excuse.empty() && shell.status == 0 && velto.status == 255;
    EXPECT_EQ(velto.status, shell.status == 0 && !excused ? 0 : 255);
    const std::string report = fmtLine(16) + dataLine(60000);
    EXPECT_EQ(velto.err, toCp932(report + (velto.status == 0 ? "" : j.output + kCannotOpen)));
    EXPECT_EQ(differences(excused ? before : byShell, byVelto), "");
    if (excused) {
        const std::string page = replaced(readFile(fs::path(VELTO_SOURCE_DIR) / "docs/velto.1"), "\\-", "-");
        EXPECT_NE(std::regex_replace(page, std::regex("\\s+"), " ").find(j.excuse), std::string::npos) << j.excuse;
    }
}
INSTANTIATE_TEST_SUITE_P(Output, KernelJudged, ::testing::ValuesIn(judgedLayouts()),
                         [](const auto& row) { return rowName(row.param.name); });

}  // namespace
