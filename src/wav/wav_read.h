// Reading a WAV file into a WavInfo: the RIFF/WAVE header, the chunk walk and its report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "wav/wav_info.h"

// The first 16 bytes of a format chunk's body.
struct WavFmt {
    std::uint16_t formatTag = 0;       // 1 for PCM
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;      // reported only
    std::uint16_t bitsPerSample = 0;
};

// Opens `path`, walks its chunks, reports them on the console and loads the data chunk into
// `info`. Returns 0 on success and -1 on failure, after writing its own messages.
int wavFileRead(const char* path, WavInfo& info);

// Reads a format chunk body of 16 bytes at the stream's position into `fmt`, reports its
// fields and checks that velto can handle it. Returns 0 when accepted, -1 otherwise (silently
// when 16 bytes cannot be read).
int wavFmtRead(std::FILE* stream, WavFmt& fmt);
