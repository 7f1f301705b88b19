// A POSIX system of which nothing more is known: no unnamed files (temporary files have names),
// no extended attributes, no writes past the cache, and no reservation that could be promised,
// since the file system may write every change to new blocks.
#include "sys/fs_features.h"

#include <fcntl.h>

#include <cerrno>

int fsCreateUnnamed(int, mode_t, bool& unsupported) {
    unsupported = true;
    errno = ENOTSUP;
    return -1;
}

int fsLinkUnnamed(int, int, const char*) {
    errno = ENOTSUP;
    return -1;
}

bool fsDirectoryOnlyGrows(int) { return false; }

bool fsLinksProtected() { return false; }

int fsReserve(int, std::uint64_t) {
    errno = ENOTSUP;
    return -1;
}

// Record locks, which belong to the process and go with the first close of any descriptor of
// the file: the caller keeps one descriptor of it open at a time.
int fsLockCommand(bool wait) { return wait ? F_SETLKW : F_SETLK; }

int fsCopyExtendedAttributes(int, const char*, int) { return 0; }

std::size_t fsDirectAlignment(int) { return 0; }

int fsSetDirect(int, bool) {
    errno = ENOTSUP;
    return -1;
}
