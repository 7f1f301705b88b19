// The look at the output name on POSIX systems: its directory and name once symbolic links are
// followed as the system would, what stands there and what the rules need to know of it, and
// the file found there, opened where it is to be written directly. All relative to a descriptor
// of a directory, so that any path the system accepts works however deep.
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "output/file_status.h"
#include "output/kernel_rules.h"
#include "output/output_target_posix.h"
#include "output/unnamed_file.h"

#if defined(O_SEARCH)
constexpr int kDirectoryHandle = O_SEARCH;  // a directory to work in, which need not be readable
#elif defined(O_PATH)
constexpr int kDirectoryHandle = O_PATH;
#else
constexpr int kDirectoryHandle = O_RDONLY;
#endif

void OutputTargetDelete::operator()(OutputTarget* target) const noexcept { delete target; }

namespace {

// Moves the target to the directory of `path` and the last name in it, `path` taken from the
// target's directory (the working directory at first). Fails on a path that names no file in
// a directory ("", "dir/").
int openParent(OutputTarget& t, const std::string& path) {
    const auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return -1;
    }
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dirFd = openat(t.dirFd < 0 ? AT_FDCWD : t.dirFd, dir.c_str(), kDirectoryHandle | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return -1;
    if (t.dirFd >= 0) close(t.dirFd);
    t.dirFd = dirFd;
    t.name = std::move(name);
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

// For a name of descriptor N in a directory of descriptors (/proc/self/fd, where /dev/fd and
// /dev/stdout lead, or any other): N where it is the process's own; -2 where it is another
// process's; -1 for any other name.
int descriptorNamed(int dirFd, const std::string& name) {
    const bool number = !name.empty() && name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos &&
                        (name[0] != '0' || name == "0");
    if (!number || !fsIsProcessTable(dirFd)) return -1;
    const int fd = std::stoi(name);
    struct stat link {}, own {};
    return fstatat(dirFd, name.c_str(), &link, 0) == 0 && fstat(fd, &own) == 0 && sameFile(link, own) ? fd : -2;
}

// Follows the symbolic links that the target's name stands for, one directory at a time, so
// that the file can be reached however deep it is, as far as the system would: 40 links, and
// none that the link rule refuses. Fills in what stands at the end, with its lstat in `st`. An
// error on the way fails: nothing is made in place of a link that could not be read.
int followLinks(OutputTarget& t, OutputLook& look, struct stat& st) {
    for (int links = 0;; ++links) {
        if ((t.descriptor = descriptorNamed(t.dirFd, t.name)) != -1) {
            look.found = t.descriptor >= 0 ? Found::kOwnDescriptor : Found::kOthersDescriptor;
            look.mayWrite = t.descriptor >= 0 && (fcntl(t.descriptor, F_GETFL) & O_ACCMODE) != O_RDONLY;
            return 0;
        }
        if (fstatat(t.dirFd, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
        look.file = seen(st);
        if (!S_ISLNK(st.st_mode)) {
            look.found = S_ISREG(st.st_mode) ? Found::kRegular : S_ISDIR(st.st_mode) ? Found::kDirectory
                         : S_ISFIFO(st.st_mode) ? Found::kFifo : Found::kDevice;
            return 0;
        }
        struct stat dir {};
        if (fstat(t.dirFd, &dir) != 0) return -1;
        look.dir = seen(dir);
        if (dir.st_mode & S_ISVTX) look.view = kernelView();
        if (!ruleMayFollow(look.view, look.file, look.dir)) return look.linkRefused = true, 0;
        if (links == 40) {
            errno = ELOOP;
            return -1;
        }
        std::vector<char> link(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = readlinkat(t.dirFd, t.name.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return -1;
        if (openParent(t, std::string(link.data(), static_cast<std::size_t>(n))) != 0) return -1;
    }
}

// Opens the regular file found as `seen` without waiting, whatever took its place since (a
// FIFO would block an ordinary open), and checks that it is a regular file of the same device
// and inode.
int openExisting(OutputTarget& t, const struct stat& seen) {
    constexpr int kFlags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    t.existingFd = openat(t.dirFd, t.name.c_str(), O_RDONLY | kFlags);
#ifdef O_PATH
    // A file this user may write but not read is still reached, to read its attributes.
    if (t.existingFd < 0 && errno == EACCES) t.existingFd = openat(t.dirFd, t.name.c_str(), O_PATH | kFlags);
#endif
    if (t.existingFd < 0 || fstat(t.existingFd, &t.existing) != 0) return -1;
    if (!S_ISREG(t.existing.st_mode) || !sameFile(t.existing, seen)) {
        errno = ESTALE;
        return -1;
    }
    return 0;
}

}  // namespace

int targetLook(const char* path, OutputTargetPtr& target, OutputLook& look) {
    target.reset(new OutputTarget);
    OutputTarget& t = *target;
    struct stat st {};
    if (openParent(t, path) != 0 || followLinks(t, look, st) != 0) return -1;
    t.existing = st;
    const bool replacing = look.found == Found::kRegular;
    // The file to be replaced is opened at once, before anything can take its place.
    if (replacing && openExisting(t, st) != 0) return -1;
    struct stat dir {};
    if (look.found != Found::kNothing && fstat(t.dirFd, &dir) != 0) return -1;
    look.dir = seen(dir);
    // The system's settings and maps, read only where a rule asks whose a file is: in a sticky
    // folder (links have been asked about already), and for a file to be replaced.
    if (replacing || (look.found == Found::kFifo && (look.dir.mode & S_ISVTX) != 0)) look.view = kernelView();
    if (look.linkRefused || (look.found != Found::kNothing && !replacing)) return 0;
    if (replacing) {
        // Opened to be written as `>` opens it, and closed at once: what the system answers, a
        // program running from the file (ETXTBSY) included. An active swap file opens; only the
        // naming is refused there.
        const int writer = openat(t.dirFd, t.name.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        look.mayWrite = writer >= 0;
        if (writer >= 0) close(writer);
        look.pinned = fsIsPinned(t.existingFd) || fsIsMountRoot(t.existingFd);
        look.dirPinned = fsIsPinned(t.dirFd);
        look.attributesRead = fsReadExtendedAttributes(t.existingFd, t.attributes) == 0;
        for (const auto& [key, value] : t.attributes) {
            if (key == kAccessListAttribute) look.accessList = value;
        }
    }
    // A directory that may be written but not read cannot be synced; the run goes on without.
    t.syncFd = openat(t.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (t.syncFd < 0 && errno != EACCES) return -1;
    // A temporary file is the user's alone until it has the attributes of the file it replaces;
    // a new file gets what the umask leaves.
    t.mode = replacing ? 0600 : 0666;
    t.fd = fsCreateUnnamed(t.dirFd, t.mode);
    if (t.fd < 0 && errno != ENOTSUP) return -1;
    look.unnamed = t.fd >= 0;
    // Where the temporary file will need a name, whether the folder would let it go again.
    if (!look.unnamed && !replacing) look.dirPinned = fsIsPinned(t.dirFd);
    return 0;
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
    if (!stillSame(st, t.existing)) {
        errno = ESTALE;
        return -1;
    }
    const int flags = fcntl(t.fd, F_GETFL);
    return flags >= 0 && fcntl(t.fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? 0 : -1;
}
