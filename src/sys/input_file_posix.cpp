#include "sys/input_file.h"

#include <sys/stat.h>

#include <limits>


std::FILE* inputFileOpen(const char* path) { return std::fopen(path, "rb"); }

void inputFileClose(std::FILE* stream) { std::fclose(stream); }

bool inputFileSeekable(std::FILE* stream) {
    struct stat st {};
    return fstat(fileno(stream), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

std::size_t inputFileRead(std::FILE* stream, void* buffer, std::size_t n) { return std::fread(buffer, 1, n, stream); }

bool inputFileSeekForward(std::FILE* stream, std::uint64_t n) {
    // Positions are 64-bit, so no 32-bit chunk length can wrap the target back.
    return n <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
           fseeko(stream, static_cast<off_t>(n), SEEK_CUR) == 0;
}

long long inputFileBytesLeft(std::FILE* stream) {
    struct stat st {};
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const off_t pos = ftello(stream);
    if (pos < 0) return -1;
    return pos >= st.st_size ? 0 : static_cast<long long>(st.st_size - pos);
}
