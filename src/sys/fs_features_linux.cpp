// Linux: unnamed files (O_TMPFILE, linked in by descriptor), file attributes and direct-I/O
// alignment from statx, CAP_FOWNER, the kernel's link protection setting, extended attributes.
#include "sys/fs_features.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
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

bool fsMayOverrideSticky() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    return syscall(SYS_capget, &header, data) == 0 && (data[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32)));
}

bool fsMayFollow(int dirFd, const struct stat& link) {
    // Where the setting cannot be read, the kernel is taken to protect, as it does by default.
    std::FILE* f = std::fopen("/proc/sys/fs/protected_symlinks", "r");
    int protect = 1;
    if (f != nullptr && std::fscanf(f, "%d", &protect) != 1) protect = 1;
    if (f != nullptr) std::fclose(f);
    struct stat dir {};
    if (fstat(dirFd, &dir) != 0) return false;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return protect == 0 || !shared || link.st_uid == geteuid() || link.st_uid == dir.st_uid;
}

int fsCopyExtendedAttributes(int fromFd, int toFd) {
    // A file opened only to be reached (O_PATH: one that may not be read) is read through /proc.
    // Linux keeps no list of names, and no value, of more than 64 KiB.
    const std::string path = (fcntl(fromFd, F_GETFL) & O_PATH) != 0 ? procPath(fromFd) : "";
    std::vector<char> names(XATTR_LIST_MAX);
    const ssize_t listed = path.empty() ? flistxattr(fromFd, names.data(), names.size())
                                        : listxattr(path.c_str(), names.data(), names.size());
    if (listed < 0 && errno != ENOTSUP) return -1;  // a file system without them has none to keep
    names.resize(listed < 0 ? 0 : static_cast<std::size_t>(listed));
    bool hasAcl = false;
    std::vector<char> value(XATTR_SIZE_MAX);
    for (std::size_t at = 0; at < names.size();) {
        const std::string key(names.data() + at);
        at += key.size() + 1;
        hasAcl = hasAcl || key == kAccessAcl;
        const ssize_t got = path.empty() ? fgetxattr(fromFd, key.c_str(), value.data(), value.size())
                                         : getxattr(path.c_str(), key.c_str(), value.data(), value.size());
        const bool copied =
            got >= 0 && fsetxattr(toFd, key.c_str(), value.data(), static_cast<std::size_t>(got), 0) == 0;
        if (!copied && !key.starts_with("security.")) return -1;
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
