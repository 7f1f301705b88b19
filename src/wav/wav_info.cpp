#include "wav/wav_info.h"

#include "sys/sample_memory.h"

void WavBufferFree::operator()(std::uint8_t* p) const noexcept { sampleMemoryFree(p - offset); }

WavBuffer wavBufferAllocate(std::uint32_t size, bool filledFromFile) {
    if (size == 0) return nullptr;
    std::size_t offset = 0;
    std::uint8_t* block = sampleMemoryAllocate(size, kWavHeaderSize, filledFromFile, offset);
    if (block == nullptr) return nullptr;
    return WavBuffer(block + offset, WavBufferFree{offset});
}
