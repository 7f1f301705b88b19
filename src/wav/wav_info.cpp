#include "wav/wav_info.h"

WavBuffer wavBufferAllocate(std::uint32_t size) {
    if (size == 0) return nullptr;
    return WavBuffer(static_cast<std::uint8_t*>(std::malloc(size)));
}
