// Memory for a clip's samples, laid out as the platform writes files best.
//
// The layout is a contract with the output's fast path (fsWritePastCache in
// output/direct_write_linux.cpp): where the platform writes large files past its cache, the
// samples of a large clip start `headerSize` bytes past a page boundary, as they will start that
// far into the output file, so that every whole page of the file lies on a whole page of memory
// and goes to the disk straight from it. A block that breaks this still converts right, only
// slower.
#pragma once

#include <cstddef>
#include <cstdint>

struct SampleLayout {
    std::size_t align = 0;      // the alignment the block needs (1: any the heap gives)
    std::size_t offset = 0;     // where the samples start in it
    std::size_t blockSize = 0;  // its bytes: a multiple of `align` that holds all the samples
};

// How a block for `size` sample bytes that follow an output header of `headerSize` bytes is
// laid out.
SampleLayout sampleMemoryLayout(std::size_t size, std::size_t headerSize);

// Allocates a block for `size` sample bytes laid out as above; sets `offset` to where the
// samples start in it. Null when the heap has none to give. `filledFromFile` says that the
// caller is about to fill all of it (from a file known to hold the bytes): its memory may then
// be made ready ahead of the filling.
std::uint8_t* sampleMemoryAllocate(std::size_t size, std::size_t headerSize, bool filledFromFile,
                                   std::size_t& offset);

// Gives a block back.
void sampleMemoryFree(std::uint8_t* block) noexcept;
