// Linux: the attributes statx shows, and the type of a directory's file system.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstdint>

#include "output/file_status.h"

namespace {

// Whether the open file has any of `attributes`.
bool hasAttribute(int fd, std::uint64_t attributes) {
    struct statx sx {};
    return statx(fd, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & sx.stx_attributes & attributes) != 0;
}

}  // namespace

bool fsIsPinned(int fd) { return hasAttribute(fd, STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND); }

bool fsIsMountRoot(int fd) { return hasAttribute(fd, STATX_ATTR_MOUNT_ROOT); }

bool fsIsProcessTable(int dirFd) {
    struct statfs fs {};
    return fstatfs(dirFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}
