// A POSIX system without unnamed files, whose temporary files have names, and without a rename
// that replaces no file.
#include <cerrno>

#include "output/unnamed_file.h"

int fsCreateUnnamed(int, mode_t) {
    errno = ENOTSUP;
    return -1;
}

int fsLinkUnnamed(int, int, const char*) {
    errno = ENOTSUP;
    return -1;
}

int fsRenameNoReplace(int, const char*, const char*) {
    errno = ENOSYS;
    return -1;
}
