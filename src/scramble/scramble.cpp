#include "scramble/scramble.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct Mirror8 {
    static constexpr std::size_t kBytes = 1;
    static void apply(std::uint8_t* p) { p[0] = static_cast<std::uint8_t>(0x80u - p[0]); }
};

struct Mirror16 {
    static constexpr std::size_t kBytes = 2;
    static void apply(std::uint8_t* p) {
        if constexpr (std::endian::native == std::endian::little) {
            // A little-endian word is the sample itself: copying it in and out is a plain
            // unaligned load and store, which the compiler vectorises.
            std::uint16_t v;
            std::memcpy(&v, p, sizeof v);
            v = static_cast<std::uint16_t>(0x8000u - v);
            std::memcpy(p, &v, sizeof v);
        } else {
            wavPutLe16(p, static_cast<std::uint16_t>(0x8000u - wavGetLe16(p)));
        }
    }
};

template <typename Map>
void mirrorFrames(WavInfo& info) {
    std::uint8_t* const samples = info.data.get();
    const std::size_t channels = info.channels;
    if (samples == nullptr || channels == 0) return;
    const std::size_t frameSize = Map::kBytes * channels;
    const std::size_t frames = info.dataLength / frameSize;
    if (channels <= 2) {
        // Mono and stereo map every sample of every whole frame: one straight loop that the
        // compiler turns into vector code.
        const std::size_t count = frames * channels;
        for (std::size_t i = 0; i < count; ++i) Map::apply(samples + i * Map::kBytes);
        return;
    }
    for (std::size_t f = 0; f < frames; ++f) {
        std::uint8_t* const frame = samples + f * frameSize;
        Map::apply(frame);
        Map::apply(frame + Map::kBytes);
    }
}

}  // namespace

void wavScramble8(WavInfo& info) { mirrorFrames<Mirror8>(info); }

void wavScramble16(WavInfo& info) { mirrorFrames<Mirror16>(info); }
