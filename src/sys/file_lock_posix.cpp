#include "sys/file_lock.h"

#include <fcntl.h>

#include <cerrno>

#include "sys/fs_features.h"

namespace {

int lockAll(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    int result = 0;
    while ((result = fcntl(fd, fsLockCommand(wait), &lock)) != 0 && errno == EINTR) {
    }
    return result;
}

}  // namespace

int fileLockWait(int fd, bool exclusive) {
    return lockAll(fd, exclusive ? F_WRLCK : F_RDLCK, true) == 0 || errno == ENOLCK || errno == EINVAL ||
                   errno == EOPNOTSUPP
               ? 0
               : -1;
}

void fileUnlock(int fd) { lockAll(fd, F_UNLCK, false); }
