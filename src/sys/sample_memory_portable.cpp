// Sample memory where nothing is known of how the system writes files best (Windows, and POSIX
// systems other than Linux): the plain heap. The output goes through the C library's buffer
// there, so the samples need no alignment.
#include "sys/sample_memory.h"

#include <cstdlib>

SampleLayout sampleMemoryLayout(std::size_t size, std::size_t /*headerSize*/) {
    return {1, 0, size};
}

// A plain heap block, the samples at its start; the pages are left for the read to fault in.
std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t headerSize, bool /*filledFromFile*/,
                                   std::size_t& offset) {
    offset = sampleMemoryLayout(size, headerSize).offset;
    return static_cast<std::uint8_t*>(std::malloc(size));
}

void sampleMemoryFree(std::uint8_t* block) noexcept { std::free(block); }
