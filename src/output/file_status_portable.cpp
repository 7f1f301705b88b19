// A POSIX system that shows no file attributes, no mount that follows no links, and keeps no
// inode flags.
#include <sys/stat.h>

#include "output/file_status.h"

bool fsIsPinned(int, bool) { return false; }

// Where the system has a /proc, the directories on its device below /proc itself.
bool fsIsProcessFolder(int dirFd) {
    struct stat dir {};
    struct stat proc {};
    return fstat(dirFd, &dir) == 0 && stat("/proc", &proc) == 0 && dir.st_dev == proc.st_dev &&
           dir.st_ino != proc.st_ino;
}

bool fsFollowsLinks(int) { return true; }

void fsCopyFlags(int, int) {}
