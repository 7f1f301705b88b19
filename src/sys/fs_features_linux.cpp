// Linux: unnamed files (O_TMPFILE, linked in by descriptor), file attributes and direct-I/O
// alignment from statx, CAP_FOWNER and user namespaces' id maps, the kernel's protection of
// links and FIFOs in sticky directories, extended attributes.
#include "sys/fs_features.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/fsuid.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The name through which an open descriptor can be reached.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool hasAttribute(int fd, std::uint64_t attribute) {
    struct statx sx {};
    return statx(fd, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & attribute) &&
           (sx.stx_attributes & attribute);
}

constexpr const char* kAccessAcl = "system.posix_acl_access";

// Whether an access control list as the system gives it (a 32-bit version, then entries of a
// 16-bit tag, 16-bit permissions and a 32-bit id, little-endian) names a user or a group by an
// id without a mapping in this user namespace: it gives such an id as -1, and refuses to set
// a list that holds one.
bool namesUnmapped(std::string_view acl) {
    constexpr unsigned kUser = 0x02, kGroup = 0x08;
    const auto byte = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<unsigned char>(acl[at])); };
    for (std::size_t at = 4; at + 8 <= acl.size(); at += 8) {
        const std::uint32_t tag = byte(at) | byte(at + 1) << 8;
        const std::uint32_t id = byte(at + 4) | byte(at + 5) << 8 | byte(at + 6) << 16 | byte(at + 7) << 24;
        if ((tag == kUser || tag == kGroup) && id == 0xFFFFFFFFu) return true;
    }
    return false;
}

// The user the kernel checks file access for: the file-system user id, which setfsuid answers
// with when given an id it refuses.
uid_t caller() { return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))); }

// The number in the file `path`, or `fallback` where it cannot be read.
long long readNumber(const std::string& path, long long fallback) {
    std::FILE* f = std::fopen(path.c_str(), "re");
    long long value = fallback;
    if (f != nullptr && std::fscanf(f, "%lld", &value) != 1) value = fallback;
    if (f != nullptr) std::fclose(f);
    return value;
}

// Whether `id` stands for someone in this process's user namespace. Its map `map`
// (/proc/self/uid_map or gid_map: "first-inside first-outside count" a line) says which ids
// have a mapping; every id without one shows as the overflow id `overflow` (65534 unless the
// system says otherwise), which may also be a mapped id of the namespace. Only a map of every
// id (the initial namespace's) tells the two apart; elsewhere, and where the map cannot be read
// (/proc hidden), the overflow id is taken as having none. That refuses, where a rule asks
// whose a file or directory is, one of the user or group nobody in such places, a run that can
// be made elsewhere; and it keeps another user's file, link or FIFO from passing for the
// caller's or the directory owner's.
bool mapped(const char* map, const char* overflow, unsigned long long id) {
    std::FILE* f = std::fopen(map, "re");
    unsigned long long first = 0, outside = 0, count = 0;
    bool found = false, everyId = false;
    while (f != nullptr && !found && std::fscanf(f, "%llu %llu %llu", &first, &outside, &count) == 3) {
        found = id >= first && id - first < count;
        everyId = first == 0 && count == 0xFFFFFFFFull;
    }
    if (f != nullptr) std::fclose(f);
    if (everyId) return true;
    return (found || f == nullptr) && id != static_cast<unsigned long long>(readNumber(overflow, 65534));
}

// Whether the owner id `owner` is the user `who`; an id without a mapping is nobody.
bool isUser(uid_t owner, uid_t who) { return owner == who && fsUserMapped(owner); }

// The kernel's protection setting /proc/sys/fs/`name` (protected_symlinks, protected_fifos).
// Where it cannot be read (/proc hidden; protected_fifos before Linux 4.19), it is taken as 1,
// as Debian sets both, although the kernel's own default is 0: a run refused where the system
// would have let it through can be made elsewhere, while a recording written to another user's
// FIFO, or through another user's link, cannot be taken back.
long long protection(const char* name) { return readNumber("/proc/sys/fs/" + std::string(name), 1); }

// Writes go out in pieces of at most this many bytes.
constexpr std::size_t kWritePiece = std::size_t{64} << 20;
// Writes past the cache are only worth their setting up for at least this many aligned bytes.
constexpr std::size_t kDirectMinimum = std::size_t{512} << 10;

// The alignment that writes past the cache need in memory and in the file, or 0 where the file
// system does not take them or does not say.
std::size_t directAlignment(int fd) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0 || !(sx.stx_mask & STATX_DIOALIGN)) return 0;
    return std::max(sx.stx_dio_mem_align, sx.stx_dio_offset_align);
}

int setDirect(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT);
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

// Writes the aligned middle of a large write past the cache where the file takes such writes.
// A file that does not refuses the first write, before a byte is written, and gets the usual
// way instead.
bool writeDirect(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    if (setDirect(fd, true) != 0) return writeAllAt(fd, data, size, offset);
    const std::size_t done = writeAt(fd, data, size, offset);
    const bool refused = done == 0 && errno == EINVAL;
    const bool reset = setDirect(fd, false) == 0;
    if (refused) return reset && writeAllAt(fd, data, size, offset);
    return done == size && reset;
}

}  // namespace

bool fsUserMapped(uid_t id) { return mapped("/proc/self/uid_map", "/proc/sys/kernel/overflowuid", id); }

bool fsGroupMapped(gid_t id) { return mapped("/proc/self/gid_map", "/proc/sys/kernel/overflowgid", id); }

