// Linux: the attributes statx shows, the type of a directory's file system, and the inode flags
// of FS_IOC_GETFLAGS.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
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

bool fsIsPinned(int fd, bool mountRoot) {
    return hasAttribute(fd, STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | (mountRoot ? STATX_ATTR_MOUNT_ROOT : 0));
}

// /proc's own folder (inode 1) holds the links self and thread-self, which lead where their text reads.
bool fsIsProcessFolder(int dirFd) {
    struct statfs fs {};
    struct stat dir {};
    return fstatfs(dirFd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC && fstat(dirFd, &dir) == 0 && dir.st_ino != 1;
}

bool fsFollowsLinks(int dirFd) {
    constexpr unsigned long kNoSymlinks = 0x2000;  // ST_NOSYMFOLLOW, which glibc 2.36 does not name
    struct statfs fs {};
    return fstatfs(dirFd, &fs) != 0 || (fs.f_flags & kNoSymlinks) == 0;
}

void fsCopyFlags(int fromFd, int toFd) {
    constexpr int kKept = FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOW_FL | FS_NODUMP_FL | FS_NOCOMP_FL | FS_SYNC_FL |
                          FS_NOTAIL_FL | FS_UNRM_FL | FS_JOURNAL_DATA_FL;
    int flags = 0;
    if (ioctl(fromFd, FS_IOC_GETFLAGS, &flags) != 0) flags = 0;
    for (int flag = 1; (flags & kKept) != 0 && flag > 0; flag <<= 1) {
        int now = 0;
        if ((flags & kKept & flag) == 0 || ioctl(toFd, FS_IOC_GETFLAGS, &now) != 0) continue;
        now |= flag;
        ioctl(toFd, FS_IOC_SETFLAGS, &now);
    }
    struct fsxattr from {}, to {};
    if (ioctl(fromFd, FS_IOC_FSGETXATTR, &from) != 0 || ioctl(toFd, FS_IOC_FSGETXATTR, &to) != 0) return;
    const unsigned xflags = to.fsx_xflags | (from.fsx_xflags & (FS_XFLAG_NODEFRAG | FS_XFLAG_EXTSIZE));
    if (from.fsx_projid == to.fsx_projid && from.fsx_extsize == to.fsx_extsize && xflags == to.fsx_xflags) return;
    to.fsx_projid = from.fsx_projid, to.fsx_extsize = from.fsx_extsize, to.fsx_xflags = xflags;
    ioctl(toFd, FS_IOC_FSSETXATTR, &to);
}
