// A POSIX system without unnamed files: temporary files have names.
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
