// The in-memory record of a clip, shared by the reader, the transform and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// Owns the sample bytes loaded by the reader; they go back to the heap when the owner does.
// The samples may start `offset` bytes into the block that holds them.
struct WavBufferFree {
    std::size_t offset = 0;
    void operator()(std::uint8_t* p) const noexcept;
};
using WavBuffer = std::unique_ptr<std::uint8_t[], WavBufferFree>;

// Bytes in the canonical header that every output file starts with: RIFF header, a 16-byte
// format chunk and the data chunk's header.
inline constexpr std::int32_t kWavHeaderSize = 44;

// One clip: four fields of its format chunk, the length of its sample data, and the data.
// Samples are interleaved by frame, little-endian; 16-bit samples are two's complement.
struct WavInfo {
    std::uint32_t sampleRate = 0;      // samples per second per channel
    std::uint16_t bitsPerSample = 0;   // 8 or 16 once a format chunk has been accepted
    std::uint32_t dataLength = 0;      // bytes of sample data, as the data chunk declares
    std::uint16_t channels = 0;        // interleaved channels
    std::uint32_t bytesPerSecond = 0;  // the format chunk's stored average, used for the time
    WavBuffer data;                    // dataLength bytes, or null
};

// Allocates a sample buffer for `size` bytes; null when the heap has none to give. A size of 0
// yields null, which is a valid empty clip. The buffer is laid out for the samples to follow
// the output's 44-byte header, as the platform writes files best (sys/sample_memory.h).
// `filledFromFile` says that all of it is about to be read from a file known to hold the
// bytes, so that its memory may be made ready ahead of the read; never for a pipe, whose
// declared length may never arrive.
WavBuffer wavBufferAllocate(std::uint32_t size, bool filledFromFile = false);

// Bytes in one frame: the whole bytes of a sample times the channels.
inline std::uint32_t wavFrameSize(const WavInfo& info) {
    return static_cast<std::uint32_t>(info.bitsPerSample / 8) * info.channels;
}

// The byte rate implied by the format: frame size times sample rate, wrapping at 2^32.
inline std::uint32_t wavByteRate(const WavInfo& info) {
    return wavFrameSize(info) * info.sampleRate;
}

// Little-endian fields, decoded and encoded byte by byte.
inline std::uint16_t wavGetLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t wavGetLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void wavPutLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void wavPutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
