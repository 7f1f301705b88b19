// Reading a WAV file into a WavInfo: the RIFF/WAVE header, the chunk walk and its report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "wav/wav_info.h"

// The first 16 bytes of a format chunk's body, decoded, and the bytes themselves: a chunk that
// declares fewer gives back those past its end, for the walk to read again.
struct WavFmt {
    std::uint16_t formatTag = 0;       // 1 for PCM
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;      // reported only
    std::uint16_t bitsPerSample = 0;
    std::uint8_t bytes[16] = {};       // as read
};

// The input as the chunk walk reads it. Bytes read ahead of the walk (the tail of a format
// chunk declared shorter than the 16 bytes read from it, a byte looked at for padding) are
// given back here and read again first, so that a pipe, which cannot seek back, is walked
// exactly like a file. Skipping seeks where the input can seek and reads otherwise.
struct WavInput {
    std::FILE* stream = nullptr;
    bool seekable = false;         // a regular file or a block device
    std::uint8_t ahead[16] = {};   // bytes given back, to be read before the stream's
    std::size_t aheadLength = 0;
};

// Opens `path`, walks its chunks, reports them on the console and loads the data chunk into
// `info`. Returns 0 on success and -1 on failure, after writing its own messages.
int wavFileRead(const char* path, WavInfo& info);

// Reads a format chunk body of 16 bytes at the input's position into `fmt`, reports its
// fields and checks that velto can handle it. Returns 0 when accepted, -1 otherwise (silently
// when 16 bytes cannot be read).
int wavFmtRead(WavInput& input, WavFmt& fmt);
