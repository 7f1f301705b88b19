// The output's steps on every POSIX system, relative to a descriptor of the output's directory
// (openat, renameat, linkat), so that any path the system accepts works however deep, and no
// full path is ever built. What only some systems offer comes from fs_features.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "sys/fs_features.h"
#include "sys/output_platform.h"

#if defined(O_SEARCH)
constexpr int kDirectoryHandle = O_SEARCH;  // a directory to work in, which need not be readable
#elif defined(O_PATH)
constexpr int kDirectoryHandle = O_PATH;
#else
constexpr int kDirectoryHandle = O_RDONLY;
#endif

struct OutputTarget {
    int dirFd = -1;           // the directory of the file the output name stands for, links followed
    std::string name;         // that file's name in it
    int descriptor = -1;      // for a name of one of the process's descriptors: its number
    struct stat existing {};  // what stands under the name, as looked at
    int existingFd = -1;      // a regular file there, opened to read its attributes
    ExtendedAttributes attributes;  // its extended attributes, read before anything is written
    int syncFd = -1;          // the directory opened for reading, to make names durable
    int fd = -1;              // the file being written: temporary, or the name's own
    bool unnamed = false;     // fd is an unnamed file
    std::string tempName;     // the name of the temporary file, while it has one

    bool replacing() const { return existingFd >= 0; }

    ~OutputTarget() {
        for (const int d : {dirFd, existingFd, syncFd, fd}) {
            if (d >= 0) close(d);
        }
    }
};

void OutputTargetDelete::operator()(OutputTarget* target) const noexcept { delete target; }