// By descriptor, which kernels since 6.10 allow for a file the process opened itself, else
// through /proc.
int fsLinkUnnamed(int fd, int dirFd, const char* name) {
    if (linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return -1;
    return linkat(AT_FDCWD, procPath(fd).c_str(), dirFd, name, AT_SYMLINK_FOLLOW);
}

int fsCreateUnnamed(int dirFd, mode_t mode) {
    const int fd = openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0) {
        // A kernel or file system without unnamed files says so in one of these ways; anything
        // else (no permission, no room) would stop a named file as well.
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) errno = ENOTSUP;
        return -1;
    }
    // Whether it can be linked in later: linking it onto a name that exists answers EEXIST
    // where linking is allowed, and changes nothing either way.
    if (fsLinkUnnamed(fd, dirFd, ".") != 0 && errno == EEXIST) return fd;
    close(fd);
    errno = ENOTSUP;
    return -1;
}

bool fsIsPinned(int fd) { return hasAttribute(fd, STATX_ATTR_IMMUTABLE) || hasAttribute(fd, STATX_ATTR_APPEND); }

bool fsIsMountRoot(int fd) { return hasAttribute(fd, STATX_ATTR_MOUNT_ROOT); }

bool fsIsProcessTable(int dirFd) {
    struct statfs fs {};
    return fstatfs(dirFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

bool fsMayReplaceInSticky(const struct stat& file, const struct stat& dir) {
    const uid_t me = caller();
    if (isUser(file.st_uid, me) || isUser(dir.st_uid, me)) return true;
    // CAP_FOWNER overrides the rule only for a file whose owner and group both have a mapping.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return syscall(SYS_capget, &header, data) == 0 && (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) &&
           fsUserMapped(file.st_uid) && fsGroupMapped(file.st_gid);
}

bool fsMayFollow(int dirFd, const struct stat& link) {
    struct stat dir {};
    if (fstat(dirFd, &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || isUser(link.st_uid, caller()) || isUser(link.st_uid, dir.st_uid) ||
           protection("protected_symlinks") == 0;
}

bool fsMayWriteFifo(int dirFd, const struct stat& fifo) {
    struct stat dir {};
    if (fstat(dirFd, &dir) != 0) return false;
    if (!(dir.st_mode & S_ISVTX) || isUser(fifo.st_uid, caller()) || isUser(fifo.st_uid, dir.st_uid)) return true;
    const long long setting = protection("protected_fifos");
    return setting == 0 || !((dir.st_mode & S_IWOTH) || (setting >= 2 && (dir.st_mode & S_IWGRP)));
}

int fsReadExtendedAttributes(int fd, ExtendedAttributes& read) {
    // A file opened only to be reached (O_PATH: one that may not be read) is read through /proc.
    // Linux keeps no list of names, and no value, of more than 64 KiB.
    const std::string path = (fcntl(fd, F_GETFL) & O_PATH) != 0 ? procPath(fd) : "";
    std::vector<char> names(XATTR_LIST_MAX);
    const ssize_t listed = path.empty() ? flistxattr(fd, names.data(), names.size())
                                        : listxattr(path.c_str(), names.data(), names.size());
    read.clear();
    if (listed < 0) return errno == ENOTSUP ? 0 : -1;  // a file system without them has none to keep
    std::vector<char> value(XATTR_SIZE_MAX);
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        std::string key(names.data() + at);
        at += key.size() + 1;
        const ssize_t got = path.empty() ? fgetxattr(fd, key.c_str(), value.data(), value.size())
                                         : getxattr(path.c_str(), key.c_str(), value.data(), value.size());
        if (got < 0 && !key.starts_with("security.")) return -1;
        if (got < 0) continue;
        const std::string_view bytes{value.data(), static_cast<std::size_t>(got)};
        // An access list that names someone without a mapping could not be given to the new file.
        if (key == kAccessAcl && namesUnmapped(bytes)) {
            errno = EINVAL;
            return -1;
        }
        read.emplace_back(std::move(key), bytes);
    }
    return 0;
}

int fsWriteExtendedAttributes(const ExtendedAttributes& attributes, int toFd) {
    bool hasAcl = false;
    for (const auto& [key, value] : attributes) {
        hasAcl = hasAcl || key == kAccessAcl;
        if (fsetxattr(toFd, key.c_str(), value.data(), value.size(), 0) != 0 && !key.starts_with("security.")) return -1;
    }
    // An access list the new file took from its directory's default, which the old file did not
    // have, goes: no one may read the new file who could not read the old.
    if (!hasAcl && fremovexattr(toFd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) return -1;
    return 0;
}

int fsWritePastCache(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    // The file's whole blocks from `middle` to `tail` go past the cache, where the samples'
    // memory lines up with them as sample_memory.h lays it out; the ends go the usual way.
    const std::size_t align = directAlignment(fd);
    const auto block = static_cast<off_t>(align > 0 ? align : 1);
    const off_t end = offset + static_cast<off_t>(size);
    const off_t middle = (offset + block - 1) / block * block;
    const off_t tail = end / block * block;
    if (align == 0 || tail - middle < static_cast<off_t>(kDirectMinimum) ||
        reinterpret_cast<std::uintptr_t>(data + (middle - offset)) % align != 0) {
        errno = ENOTSUP;
        return -1;
    }
    const bool ok = writeAllAt(fd, data, static_cast<std::size_t>(middle - offset), offset) &&
                    writeDirect(fd, data + (middle - offset), static_cast<std::size_t>(tail - middle), middle) &&
                    writeAllAt(fd, data + (tail - offset), static_cast<std::size_t>(end - tail), tail);
    return ok ? 0 : -1;
}
