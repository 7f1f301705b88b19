#include "sys/input_file.h"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <limits>

#include "sys/utf16_windows.h"

namespace {

HANDLE handleOf(std::FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

}  // namespace

std::FILE* inputFileOpen(const char* path) {
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty()) return nullptr;
    return _wfopen(wide.c_str(), L"rb");
}

void inputFileClose(std::FILE* stream) { std::fclose(stream); }

bool inputFileSeekable(std::FILE* stream) { return GetFileType(handleOf(stream)) == FILE_TYPE_DISK; }

// The C library's fread gives up on a single read of 2 GiB or more: the bytes are read in
// pieces well under that.
std::size_t inputFileRead(std::FILE* stream, void* buffer, std::size_t n) {
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    auto* to = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const std::size_t want = n - done < kPiece ? n - done : kPiece;
        const std::size_t got = std::fread(to + done, 1, want, stream);
        done += got;
        if (got < want) break;
    }
    return done;
}

bool inputFileSeekForward(std::FILE* stream, std::uint64_t n) {
    return n <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max()) &&
           _fseeki64(stream, static_cast<long long>(n), SEEK_CUR) == 0;
}

long long inputFileBytesLeft(std::FILE* stream) {
    LARGE_INTEGER size{};
    if (!inputFileSeekable(stream) || !GetFileSizeEx(handleOf(stream), &size)) return -1;
    const long long pos = _ftelli64(stream);
    if (pos < 0) return -1;
    return pos >= size.QuadPart ? 0 : size.QuadPart - pos;
}
