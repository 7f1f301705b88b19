// A POSIX system of which nothing more is known: no unnamed files (temporary files have names),
// no way to see immutable or append-only files or mounts over a file (the system's own refusal
// comes when the file takes its name), no protection of links or FIFOs in sticky directories,
// no user namespaces, no extended attributes, no writes past the cache.
#include "sys/fs_features.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int fsCreateUnnamed(int, mode_t) {
    errno = ENOTSUP;
    return -1;
}

int fsLinkUnnamed(int, int, const char*) {
    errno = ENOTSUP;
    return -1;
}

bool fsIsPinned(int) { return false; }

bool fsIsMountRoot(int) { return false; }

// Where the system has a /proc, the directories on its device.
bool fsIsProcessTable(int dirFd) {
    struct stat dir {};
    struct stat proc {};
    return fstat(dirFd, &dir) == 0 && stat("/proc/self", &proc) == 0 && dir.st_dev == proc.st_dev;
}

bool fsUserMapped(uid_t) { return true; }

bool fsGroupMapped(gid_t) { return true; }

// The rule POSIX gives for a sticky directory, with root as the one who overrides it.
bool fsMayReplaceInSticky(const struct stat& file, const struct stat& dir) {
    return geteuid() == 0 || file.st_uid == geteuid() || dir.st_uid == geteuid();
}

bool fsMayFollow(int, const struct stat&) { return true; }

bool fsMayWriteFifo(int, const struct stat&) { return true; }

int fsReadExtendedAttributes(int, ExtendedAttributes& read) {
    read.clear();
    return 0;
}

int fsWriteExtendedAttributes(const ExtendedAttributes&, int) { return 0; }

int fsWritePastCache(int, const std::uint8_t*, std::size_t, off_t) {
    errno = ENOTSUP;
    return -1;
}
