// A POSIX system without writes past the cache.
#include <cerrno>

#include "output/direct_write.h"

int fsWritePastCache(int, const std::uint8_t*, std::size_t, off_t) {
    errno = ENOTSUP;
    return -1;
}
