// The output's steps on POSIX systems. Everything is done relative to a descriptor of the
// output's directory (openat, renameat, linkat), so that any path the system accepts works,
// however deep, and no full path is ever built. What only some systems offer (unnamed files,
// append-only directories, link protection, reservations, extended attributes, writes past
// the cache) comes from fs_features.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "sys/file_lock.h"
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
    int originDir = -1;        // the directory the output name is in, as given
    std::string originName;    // the name in it, as given
    int dirFd = -1;            // the directory of the file the name stands for, links followed
    std::string name;          // that file's name in it
    bool replacing = false;    // a regular file stands there
    struct stat existing {};   // its status
    int syncFd = -1;           // the directory opened for reading, to make names durable
    int fd = -1;               // the file being written: temporary, new, or the name's own
    bool unnamed = false;      // fd is an unnamed file
    std::string tempName;      // the name of the temporary file, while it has one
    bool created = false;      // fd was created under the output name
    int existingFd = -1;       // the existing file, opened to be written over

    ~OutputTarget() {
        for (const int d : {originDir, dirFd, syncFd, fd, existingFd}) {
            if (d >= 0) close(d);
        }
    }
};

void OutputTargetDelete::operator()(OutputTarget* target) const noexcept { delete target; }

namespace {

// Writes go out in pieces of at most this many bytes.
constexpr std::size_t kWritePiece = std::size_t{64} << 20;
// Writes past the cache are only worth their setting up for at least this many aligned bytes.
constexpr std::size_t kDirectMinimum = std::size_t{512} << 10;

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

// Whether the system lets `link`, in the directory `dirFd`, be followed: not in a sticky
// world-writable directory unless the link is the follower's or the directory owner's.
bool mayFollow(int dirFd, const struct stat& link) {
    struct stat dir {};
    if (fstat(dirFd, &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || link.st_uid == geteuid() || link.st_uid == dir.st_uid;
}

// Follows the symbolic links that the target's name stands for, one directory at a time, so
// that the file can be reached however deep it is. An error on the way is a failure: nothing
// may be made in place of a link that could not be read.
int followLinks(OutputTarget& t) {
    const bool protect = fsLinksProtected();
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (fstatat(t.dirFd, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
        if (!S_ISLNK(st.st_mode)) return 0;
        if (protect && !mayFollow(t.dirFd, st)) {
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

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A name for a temporary file that is not taken yet in the directory, hidden and recognisable.
std::string temporaryName(int attempt) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t seed = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(getpid()) << 20) ^
                         (static_cast<std::uint64_t>(attempt) * 0x9E3779B97F4A7C15ull);
    std::string name = ".velto-";
    for (int i = 0; i < 6; ++i) {
        name.push_back(kLetters[seed % 62]);
        seed = seed / 62 + 0x2545F4914F6CDD1Dull * (seed & 0xFF);
    }
    return name;
}

// Gives the target's temporary file a fresh name: creates it (fd < 0) or links the unnamed
// file in under one. The caller holds the signals, so that an interrupt always knows the name.
int nameTemporary(OutputTarget& t, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryName(attempt);
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

bool isRegular(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Writes `size` bytes at `offset`, in pieces; returns how many were written before the first
// failure (errno tells which), all of them when none failed.
std::size_t writeAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, std::min(size - done, kWritePiece), offset + static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    return writeAt(fd, data, size, offset) == size;
}

// Writes the aligned middle of a large write past the cache. 1 when written, 0 when the file
// refuses such writes (nothing was written then), -1 on a failed write.
int writeDirect(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    if (fsSetDirect(fd, true) != 0) return 0;
    const std::size_t done = writeAt(fd, data, size, offset);
    // A refusal comes with the first write; a short or failed write later is a failure.
    const int result = done == size ? 1 : done == 0 && errno == EINVAL ? 0 : -1;
    fsSetDirect(fd, false);
    return result;
}

// Gives back the permission bits that writing cleared: the system drops setuid and setgid when
// a file is written by a process that may not set them. Only the owner can put them back.
int restoreMode(int fd, const struct stat& before) {
    struct stat now {};
    if (fstat(fd, &now) != 0) return -1;
    if ((now.st_mode & 07777) == (before.st_mode & 07777) || (geteuid() != 0 && geteuid() != now.st_uid)) return 0;
    return fchmod(fd, before.st_mode & 07777);
}

int gSignalsHeld = 0;
sigset_t gSignalsBefore;
const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
void (*gOnInterrupt)() noexcept = nullptr;

extern "C" void interrupted(int sig) {
    if (gOnInterrupt != nullptr) gOnInterrupt();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// What the system finds at the output name when it follows it itself, its link protection
// included: 1 for a file to replace or make, 0 for one to write as it is (a device, a FIFO, a
// pipe - also through /dev/stdout or /dev/fd/N, whose links name no file - or a deleted file
// still open, through /proc/self/fd/N), -1 for none that can be written.
int followedByTheSystem(const OutputTarget& t, struct stat& followed, bool& found) {
    found = fstatat(t.originDir, t.originName.c_str(), &followed, 0) == 0;
    if (!found) return errno == ENOENT ? 1 : -1;
    if (S_ISDIR(followed.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    return S_ISREG(followed.st_mode) && followed.st_nlink > 0 ? 1 : 0;
}

}  // namespace

int targetResolve(const char* path, OutputTargetPtr& target, TargetKind& kind) {
    target.reset(new OutputTarget);
    OutputTarget& t = *target;
    if (openParent(AT_FDCWD, path, t.originDir, t.originName) != 0) return -1;
    struct stat followed {};
    bool found = false;
    int what = followedByTheSystem(t, followed, found);
    kind = TargetKind::kOther;
    if (what <= 0) return what;
    t.dirFd = dup(t.originDir);
    t.name = t.originName;
    if (t.dirFd < 0 || followLinks(t) != 0) return -1;
    // The links' own texts must lead to the file the system found: where they do not (a
    // descriptor's link to a file since renamed), the name is written through, never made into
    // a new file of that name. Another run may have replaced the file in between, so the
    // system is asked once more before that.
    struct stat st {};
    for (int look = 0;; ++look) {
        const bool exists = fstatat(t.dirFd, t.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && errno != ENOENT) return -1;
        if (found ? exists && sameFile(st, followed) : !exists) {
            t.replacing = exists;
            t.existing = st;
            kind = exists ? TargetKind::kRegular : TargetKind::kNone;
            return 0;
        }
        if (look == 1) return found ? 0 : -1;
        if ((what = followedByTheSystem(t, followed, found)) <= 0) return what;
    }
}

int targetCheckWritable(OutputTarget& t) { return faccessat(t.dirFd, t.name.c_str(), W_OK, AT_EACCESS); }

int targetOpenDirect(OutputTarget& t) {
    t.fd = openat(t.originDir, t.originName.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    // A deleted file reached through a descriptor's link is rewritten from its first byte.
    if (t.fd >= 0 && isRegular(t.fd) && ftruncate(t.fd, 0) != 0) return -1;
    return t.fd >= 0 ? 0 : -1;
}

void targetOpenDirectory(OutputTarget& t) { t.syncFd = openat(t.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int targetCreateTemporary(OutputTarget& t) {
    // Until it takes over the attributes of the file it replaces, a temporary file is the user's
    // alone; a new file gets what the umask leaves.
    const mode_t mode = t.replacing ? 0600 : 0666;
    bool unsupported = false;
    t.fd = fsCreateUnnamed(t.dirFd, mode, unsupported);
    if (t.fd >= 0) {
        t.unnamed = true;
        return 0;
    }
    return unsupported ? nameTemporary(t, mode) : -1;
}

int targetCreateNew(OutputTarget& t) {
    t.fd = openat(t.dirFd, t.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    t.created = t.fd >= 0;
    return t.created ? 0 : -1;
}

int targetOpenExisting(OutputTarget& t) {
    t.existingFd = openat(t.dirFd, t.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (t.existingFd < 0) return -1;
    if (t.fd < 0) t.fd = dup(t.existingFd);  // a rewrite writes the file itself
    return t.fd >= 0 ? fileLockWait(t.existingFd, true) : -1;
}

int targetReserve(OutputTarget& t, std::uint64_t size) {
    // A file-size limit would stop the write part-way; it is known before a byte is written.
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && size > limit.rlim_cur) {
        errno = EFBIG;
        return -1;
    }
    if (fsReserve(t.existingFd, size) == 0) return 0;
    // The file keeps its length; whatever part of the space was taken is given back.
    const int cause = errno;
    [[maybe_unused]] const int restored = ftruncate(t.existingFd, t.existing.st_size);
    errno = cause;
    return -1;
}

std::FILE* targetStream(OutputTarget& t) {
    const int own = dup(t.fd);
    if (own < 0) return nullptr;
    std::FILE* stream = fdopen(own, "wb");
    if (stream == nullptr) close(own);
    return stream;
}

int targetTruncate(OutputTarget& t, std::uint64_t size) {
    return isRegular(t.fd) ? ftruncate(t.fd, static_cast<off_t>(size)) : 0;
}

int targetKeepAttributes(OutputTarget& t, bool rewritten) {
    if (rewritten) return restoreMode(t.fd, t.existing);
    // Owner and group first, since a change of either clears setuid and setgid: both are kept
    // by root, the group by a member of it; otherwise the file is the user's, as any new file.
    const struct stat& old = t.existing;
    if (fchown(t.fd, old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] const int group = fchown(t.fd, static_cast<uid_t>(-1), old.st_gid);
    }
    if (fsCopyExtendedAttributes(t.dirFd, t.name.c_str(), t.fd) != 0) return -1;
    struct stat now {};
    if (fstat(t.fd, &now) != 0) return -1;
    mode_t mode = old.st_mode & 07777;
    if (now.st_uid != old.st_uid) mode &= ~static_cast<mode_t>(S_ISUID);
    if (now.st_gid != old.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    return fchmod(t.fd, mode);
}

int targetSync(OutputTarget& t) {
    struct stat st {};
    if (fstat(t.fd, &st) != 0) return -1;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ? fsync(t.fd) : 0;
}

int targetTakeName(OutputTarget& t, bool replacing) {
    if (t.unnamed) {
        if (!replacing && fsLinkUnnamed(t.fd, t.dirFd, t.name.c_str()) == 0) return 0;
        // Another run made the file meanwhile: the last complete file stands.
        if (!replacing && errno != EEXIST) return -1;
        // A name given in a directory that only grows could never be taken back.
        if (fsDirectoryOnlyGrows(t.dirFd)) {
            errno = EPERM;
            return -1;
        }
        if (nameTemporary(t, 0) != 0) return -1;
    }
    if (renameat(t.dirFd, t.tempName.c_str(), t.dirFd, t.name.c_str()) == 0) {
        t.tempName.clear();
        return 0;
    }
    // The unnamed file loses the name it was given, and stays to be copied from.
    const int cause = errno;
    if (t.unnamed && unlinkat(t.dirFd, t.tempName.c_str(), 0) == 0) t.tempName.clear();
    errno = cause;
    return -1;
}

int targetCopyOver(OutputTarget& t, std::uint64_t size) {
    if (targetReserve(t, size) != 0) return -1;
    std::vector<char> piece(std::size_t{1} << 20);
    for (std::uint64_t done = 0; done < size;) {
        const ssize_t n = pread(t.fd, piece.data(), piece.size(), static_cast<off_t>(done));
        if (n <= 0 || pwrite(t.existingFd, piece.data(), static_cast<std::size_t>(n), static_cast<off_t>(done)) != n) {
            return -1;
        }
        done += static_cast<std::uint64_t>(n);
    }
    if (ftruncate(t.existingFd, static_cast<off_t>(size)) != 0 || restoreMode(t.existingFd, t.existing) != 0) return -1;
    return fsync(t.existingFd);
}

int targetSyncDirectory(OutputTarget& t) { return t.syncFd >= 0 ? fsync(t.syncFd) : 0; }

void targetRemoveTemporary(OutputTarget& t) {
    if (!t.tempName.empty()) unlinkat(t.dirFd, t.tempName.c_str(), 0);
    t.tempName.clear();
}

void targetRemoveCreated(OutputTarget& t) {
    // Only the file this run made: another run may have put its own under the name since.
    struct stat mine {};
    struct stat there {};
    if (t.created && fstat(t.fd, &mine) == 0 && fstatat(t.dirFd, t.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(mine, there)) {
        unlinkat(t.dirFd, t.name.c_str(), 0);
    }
    t.created = false;
}

void targetRemovePendingNow(OutputTarget& t, bool created) noexcept {
    if (created) {
        unlinkat(t.dirFd, t.name.c_str(), 0);
    } else if (!t.tempName.empty()) {
        unlinkat(t.dirFd, t.tempName.c_str(), 0);
    }
}

void targetHoldSignals() {
    sigset_t set;
    sigset_t before;
    sigemptyset(&set);
    for (const int sig : kInterrupts) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &before);
    if (gSignalsHeld++ == 0) gSignalsBefore = before;
}

void targetReleaseSignals() {
    if (gSignalsHeld > 0 && --gSignalsHeld == 0) sigprocmask(SIG_SETMASK, &gSignalsBefore, nullptr);
}

void targetCatchInterrupts(void (*handler)() noexcept) {
    gOnInterrupt = handler;
    for (const int sig : kInterrupts) {
        struct sigaction current {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = interrupted;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

int targetWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    const int fd = fileno(stream);
    const off_t start = ftello(stream);
    const std::size_t align = start >= 0 && isRegular(fd) ? fsDirectAlignment(fd) : 0;
    if (align == 0) return std::fwrite(data, size, 1, stream) == 1 ? 0 : -1;
    // The file's whole blocks from `middle` to `tail` go past the cache; the ends before and
    // after go the usual way.
    const auto block = static_cast<off_t>(align);
    const off_t end = start + static_cast<off_t>(size);
    const off_t middle = (start + block - 1) / block * block;
    const off_t tail = end / block * block;
    if (tail - middle < static_cast<off_t>(kDirectMinimum) ||
        reinterpret_cast<std::uintptr_t>(data + (middle - start)) % align != 0) {
        return std::fwrite(data, size, 1, stream) == 1 ? 0 : -1;
    }
    const std::uint8_t* bulk = data + (middle - start);
    bool ok = writeAllAt(fd, data, static_cast<std::size_t>(middle - start), start);
    const int direct = ok ? writeDirect(fd, bulk, static_cast<std::size_t>(tail - middle), middle) : -1;
    ok = direct == 1 || (direct == 0 && writeAllAt(fd, bulk, static_cast<std::size_t>(tail - middle), middle));
    ok = ok && writeAllAt(fd, data + (tail - start), static_cast<std::size_t>(end - tail), tail);
    return ok && fseeko(stream, end, SEEK_SET) == 0 ? 0 : -1;
}
