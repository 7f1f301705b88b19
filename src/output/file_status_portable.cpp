// A POSIX system that shows no file attributes and keeps no inode flags.
#include <sys/stat.h>

#include "output/file_status.h"

bool fsIsPinned(int, bool) { return false; }

// Where the system has a /proc, the directories on its device.
bool fsIsProcessTable(int dirFd) {
    struct stat dir {};
    struct stat proc {};
    return fstat(dirFd, &dir) == 0 && stat("/proc/self", &proc) == 0 && dir.st_dev == proc.st_dev;
}

unsigned fsKeptFlags(int) { return 0; }

void fsGiveFlags(int, unsigned) {}