namespace {

// Splits a path into a descriptor of its directory and the last name in it. Fails on a path
// that names no file in a directory ("", "dir/").
int openParent(int base, const std::string& path, int& dirFd, std::string& name) {
    const auto slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return -1;
    }
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    dirFd = openat(base, dir.c_str(), kDirectoryHandle | O_DIRECTORY | O_CLOEXEC);
    return dirFd >= 0 ? 0 : -1;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether a file opened has the inode, type and owner of the one looked at before: an inode
// freed meanwhile may be given to the next file made at once, so the inode alone does not tell.
bool stillSame(const struct stat& opened, const struct stat& seen) {
    return sameFile(opened, seen) && ((opened.st_mode ^ seen.st_mode) & S_IFMT) == 0 && opened.st_uid == seen.st_uid;
}

// For a name of descriptor N in a directory of descriptors (/proc/self/fd, where /dev/fd and
// /dev/stdout lead, or any other): N where it is the process's own; -2 with EACCES where it is
// another process's; -1 for any other name.
int descriptorNamed(int dirFd, const std::string& name) {
    const bool number = !name.empty() && name.size() < 10 && name.find_first_not_of("0123456789") == std::string::npos &&
                        (name[0] != '0' || name == "0");
    if (!number || !fsIsProcessTable(dirFd)) return -1;
    const int fd = std::stoi(name);
    struct stat link {};
    struct stat own {};
    if (fstatat(dirFd, name.c_str(), &link, 0) == 0 && fstat(fd, &own) == 0 && sameFile(link, own)) return fd;
    errno = EACCES;
    return -2;
}

// Follows the symbolic links that the target's name stands for, one directory at a time, so
// that the file can be reached however deep it is, to the end or a descriptor's name. An error
// on the way fails: nothing is made in place of a link that could not be read.
int followLinks(OutputTarget& t, struct stat& st, bool& found) {
    for (int hops = 0; hops < 40; ++hops) {
        if ((t.descriptor = descriptorNamed(t.dirFd, t.name)) != -1) return t.descriptor >= 0 ? 0 : -1;
        found = fstatat(t.dirFd, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!found) return errno == ENOENT ? 0 : -1;
        if (!S_ISLNK(st.st_mode)) return 0;
        if (!fsMayFollow(t.dirFd, st)) {
            errno = EACCES;
            return -1;
        }
        std::vector<char> link(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = readlinkat(t.dirFd, t.name.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return -1;
        int next = -1;
        std::string nextName;
        if (openParent(t.dirFd, std::string(link.data(), static_cast<std::size_t>(n)), next, nextName) != 0) {
            return -1;
        }
        close(t.dirFd);
        t.dirFd = next;
        t.name = std::move(nextName);
    }
    errno = ELOOP;
    return -1;
}

// Opens the regular file found as `seen` without waiting, whatever took its place since (a
// FIFO would block an ordinary open), and makes sure it is that file.
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

// A name for a temporary file that is not taken yet in the directory, hidden and recognisable.
std::string temporaryName() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::uint64_t seed = (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(time(nullptr));
    std::string name = ".velto-";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        name.push_back(kLetters[(seed >> 33) % 62]);
    }
    return name;
}

// Gives the target's temporary file a fresh name: creates it (fd < 0) or links the unnamed
// file in under one.
int nameTemporary(OutputTarget& t, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryName();
        const int made = t.fd >= 0 ? fsLinkUnnamed(t.fd, t.dirFd, name.c_str())
                                   : openat(t.dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (made >= 0) {
            if (t.fd < 0) t.fd = made;
            t.tempName = std::move(name);
            return 0;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// A temporary file is the user's alone until it has the attributes of the file it replaces; a
// new file gets what the umask leaves.
mode_t temporaryMode(const OutputTarget& t) { return t.replacing() ? 0600 : 0666; }

bool unimplemented(int cause) { return cause == ENOSYS || cause == EOPNOTSUPP || cause == ENOTSUP; }

}  // namespace

int targetResolve(const char* path, OutputTargetPtr& target, TargetKind& kind) {
    target.reset(new OutputTarget);
    OutputTarget& t = *target;
    struct stat st {};
    bool found = false;
    if (openParent(AT_FDCWD, path, t.dirFd, t.name) != 0 || followLinks(t, st, found) != 0) return -1;
    if (found && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (t.descriptor >= 0 || (found && !S_ISREG(st.st_mode))) {
        // Another user's FIFO in a shared sticky directory would hand the output to its reader.
        if (found && S_ISFIFO(st.st_mode) && !fsMayWriteFifo(t.dirFd, st)) {
            errno = EACCES;
            return -1;
        }
        kind = t.descriptor >= 0 ? TargetKind::kDescriptor : TargetKind::kDirect;
        t.existing = st;
        return 0;
    }
    kind = found ? TargetKind::kRegular : TargetKind::kNew;
    if (found && openExisting(t, st) != 0) return -1;
    // A directory that may be written but not read cannot be synced; the run goes on without.
    t.syncFd = openat(t.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return t.syncFd >= 0 || errno == EACCES ? 0 : -1;
}

int targetCheckReplaceable(OutputTarget& t) {
    struct stat dir {};
    if (faccessat(t.dirFd, t.name.c_str(), W_OK, AT_EACCESS) != 0 || fstat(t.dirFd, &dir) != 0) return -1;
    // Nothing replaces a file in a sticky directory but those the system lets, nor a file that
    // is pinned, in a directory that is, or mounted over a name.
    if (((dir.st_mode & S_ISVTX) && !fsMayReplaceInSticky(t.existing, dir)) || fsIsPinned(t.existingFd) ||
        fsIsPinned(t.dirFd) || fsIsMountRoot(t.existingFd)) {
        errno = EPERM;
        return -1;
    }
    // The attributes the new file is to keep: one that cannot be read refuses the run now,
    // before anything is written.
    return fsReadExtendedAttributes(t.existingFd, t.attributes);
}

int targetOpenDirect(OutputTarget& t) {
    if (t.descriptor >= 0) {
        // Written through a duplicate, as the caller's redirection made it: at its offset, with
        // its append flag; the caller's own descriptor is never closed or changed.
        const int flags = fcntl(t.descriptor, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
            errno = EBADF;
            return -1;
        }
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

int targetCreateUnnamed(OutputTarget& t) {
    t.unnamed = (t.fd = fsCreateUnnamed(t.dirFd, temporaryMode(t))) >= 0;
    return t.unnamed ? 0 : -1;
}

bool targetNotSupported() { return errno == ENOTSUP || errno == EOPNOTSUPP; }

bool targetDirectoryOnlyGrows(OutputTarget& t) { return fsIsPinned(t.dirFd); }

int targetCreateNamed(OutputTarget& t) { return nameTemporary(t, temporaryMode(t)); }

std::FILE* targetStream(OutputTarget& t) {
    const int own = fcntl(t.fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) return nullptr;
    std::FILE* stream = fdopen(own, "wb");
    if (stream == nullptr) close(own);
    return stream;
}

int targetWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    const off_t start = ftello(stream);
    if (start >= 0 && fsWritePastCache(fileno(stream), data, size, start) == 0) {
        return fseeko(stream, start + static_cast<off_t>(size), SEEK_SET);
    }
    if (start >= 0 && errno != ENOTSUP) return -1;
    return std::fwrite(data, size, 1, stream) == 1 ? 0 : -1;
}

int targetKeepAttributes(OutputTarget& t) {
    if (!t.replacing()) return 0;
    // Owner and group first, since a change of either clears setuid and setgid: both are kept
    // by root, the group by a member of it; where the user may not, or the id has no mapping in
    // this user namespace (EINVAL, or an id that stands for nobody), the file is the user's, as
    // any new file. Any other failure fails the run.
    const struct stat& old = t.existing;
    const uid_t owner = fsUserMapped(old.st_uid) ? old.st_uid : static_cast<uid_t>(-1);
    const gid_t group = fsGroupMapped(old.st_gid) ? old.st_gid : static_cast<gid_t>(-1);
    const auto refused = [] { return errno == EPERM || errno == EINVAL; };
    const bool kept = fchown(t.fd, owner, group) == 0 || (refused() && fchown(t.fd, static_cast<uid_t>(-1), group) == 0);
    if (!kept && !refused() && !unimplemented(errno)) return -1;
    struct stat now {};
    if (fsWriteExtendedAttributes(t.attributes, t.fd) != 0 || fstat(t.fd, &now) != 0) return -1;
    mode_t mode = old.st_mode & 07777;
    if (now.st_uid != old.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (now.st_gid != old.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    if (fchmod(t.fd, mode) == 0) return 0;
    // A file system that keeps no modes (FAT through FUSE) gives every file the same one.
    return unimplemented(errno) && (now.st_mode & 07777) == mode ? 0 : -1;
}

int targetSync(OutputTarget& t) {
    struct stat st {};
    if (fstat(t.fd, &st) != 0) return -1;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ? fsync(t.fd) : 0;
}

int targetTakeName(OutputTarget& t) {
    if (t.unnamed) {
        if (!t.replacing() && fsLinkUnnamed(t.fd, t.dirFd, t.name.c_str()) == 0) return 0;
        // Another run made the file meanwhile: the last complete file stands.
        if (!t.replacing() && errno != EEXIST) return -1;
        // A temporary name is never given where it could not be taken back.
        if (fsIsPinned(t.dirFd) || nameTemporary(t, 0) != 0) return -1;
    }
    if (renameat(t.dirFd, t.tempName.c_str(), t.dirFd, t.name.c_str()) != 0) return -1;
    t.tempName.clear();
    return 0;
}

int targetSyncDirectory(OutputTarget& t) { return t.syncFd < 0 ? 0 : fsync(t.syncFd); }

void targetRemoveTemporary(OutputTarget& t) {
    targetRemoveTemporaryNow(t);
    t.tempName.clear();
}

void targetRemoveTemporaryNow(OutputTarget& t) noexcept {
    if (!t.tempName.empty()) unlinkat(t.dirFd, t.tempName.c_str(), 0);
}
