// Writing a clip as a WAV file with a canonical 44-byte header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "output/output_file.h"
#include "wav/wav_info.h"

// Writes `info` to `path`: the header, then the scrambled samples. A regular file takes the
// output name only when complete, and a failure before that leaves what stood there as it was;
// output_file.h says what a device, a FIFO or a descriptor keeps, and what a failure after the
// naming leaves. Returns 0 on success and -1 on failure, after writing its own messages.
int wavFileWrite(const char* path, WavInfo& info);

// Writes the 44-byte header for `info` at the stream's position and returns how far that
// position moved: 44 when written whole; -1 where the move does not fit 32 bits. On a stream
// that has no position (a pipe), 44 where the write went through and 0 where it failed.
std::int32_t wavHeaderWrite(std::FILE* stream, const WavInfo& info);

// Scrambles the samples of `info` in place and writes them. Returns 0, or -1 when they were
// not written whole.
int wavDataWrite(OutputFile& out, WavInfo& info);
