// Writes past the system's cache, for the bulk of a large output. Linux takes them where the
// file system says how they must line up (direct_write_linux.cpp); other POSIX systems write
// through the cache (direct_write_portable.cpp).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Writes `size` bytes at `offset` of the open regular file: the whole blocks among them past the
// cache where the file system takes such writes, and the rest, or all of it where the file
// system turns the first write past the cache down, through the cache. -1 with errno ENOTSUP,
// nothing written, where no write past the cache is worth trying: the file system does not
// offer them, `data` does not line up with the file's blocks (sample_memory.h), or fewer than
// 512 KiB would go that way. -1 with the system's cause where a write fails.
int fsWritePastCache(int fd, const std::uint8_t* data, std::size_t size, off_t offset);
