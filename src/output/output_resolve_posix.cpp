// The look at the output name on POSIX systems: the name walked as the system walks it, what
// stands at its end and what the decision needs to know of it, all of it read, nothing opened for
// writing; and the opens of the file found there that follow the decision. All relative to a
// descriptor of a directory, so that any path the system accepts works however deep.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "output/file_status.h"
#include "output/kernel_rules.h"
#include "output/output_target_posix.h"
#include "sys/process.h"

#if defined(O_SEARCH)
constexpr int kDirectoryHandle = O_SEARCH;  // a directory to work in, which need not be readable
constexpr int kReach = O_RDONLY | O_NONBLOCK;
#elif defined(O_PATH)
constexpr int kDirectoryHandle = O_PATH;
constexpr int kReach = O_PATH;              // a file reached, not opened: no lease is broken
#else
constexpr int kDirectoryHandle = O_RDONLY;
constexpr int kReach = O_RDONLY | O_NONBLOCK;
#endif

void OutputTargetDelete::operator()(OutputTarget* target) const noexcept { delete target; }

namespace {

// The links one walk of a name follows at most, as the system counts them (MAXSYMLINKS).
constexpr int kMostLinks = 40;

// Moves the target into the directory `name` of its directory (of the working directory at
// first), following it where it is a link only where `follow`.
int enter(OutputTarget& t, const char* name, bool follow = false) {
    const int at = t.dirFd < 0 ? AT_FDCWD : t.dirFd;
    const int dirFd = openat(at, name, kDirectoryHandle | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (dirFd < 0) return -1;
    if (t.dirFd >= 0) close(t.dirFd);
    t.dirFd = dirFd;
    return 0;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether a file opened has the inode, type and owner of the one looked at before: an inode
// freed meanwhile may be given to the next file made at once, so the inode alone does not tell.
bool stillSame(const struct stat& opened, const struct stat& seen) {
    return sameFile(opened, seen) && ((opened.st_mode ^ seen.st_mode) & S_IFMT) == 0 && opened.st_uid == seen.st_uid;
}

Seen seen(const struct stat& st) {
    return {static_cast<std::uint32_t>(st.st_mode & 07777), static_cast<std::uint32_t>(st.st_uid),
            static_cast<std::uint32_t>(st.st_gid)};
}

// For a name of descriptor N in a process's folder of descriptors (/proc/self/fd, where /dev/fd
// and /dev/stdout lead, or another's): N where it is the process's own as its caller gave it; -2
// where it is not (another process's, one not open, the walk's own `dirFd`, or a standard
// descriptor the run was started without); -1 for any other name.
int descriptorNamed(int dirFd, const std::string& name) {
    const bool number = !name.empty() && name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos &&
                        (name[0] != '0' || name == "0");
    if (!number || !fsIsProcessFolder(dirFd)) return -1;
    const int fd = std::stoi(name);
    struct stat link {}, own {};
    const bool given = fd != dirFd && !veltoStartedWithout(fd) && fstat(fd, &own) == 0;
    return given && fstatat(dirFd, name.c_str(), &link, 0) == 0 && sameFile(link, own) ? fd : -2;
}

// Walks `path` as the system walks the name of a file it opens: from the working directory, or
// from / where the path or a link's text begins with one. A link among the folder parts is
// followed wherever it leads, and never asked the link rule (a link of a process's folder of
// /proc, such as /proc/self/cwd or /dev/fd/N, where the system says, not where its text reads);
// the last name, where it is a link, is asked the rule in its folder and followed, the last name
// of its text being the last name again; a link of a process's folder there is one of the
// process's descriptors, or not velto's to follow. 40 links at most in all, and none on a file
// system mounted nosymfollow: ELOOP. Leaves the target in the folder of the last name, and fills
// in what stands there, with its lstat in `st` (nothing there: a zero `st`). An error on the way
// fails: nothing is made in place of a link that could not be read.
int walk(OutputTarget& t, OutputLook& look, std::string rest, struct stat& st) {
    for (int links = 0;;) {
        if ((t.dirFd < 0 || rest.starts_with('/')) && enter(t, rest.starts_with('/') ? "/" : ".", true) != 0) return -1;
        // The next name, and the slashes after it gone.
        const std::size_t start = std::min(rest.find_first_not_of('/'), rest.size());
        const std::size_t end = std::min(rest.find('/', start), rest.size());
        const std::string name = rest.substr(start, end - start);
        const bool slash = end < rest.size();
        rest.erase(0, std::min(rest.find_first_not_of('/', end), rest.size()));
        if (rest.empty()) {
            // The last name, which must name a file in a directory ("", "dir/" and ".." do not).
            if (slash || name.empty() || name == "." || name == "..") return errno = EISDIR, -1;
            t.name = name;
            if ((t.descriptor = descriptorNamed(t.dirFd, name)) != -1) {
                look.found = t.descriptor >= 0 ? Found::kOwnDescriptor : Found::kOthersDescriptor;
                look.descriptorWrites = t.descriptor >= 0 && (fcntl(t.descriptor, F_GETFL) & O_ACCMODE) != O_RDONLY;
                return ++links > kMostLinks ? (errno = ELOOP, -1) : 0;
            }
            if (fstatat(t.dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                st = {}, look.file = {};
                return errno == ENOENT ? 0 : -1;
            }
            look.file = seen(st);
            if (!S_ISLNK(st.st_mode)) {
                look.found = S_ISREG(st.st_mode) ? Found::kRegular : S_ISDIR(st.st_mode) ? Found::kDirectory
                             : S_ISFIFO(st.st_mode) ? Found::kFifo : Found::kDevice;
                return 0;
            }
            if (fsIsProcessFolder(t.dirFd)) return look.found = Found::kOthersDescriptor, 0;
            struct stat dir {};
            if (fstat(t.dirFd, &dir) != 0) return -1;
            look.dir = seen(dir);
            if (dir.st_mode & S_ISVTX) look.view = kernelView();
            if (!ruleMayFollow(look.view, look.file, look.dir)) return look.linkRefused = true, 0;
        } else if (name == "." || enter(t, name.c_str()) == 0) {
            continue;
        } else if (errno != ENOTDIR && errno != ELOOP) {
            return -1;
        } else if (fstatat(t.dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
            return errno = ENOTDIR, -1;
        } else if (fsIsProcessFolder(t.dirFd)) {
            // Never into the walk's own folder, which no caller gave.
            if (++links > kMostLinks || !fsFollowsLinks(t.dirFd)) return errno = ELOOP, -1;
            if (name == std::to_string(t.dirFd) || enter(t, name.c_str(), true) != 0) return errno = ENOENT, -1;
            continue;
        }
        // A link, on the way or at the end: its text takes its place in what is left to walk.
        if (++links > kMostLinks || !fsFollowsLinks(t.dirFd)) return errno = ELOOP, -1;
        std::vector<char> link(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = readlinkat(t.dirFd, name.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return -1;
        rest.insert(0, std::string(link.data(), static_cast<std::size_t>(n)) + (rest.empty() ? "" : "/"));
    }
}

// Opens `name` in `dirFd` with `flags`, never following a link and never waiting for a FIFO's
// other end. An open that would break another process's lease (EWOULDBLOCK) is tried again every
// 10 ms until the holder lets go, for up to `seconds` and one more, as a blocking open waits.
int openWaiting(int dirFd, const char* name, int flags, int seconds) {
    const timespec tick{0, 10000000};
    for (int tries = (seconds + 1) * 100;; --tries) {
        const int fd = openat(dirFd, name, flags | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != EWOULDBLOCK || tries <= 0) return fd;
        nanosleep(&tick, nullptr);
    }
}

// Reaches the regular file found as `st`, not opening it where the system can (O_PATH), so that
// no lease another process holds on it is broken before anything is decided, and one this user
// may write but not read is reached too; checks that it is the file looked at.
int reachExisting(OutputTarget& t, const struct stat& st) {
    t.existingFd = openat(t.dirFd, t.name.c_str(), kReach | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (t.existingFd < 0 || fstat(t.existingFd, &t.existing) != 0) return -1;
    return S_ISREG(t.existing.st_mode) && stillSame(t.existing, st) ? 0 : (errno = ESTALE, -1);
}

// Reads the file's extended attributes through an open of their own, where a file only reached
// cannot be read through /proc (hidden); the open waits for a lease holder as `>` would.
bool readOpened(OutputTarget& t, int seconds) {
    const int fd = openWaiting(t.dirFd, t.name.c_str(), O_RDONLY, seconds);
    struct stat st {};
    const bool read = fd >= 0 && fstat(fd, &st) == 0 && sameFile(st, t.existing) &&
                      fsReadExtendedAttributes(fd, t.attributes) == 0;
    if (fd >= 0) close(fd);
    return read;
}

}  // namespace

int targetLook(const char* path, OutputTargetPtr& target, OutputLook& look) {
    target.reset(new OutputTarget);
    OutputTarget& t = *target;
    struct stat st {};
    // A name longer than the system takes whole is refused as the system refuses it.
    if (std::strlen(path) >= PATH_MAX) return errno = ENAMETOOLONG, -1;
    if (walk(t, look, path, st) != 0) return -1;
    t.existing = st;
    if (look.linkRefused || look.found == Found::kOwnDescriptor || look.found == Found::kOthersDescriptor) return 0;
    // The system's ids, capabilities and maps where a rule or the plan asks whose a file is: in a
    // sticky folder, with the protection settings, and for a file to be replaced.
    const bool replacing = look.found == Found::kRegular;
    struct stat dir {};
    if (look.found != Found::kNothing && fstat(t.dirFd, &dir) != 0) return -1;
    look.dir = seen(dir);
    if (replacing || (look.found != Found::kNothing && (dir.st_mode & S_ISVTX))) look.view = kernelView();
    if (look.found != Found::kNothing && !replacing) return 0;
    look.dirPinned = fsIsPinned(t.dirFd);
    // A directory that may be written but not read cannot be synced; the run goes on without.
    t.syncFd = openat(t.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t.syncFd < 0 && errno != EACCES) return -1;
    if (!replacing) return 0;
    if (reachExisting(t, st) != 0) return -1;
    look.pinned = fsIsPinned(t.existingFd, true);
    look.attributesRead =
        fsReadExtendedAttributes(t.existingFd, t.attributes) == 0 || readOpened(t, look.view.leaseSeconds);
    for (const auto& [key, value] : t.attributes) {
        if (key == kAccessListAttribute) look.accessList = value;
    }
    return 0;
}

int targetOpenToWrite(OutputTarget& t, int leaseSeconds) {
    // The file looked at, opened for writing again through /proc, as `>` opens it but without
    // creating or truncating it, and waiting for a lease holder in the system's own way: the file
    // open for writing, the holder cannot take the lease back. It is a regular file, which no open
    // waits for otherwise. Where /proc is hidden, by its name, tried again while a lease is being
    // broken.
    int fd = open(("/proc/self/fd/" + std::to_string(t.existingFd)).c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) fd = openWaiting(t.dirFd, t.name.c_str(), O_WRONLY, leaseSeconds);
    struct stat st {}, named {};
    const bool same = fd >= 0 && fstat(fd, &st) == 0 && stillSame(st, t.existing) &&
                      fstatat(t.dirFd, t.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      stillSame(named, t.existing);
    // The inode flags the new file keeps, before its first byte: some take effect only then (C).
    if (same) fsCopyFlags(fd, t.fd);
    if (fd >= 0) close(fd);
    return same ? 0 : (errno = ESTALE, -1);
}

int targetOpenDirect(OutputTarget& t) {
    if (t.descriptor >= 0) {
        // Written through a duplicate, as the caller's redirection made it: at its offset, with
        // its append flag; the caller's own descriptor is never closed or changed.
        t.fd = fcntl(t.descriptor, F_DUPFD_CLOEXEC, 3);
        return t.fd >= 0 ? 0 : -1;
    }
    // Devices and FIFOs are written as any program writes them, but opened without waiting
    // first: a FIFO with no reader yet answers ENXIO, and only a FIFO that was looked at is then
    // waited for. What is opened must still have the inode, type and owner looked at: a regular
    // file put in its place meanwhile is not written over, nor another user's FIFO (a FIFO made
    // again by the same user may get the same inode, and the rules answer the same for it).
    constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    t.fd = openat(t.dirFd, t.name.c_str(), kFlags | O_NONBLOCK);
    if (t.fd < 0 && errno == ENXIO && S_ISFIFO(t.existing.st_mode)) t.fd = openat(t.dirFd, t.name.c_str(), kFlags);
    struct stat st {};
    if (t.fd < 0 || fstat(t.fd, &st) != 0) return -1;
    if (!stillSame(st, t.existing)) return errno = ESTALE, -1;
    const int flags = fcntl(t.fd, F_GETFL);
    return flags >= 0 && fcntl(t.fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? 0 : -1;
}
