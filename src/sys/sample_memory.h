// Memory for a clip's samples, laid out as the platform writes it best.
#pragma once

#include <cstddef>
#include <cstdint>

// Allocates a block for `size` sample bytes that are to follow an output header of
// `headerSize` bytes; sets `offset` to where the samples start in the block. Null when the
// heap has none to give. `filledFromFile` says that the caller is about to fill all of it (from a
// file known to hold the bytes): its memory may then be made ready ahead of the filling.
std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t headerSize, bool filledFromFile,
                                    std::size_t& offset);

// Gives a block back.
void sampleMemoryFree(std::uint8_t* block) noexcept;
