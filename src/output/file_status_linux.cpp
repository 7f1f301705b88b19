// Linux: the attributes statx shows, and the type of a directory's file system.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cstdint>

#include "output/file_status.h"

namespace {

bool hasAttribute(int fd, std::uint64_t attribute) {
    struct statx sx {};
    return statx(fd, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & attribute) &&
           (sx.stx_attributes & attribute);
}

}  // namespace

bool fsIsPinned(int fd) { return hasAttribute(fd, STATX_ATTR_IMMUTABLE) || hasAttribute(fd, STATX_ATTR_APPEND); }

bool fsIsMountRoot(int fd) { return hasAttribute(fd, STATX_ATTR_MOUNT_ROOT); }

bool fsIsProcessTable(int dirFd) {
    struct statfs fs {};
    return fstatfs(dirFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}
