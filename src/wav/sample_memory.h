// Memory for a clip's samples, laid out as the platform writes it best.
#pragma once

#include <cstddef>
#include <cstdint>

// Allocates a block for `size` sample bytes that are to follow an output header of
// `headerSize` bytes; sets `offset` to where the samples start in the block. The block goes
// back with std::free. Null when the heap has none to give.
std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t headerSize, std::size_t& offset);
