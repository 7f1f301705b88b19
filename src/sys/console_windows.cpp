#include "sys/console.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <vector>

#include "text/console_pieces.h"
#include "sys/utf16_windows.h"

namespace {

constexpr UINT kCp932 = 932;

// CP932 text as UTF-16.
std::wstring wideFromCp932(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int size = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(kCp932, 0, bytes.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(kCp932, 0, bytes.data(), size, wide.data(), n);
    return wide;
}

// A name in CP932, with one '?' for each character CP932 lacks. CP932 has nothing outside the
// Basic Multilingual Plane, so a surrogate pair is one such character, not two.
std::string cp932Name(const std::string& name) {
    const std::wstring wide = wideFromUtf8(name.c_str());
    if (wide.empty()) return name;
    std::wstring plane;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const wchar_t c = wide[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) ++i;
        plane += (c >= 0xD800 && c <= 0xDFFF) ? L'?' : c;
    }
    return narrowFromWide(plane.c_str(), kCp932, "?");
}

// The stream's console handle, or null when it is a file, a pipe or a device.
HANDLE consoleOf(std::FILE* stream) {
    const int fd = _fileno(stream);
    if (fd < 0) return nullptr;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// The characters on a console, each line feed as CR LF as a text stream would send it.
void writeConsole(HANDLE console, const std::vector<ConsolePiece>& pieces) {
    std::wstring text;
    for (const ConsolePiece& piece : pieces) {
        const bool name = piece.kind == ConsolePiece::Kind::kName;
        std::wstring wide = name ? wideFromUtf8(piece.bytes.c_str()) : std::wstring();
        if (wide.empty()) wide = wideFromCp932(piece.bytes);
        for (const wchar_t c : wide) {
            if (c == L'\n') text += L'\r';
            text += c;
        }
    }
    // In pieces the console takes whatever its version, never splitting a surrogate pair.
    constexpr std::size_t kPiece = 8192;
    for (std::size_t done = 0; done < text.size();) {
        std::size_t size = std::min(kPiece, text.size() - done);
        if (done + size < text.size() && text[done + size - 1] >= 0xD800 && text[done + size - 1] <= 0xDBFF) --size;
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data() + done, static_cast<DWORD>(size), &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

}  // namespace

void printMessage(std::FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    // A tag's bytes are part of the text around them, CP932 characters included.
    const std::vector<ConsolePiece> pieces = consolePieces(format, args, ConsoleTags::kInText);
    va_end(args);
    if (const HANDLE console = consoleOf(stream)) {
        std::fflush(stream);
        writeConsole(console, pieces);
        return;
    }
    // A file or a pipe: the CP932 bytes through the text stream, which sends each line feed
    // as CR LF and buffers as the stream was set up to.
    std::string bytes;
    for (const ConsolePiece& piece : pieces) {
        bytes += piece.kind == ConsolePiece::Kind::kName ? cp932Name(piece.bytes) : piece.bytes;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
}
