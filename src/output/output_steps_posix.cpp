// The output's steps on every POSIX system once its name is resolved (output_resolve_posix.cpp):
// the temporary file made, written, given the old file's attributes and named, all relative to
// a descriptor of the output's directory (openat, renameat, linkat), so that no full path is
// ever built. What only some systems offer comes from the headers below, and the kernel's rules
// from kernel_rules.h.
#include <cerrno>
#include <ctime>
#include <string>

#include "output/direct_write.h"
#include "output/file_status.h"
#include "output/kernel_rules.h"
#include "output/output_target_posix.h"
#include "output/unnamed_file.h"

namespace {

// A fresh name for a temporary file, hidden and recognisable; whether it is taken in the
// directory only the attempt to make it there tells.
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

int targetCheckReplaceable(OutputTarget& t) {
    struct stat dir {};
    if (faccessat(t.dirFd, t.name.c_str(), W_OK, AT_EACCESS) != 0 || fstat(t.dirFd, &dir) != 0) return -1;
    // Nothing replaces a file in a sticky directory but those the system lets, nor a file that
    // is pinned, in a directory that is, or mounted over a name.
    if ((ruleAsksTheSystem(dir) && !ruleMayReplaceInSticky(kernelView(), t.existing, dir)) || fsIsPinned(t.existingFd) ||
        fsIsPinned(t.dirFd) || fsIsMountRoot(t.existingFd)) {
        errno = EPERM;
        return -1;
    }
    // The attributes the new file is to keep: one that cannot be read refuses the run now,
    // before anything is written.
    return fsReadExtendedAttributes(t.existingFd, t.attributes);
}
int targetCreateUnnamed(OutputTarget& t) { return (t.fd = fsCreateUnnamed(t.dirFd, temporaryMode(t))) >= 0 ? 0 : -1; }

bool targetNotSupported() { return errno == ENOTSUP || errno == EOPNOTSUPP; }

bool targetDirectoryOnlyGrows(OutputTarget& t) { return fsIsPinned(t.dirFd); }

int targetCreateNamed(OutputTarget& t) { return nameTemporary(t, temporaryMode(t)); }

bool targetTemporaryNamed(const OutputTarget& t) { return !t.tempName.empty(); }

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
    const uid_t owner = ruleUserIsSomeone(kernelView(), old.st_uid) ? old.st_uid : static_cast<uid_t>(-1);
    const gid_t group = ruleGroupIsSomeone(kernelView(), old.st_gid) ? old.st_gid : static_cast<gid_t>(-1);
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

Naming targetTakeName(OutputTarget& t) {
    if (t.tempName.empty()) {
        if (!t.replacing() && fsLinkUnnamed(t.fd, t.dirFd, t.name.c_str()) == 0) return Naming::kNamed;
        // Another run made the file meanwhile: the last complete file stands.
        if (!t.replacing() && errno != EEXIST) return Naming::kRefused;
        // A temporary name is never given where it could not be taken back.
        if (fsIsPinned(t.dirFd) || nameTemporary(t, 0) != 0) return Naming::kRefused;
    }
    if (renameat(t.dirFd, t.tempName.c_str(), t.dirFd, t.name.c_str()) != 0) return Naming::kRefused;
    t.tempName.clear();
    return Naming::kNamed;
}

int targetSyncDirectory(OutputTarget& t) { return t.syncFd < 0 ? 0 : fsync(t.syncFd); }

void targetRemoveTemporary(OutputTarget& t) {
    targetRemoveTemporaryNow(t);
    t.tempName.clear();
}

void targetRemoveTemporaryNow(OutputTarget& t) noexcept {
    if (!t.tempName.empty()) unlinkat(t.dirFd, t.tempName.c_str(), 0);
}
