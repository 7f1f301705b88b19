// The output's steps on every POSIX system once its name has been looked at
// (output_resolve_posix.cpp) and its way decided: the temporary file made, written, given the
// old file's attributes and named, all relative to a descriptor of the output's directory
// (openat, renameat, linkat), so that no full path is ever built. What only some systems offer
// comes from the headers below.
#include <cerrno>
#include <ctime>
#include <string>

#include "output/direct_write.h"
#include "output/file_status.h"
#include "output/kernel_rules.h"
#include "output/output_decision.h"
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

bool unimplemented(int cause) { return cause == ENOSYS || cause == EOPNOTSUPP || cause == ENOTSUP; }

}  // namespace

int targetCreateNamed(OutputTarget& t) { return nameTemporary(t, t.mode); }

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
    // by root, the group by a member of it; where the user may not (EPERM), or an id has no
    // mapping in this user namespace (EINVAL, or shown as the overflow id), the file is the
    // user's, as any new file. A file system that keeps no owners fails the call as not
    // implemented; any other failure fails the run.
    const struct stat& old = t.existing;
    const uid_t owner = ruleUserIsSomeone(kernelView(), old.st_uid) ? old.st_uid : static_cast<uid_t>(-1);
    const gid_t group = ruleGroupIsSomeone(kernelView(), old.st_gid) ? old.st_gid : static_cast<gid_t>(-1);
    const auto refused = [] { return errno == EPERM || errno == EINVAL; };
    const bool given = fchown(t.fd, owner, group) == 0 || (refused() && fchown(t.fd, static_cast<uid_t>(-1), group) == 0);
    struct stat now {};
    if ((!given && !refused() && !unimplemented(errno)) || fstat(t.fd, &now) != 0) return -1;
    // Where the owner or the group was lost, the bits and the access list give no one more. An
    // id that stands for no one was not kept, whatever the new file shows.
    const bool ownerKept = owner != static_cast<uid_t>(-1) && now.st_uid == old.st_uid;
    const bool groupKept = group != static_cast<gid_t>(-1) && now.st_gid == old.st_gid;
    std::uint32_t mode = outputNarrowedMode(old.st_mode & 07777, ownerKept, groupKept);
    for (auto& [key, value] : t.attributes) {
        if (key == kAccessListAttribute && !outputNarrowAccessList(value, mode, ownerKept, groupKept, owner, now.st_gid)) {
            errno = EPERM;
            return -1;
        }
    }
    if (fsWriteExtendedAttributes(t.attributes, t.fd) != 0) return -1;
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
        // A new name that another run took meanwhile is replaced as a file is, so that the last
        // complete file stands; any other failure fails the naming, the name as it was.
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
