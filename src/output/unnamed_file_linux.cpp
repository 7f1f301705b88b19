// Linux: unnamed files are O_TMPFILE files, linked in by descriptor; renameat2 replaces no file.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "output/unnamed_file.h"

// By descriptor, which kernels since 6.10 allow for a file the process opened itself, else
// through /proc.
int fsLinkUnnamed(int fd, int dirFd, const char* name) {
    if (linkat(fd, "", dirFd, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, path.c_str(), dirFd, name, AT_SYMLINK_FOLLOW);
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

int fsRenameNoReplace(int dirFd, const char* from, const char* to) {
    return renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE);
}
