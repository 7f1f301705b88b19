#include "sys/sample_memory.h"

#include <cstdlib>

// A plain heap block, the samples at its start. The output is written through the C
// library's buffer, so no layout of the samples saves a copy, and the pages are left for the
// read to fault in: nothing is made ready ahead of it, whatever fills it.
std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t /*headerSize*/, bool /*filledFromFile*/,
                                   std::size_t& offset) {
    offset = 0;
    return static_cast<std::uint8_t*>(std::malloc(size));
}

void sampleMemoryFree(std::uint8_t* block) noexcept { std::free(block); }
