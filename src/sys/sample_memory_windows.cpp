#include "sys/sample_memory.h"

#include <cstdlib>

// The output is written through the C library's buffer, so the samples need no alignment.
std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t, bool, std::size_t& offset) {
    offset = 0;
    return static_cast<std::uint8_t*>(std::malloc(size));
}

void sampleMemoryFree(std::uint8_t* block) noexcept { std::free(block); }
