// Linux: unnamed files (O_TMPFILE, linked in through /proc/self/fd), append-only directories
// and direct-I/O alignment from statx, the kernel's link protection setting, fallocate on
// file systems that overwrite in place, and extended attributes.
#include "sys/fs_features.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The name through which an open descriptor can be reached.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// File systems that write every change to new blocks, so that space reserved for a file does
// not make its overwrite safe from running out of room: btrfs, ZFS, bcachefs.
constexpr unsigned long kCopyOnWrite[] = {0x9123683EUL, 0x2FC12FC1UL, 0xCA451A4EUL};

constexpr const char* kAccessAcl = "system.posix_acl_access";

// The file whose extended attributes are read: an open descriptor where it can be opened for
// reading, else its path through its directory's descriptor.
struct AttributeSource {
    int fd = -1;
    std::string path;
    ssize_t list(char* names, std::size_t size) const {
        return fd >= 0 ? flistxattr(fd, names, size) : llistxattr(path.c_str(), names, size);
    }
    ssize_t get(const char* key, void* value, std::size_t size) const {
        return fd >= 0 ? fgetxattr(fd, key, value, size) : lgetxattr(path.c_str(), key, value, size);
    }
};

// The names of the file's extended attributes; false when they cannot be listed.
bool listAttributes(const AttributeSource& from, std::vector<char>& names) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = from.list(nullptr, 0);
        if (size < 0) return errno == ENOTSUP;  // a file system without them has none to keep
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = from.list(names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

// Copies the attributes of `from` onto `toFd`; see fsCopyExtendedAttributes.
int copyAttributes(const AttributeSource& from, int toFd) {
    std::vector<char> names;
    if (!listAttributes(from, names)) return -1;
    bool hasAcl = false;
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size();) {
        const std::string key(names.data() + at);
        at += key.size() + 1;
        hasAcl = hasAcl || key == kAccessAcl;
        const ssize_t size = from.get(key.c_str(), nullptr, 0);
        value.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        const ssize_t got = size < 0 ? -1 : from.get(key.c_str(), value.data(), value.size());
        const bool copied =
            got >= 0 && fsetxattr(toFd, key.c_str(), value.data(), static_cast<std::size_t>(got), 0) == 0;
        if (!copied && !key.starts_with("security.")) return -1;
    }
    // An access list the new file took from its directory's default, which the old file did not
    // have, goes.
    if (!hasAcl && fremovexattr(toFd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) return -1;
    return 0;
}

}  // namespace

int fsCreateUnnamed(int dirFd, mode_t mode, bool& unsupported) {
    unsupported = false;
    // Without /proc the file could never be given its name.
    if (access("/proc/self/fd", X_OK) != 0) {
        unsupported = true;
        return -1;
    }
    const int fd = openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    // A file system without unnamed files says so in one of these ways; anything else (no
    // permission, no space) would stop a named file as well.
    unsupported = fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    return fd;
}

int fsLinkUnnamed(int fd, int dirFd, const char* name) {
    return linkat(AT_FDCWD, procPath(fd).c_str(), dirFd, name, AT_SYMLINK_FOLLOW);
}

bool fsDirectoryOnlyGrows(int dirFd) {
    struct statx sx {};
    return statx(dirFd, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_APPEND) &&
           (sx.stx_attributes & STATX_ATTR_APPEND);
}

bool fsLinksProtected() {
    // Where the setting cannot be read, the kernel is taken to protect, as it does by default.
    std::FILE* f = std::fopen("/proc/sys/fs/protected_symlinks", "r");
    if (f == nullptr) return true;
    int value = 1;
    const bool read = std::fscanf(f, "%d", &value) == 1;
    std::fclose(f);
    return !read || value != 0;
}

int fsReserve(int fd, std::uint64_t size) {
    struct statfs fs {};
    if (fstatfs(fd, &fs) != 0) return -1;
    for (const unsigned long type : kCopyOnWrite) {
        if (static_cast<unsigned long>(fs.f_type) == type) {
            errno = EOPNOTSUPP;
            return -1;
        }
    }
    return size == 0 ? 0 : fallocate(fd, 0, 0, static_cast<off_t>(size));
}

// Locks that belong to the open file description, which no other descriptor's close can drop.
int fsLockCommand(bool wait) { return wait ? F_OFD_SETLKW : F_OFD_SETLK; }

int fsCopyExtendedAttributes(int dirFd, const char* name, int toFd) {
    AttributeSource from;
    from.fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    // A file that may not be read is reached through its directory, however deep the path.
    if (from.fd < 0) from.path = procPath(dirFd) + "/" + name;
    const int result = copyAttributes(from, toFd);
    if (from.fd >= 0) close(from.fd);
    return result;
}

std::size_t fsDirectAlignment(int fd) {
#ifdef STATX_DIOALIGN
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0 || !(sx.stx_mask & STATX_DIOALIGN) ||
        sx.stx_dio_mem_align == 0 || sx.stx_dio_offset_align == 0) {
        return 0;
    }
    return sx.stx_dio_mem_align > sx.stx_dio_offset_align ? sx.stx_dio_mem_align : sx.stx_dio_offset_align;
#else
    (void)fd;
    return 0;
#endif
}

int fsSetDirect(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT);
}
