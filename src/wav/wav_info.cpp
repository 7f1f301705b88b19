#include "wav/wav_info.h"

#include "wav/sample_memory.h"
#include "wav/wav_write.h"

WavBuffer wavBufferAllocate(std::uint32_t size) {
    if (size == 0) return nullptr;
    std::size_t offset = 0;
    std::uint8_t* block = sampleMemoryAllocate(size, kWavHeaderSize, offset);
    if (block == nullptr) return nullptr;
    return WavBuffer(block + offset, WavBufferFree{offset});
}
