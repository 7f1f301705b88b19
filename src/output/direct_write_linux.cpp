// Linux: O_DIRECT, with the alignment statx gives (STATX_DIOALIGN).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "output/direct_write.h"

namespace {

// Writes go out in pieces of at most this many bytes.
constexpr std::size_t kWritePiece = std::size_t{64} << 20;
// Writes past the cache are only worth their setting up for at least this many aligned bytes.
constexpr std::size_t kDirectMinimum = std::size_t{512} << 10;

// The alignment that writes past the cache need in memory and in the file, or 0 where the file
// system does not take them or does not say.
std::size_t directAlignment(int fd) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0 || !(sx.stx_mask & STATX_DIOALIGN)) return 0;
    return std::max(sx.stx_dio_mem_align, sx.stx_dio_offset_align);
}

int setDirect(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT);
}

// Writes `size` bytes at `offset`, in pieces; returns how many were written before the first
// failure, all of them when none failed. A write that fails says why in errno; one that takes
// no byte also stops the loop, errno left as it was.
std::size_t writeAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, std::min(size - done, kWritePiece), offset + static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    return writeAt(fd, data, size, offset) == size;
}

// Writes the aligned middle past the cache where the file takes such writes. A file that does
// not refuses the first write, before a byte is written, and gets the usual way instead.
bool writeDirect(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    if (setDirect(fd, true) != 0) return writeAllAt(fd, data, size, offset);
    const std::size_t done = writeAt(fd, data, size, offset);
    const bool refused = done == 0 && errno == EINVAL;
    const bool reset = setDirect(fd, false) == 0;
    if (refused) return reset && writeAllAt(fd, data, size, offset);
    return done == size && reset;
}

}  // namespace

int fsWritePastCache(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    // The file's whole blocks from `middle` to `tail` go past the cache, where the samples'
    // memory lines up with them as sample_memory.h lays it out; the ends go the usual way.
    const std::size_t align = directAlignment(fd);
    const auto block = static_cast<off_t>(align > 0 ? align : 1);
    const off_t end = offset + static_cast<off_t>(size);
    const off_t middle = (offset + block - 1) / block * block;
    const off_t tail = end / block * block;
    if (align == 0 || tail - middle < static_cast<off_t>(kDirectMinimum) ||
        reinterpret_cast<std::uintptr_t>(data + (middle - offset)) % align != 0) {
        errno = ENOTSUP;
        return -1;
    }
    const bool ok = writeAllAt(fd, data, static_cast<std::size_t>(middle - offset), offset) &&
                    writeDirect(fd, data + (middle - offset), static_cast<std::size_t>(tail - middle), middle) &&
                    writeAllAt(fd, data + (tail - offset), static_cast<std::size_t>(end - tail), tail);
    return ok ? 0 : -1;
}
