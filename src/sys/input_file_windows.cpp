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
