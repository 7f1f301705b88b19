// Writes a sample clip for trying velto: 16-bit stereo at 44100 samples per second, a 440 Hz
// tone on the left channel and a 660 Hz tone on the right, fading in and out, behind a
// canonical WAV header.
//
//     velto-tone out.wav [seconds]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "wav/wav_info.h"
#include "wav/wav_write.h"

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: velto-tone OUT.wav [SECONDS]\n");
        return 2;
    }
    const double seconds = argc == 3 ? std::atof(argv[2]) : 2.0;
    if (!(seconds >= 0.0 && seconds <= 24000.0)) {
        std::fprintf(stderr, "velto-tone: seconds must be from 0 to 24000\n");
        return 2;
    }

    WavInfo info;
    info.sampleRate = 44100;
    info.bitsPerSample = 16;
    info.channels = 2;
    const auto frames = static_cast<std::uint32_t>(std::llround(seconds * info.sampleRate));
    info.dataLength = frames * wavFrameSize(info);
    info.bytesPerSecond = wavByteRate(info);
    info.data = wavBufferAllocate(info.dataLength);
    if (!info.data && info.dataLength != 0) return 1;

    for (std::uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / info.sampleRate;
        const double envelope = std::sin(std::numbers::pi * i / frames);
        const double left = 0.5 * envelope * std::sin(2 * std::numbers::pi * 440.0 * t);
        const double right = 0.5 * envelope * std::sin(2 * std::numbers::pi * 660.0 * t);
        wavPutLe16(info.data.get() + 4 * i, static_cast<std::uint16_t>(std::lround(left * 32767)));
        wavPutLe16(info.data.get() + 4 * i + 2,
                   static_cast<std::uint16_t>(std::lround(right * 32767)));
    }

    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = wavHeaderWrite(out, info) == kWavHeaderSize &&
                    (info.dataLength == 0 || std::fwrite(info.data.get(), info.dataLength, 1, out) == 1);
    if (std::fclose(out) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
