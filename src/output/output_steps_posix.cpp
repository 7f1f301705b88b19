// The output's steps on every POSIX system once its name has been looked at
// (output_resolve_posix.cpp) and its way decided: the temporary file made, written, given the
// plan's attributes and named, all relative to a descriptor of the output's directory (openat,
// renameat, linkat), so that no full path is ever built. What only some systems offer comes
// from the headers below.
#include <cerrno>
#include <ctime>
#include <string>

#include "output/direct_write.h"
#include "output/file_status.h"
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

// Gives the file named `from` the name `to` where no file has that name: renamed without
// replacing, or where the file system cannot, linked under it and unlinked.
int renameNew(int dirFd, const char* from, const char* to) {
    if (fsRenameNoReplace(dirFd, from, to) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (linkat(dirFd, from, dirFd, to, 0) != 0) return -1;
    unlinkat(dirFd, from, 0);
    return 0;
}

bool unimplemented(int cause) { return cause == ENOSYS || cause == EOPNOTSUPP || cause == ENOTSUP; }

}  // namespace

// A temporary file is the user's alone until it has the attributes of the file it replaces; a
// new file gets what the umask, or the folder's default access list, leaves.
int targetCreateUnnamed(OutputTarget& t) {
    t.fd = fsCreateUnnamed(t.dirFd, t.replacing() ? 0600 : 0666);
    return t.fd >= 0 ? 0 : -1;
}

int targetCreateNamed(OutputTarget& t) {
    if (nameTemporary(t, t.replacing() ? 0600 : 0666) != 0) return -1;
    if (t.replacing()) return 0;
    // A new output can take its name only in a way that fails where another file has taken it:
    // the file is moved under a second fresh name that way, or it is refused now, before a byte
    // is written.
    const std::string next = temporaryName();
    if (renameNew(t.dirFd, t.tempName.c_str(), next.c_str()) == 0) return t.tempName = next, 0;
    const int cause = errno;
    targetRemoveTemporary(t);
    errno = cause;
    return -1;
}

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

int targetKeepAttributes(OutputTarget& t, const OutputPlan& plan) {
    if (!t.replacing()) return 0;
    // While the file is still the caller's own: the attributes and the access list, then the
    // bits. Then the owner and group, whose change clears setuid and setgid: where the plan
    // keeps them, they are set once more. Security labels last, which that change may clear too.
    // A call a file system does not implement may fail, so long as the file has what is planned.
    if (fsWriteExtendedAttributes(t.attributes, plan.accessList, t.fd) != 0) return -1;
    if (fchmod(t.fd, plan.mode) != 0 && !unimplemented(errno)) return -1;
    const bool changing = plan.owner != kNoId || plan.group != kNoId;
    if (changing && fchown(t.fd, plan.owner, plan.group) != 0 && !unimplemented(errno)) return -1;
    struct stat now {};
    const auto done = [&] {
        return fstat(t.fd, &now) == 0 && (now.st_mode & 07777) == plan.mode &&
               (plan.owner == kNoId || now.st_uid == plan.owner) && (plan.group == kNoId || now.st_gid == plan.group);
    };
    if (!done() && (fchmod(t.fd, plan.mode) != 0 || !done())) return errno = EPERM, -1;
    fsWriteSecurityLabels(t.attributes, t.fd);
    return 0;
}

int targetSync(OutputTarget& t) {
    // A temporary file (replacing a regular file, or nothing: mode 0) or a block device has a
    // disk; a descriptor leads to whatever it leads to.
    struct stat st = t.existing;
    if (t.descriptor >= 0 && fstat(t.fd, &st) != 0) return -1;
    return st.st_mode == 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ? fsync(t.fd) : 0;
}

int targetTakeName(OutputTarget& t) {
    if (!t.replacing()) {
        // A new name is taken only where no file has taken it meanwhile.
        if (t.tempName.empty()) return fsLinkUnnamed(t.fd, t.dirFd, t.name.c_str());
        if (renameNew(t.dirFd, t.tempName.c_str(), t.name.c_str()) != 0) return -1;
    } else {
        // An unnamed file goes in under a temporary name first, never where that name could not
        // be taken back.
        if (t.tempName.empty() && (fsIsPinned(t.dirFd) || nameTemporary(t, 0) != 0)) return -1;
        if (renameat(t.dirFd, t.tempName.c_str(), t.dirFd, t.name.c_str()) != 0) return -1;
    }
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
