// Opening the input and what the chunk walk needs to know of it, on each platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens `path` (in the platform's own encoding for file names: bytes on POSIX, UTF-8 on
// Windows) for reading bytes, as any program opens it (a FIFO waits for its writer); null when
// it cannot be opened.
std::FILE* inputFileOpen(const char* path);

// Closes the input.
void inputFileClose(std::FILE* stream);

// True for input that can seek: a regular file or a block device. Pipes, FIFOs and character
// devices are read front to back.
bool inputFileSeekable(std::FILE* stream);

// Reads up to `n` bytes, as fread does, however large `n` is; returns how many were read.
std::size_t inputFileRead(std::FILE* stream, void* buffer, std::size_t n);

// Moves `n` bytes forward; false when the input cannot seek there.
bool inputFileSeekForward(std::FILE* stream, std::uint64_t n);

// Bytes between the stream's position and the end of the file, or -1 when the input is not a
// regular file and its size is unknown.
long long inputFileBytesLeft(std::FILE* stream);
