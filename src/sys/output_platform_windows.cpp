#include "sys/output_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "sys/utf16_windows.h"

namespace {

enum class Kind {
    kDirect,     // a device, written as it is
    kTemporary,  // a temporary file beside the output, moved over it when complete
    kRewritten,  // the existing file itself, its space reserved first
    kCreated,    // a new file made under the output name, removed when not completed
};

// The temporary or new file that an interrupted run must remove. A console control event is
// handled on a thread of its own, so the name is published whole or not at all.
wchar_t gPendingName[32768];
std::atomic<bool> gPending{false};

void setPending(const std::wstring& name) {
    gPending = false;
    const std::size_t copied = name.copy(gPendingName, sizeof gPendingName / sizeof gPendingName[0] - 1);
    gPendingName[copied] = L'\0';
    gPending = true;
}

void clearPending() { gPending = false; }

// Ctrl-C, Ctrl-Break, closing the console, logging off or shutting down: the file being
// written is marked for removal (it goes when the process ends and its handle closes), then
// the process ends as it would have.
BOOL WINAPI removePendingOnControl(DWORD) {
    if (gPending) DeleteFileW(gPendingName);
    return FALSE;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The directory part of `path`, ready to take a file name: "dir\", "C:", or "" for the
// current directory. The name is UTF-16, where no byte of a character can pass for '\'.
std::wstring directoryOf(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut != std::wstring::npos) return path.substr(0, cut + 1);
    if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2);
    return L"";
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Makes a new file with a name of its own beside the output; INVALID_HANDLE_VALUE, with `name`
// left empty, when none can be made there.
HANDLE createTemporary(const std::wstring& directory, std::wstring& name) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long long stamp = (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
                                         (GetTickCount64() << 8) ^ ++counter;
        wchar_t suffix[24];
        swprintf(suffix, sizeof suffix / sizeof suffix[0], L"%06llx", stamp & 0xFFFFFFFFFFull);
        name = directory + L".velto-" + suffix;
        // DELETE access and FILE_SHARE_DELETE let the file be moved or removed while it is open.
        const HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    name.clear();
    return INVALID_HANDLE_VALUE;
}

// Makes sure the file has room for `size` bytes without changing a byte of it: the part past
// its end is written with zeros, for real, since a file system may only pretend to reserve
// (a sparse extension, or an allocation it does not make). False, with the file cut back to
// its old length, when the disk has no room for them.
bool reserveSpace(HANDLE h, std::uint64_t size) {
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(h, &length)) return false;
    const auto old = static_cast<std::uint64_t>(length.QuadPart);
    static const char zeros[64 * 1024] = {};
    LARGE_INTEGER at{};
    at.QuadPart = length.QuadPart;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
    for (std::uint64_t done = old; ok && done < size;) {
        const DWORD piece = static_cast<DWORD>(std::min<std::uint64_t>(size - done, sizeof zeros));
        DWORD written = 0;
        ok = WriteFile(h, zeros, piece, &written, nullptr) && written == piece;
        done += piece;
    }
    if (!ok) {
        SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
        SetEndOfFile(h);
    }
    at.QuadPart = 0;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0 && ok;
}

// Wraps the handle in a binary stream; closes the handle when that fails.
std::FILE* streamOf(HANDLE h) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) _close(fd);
    return stream;
}

HANDLE handleOf(std::FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

}  // namespace

struct OutputState {
    Kind kind = Kind::kDirect;
    std::wstring target;     // the output name
    std::wstring temporary;  // the temporary file, while there is one
};

void OutputStateDelete::operator()(OutputState* state) const noexcept { delete state; }

OutputFile::~OutputFile() {
    if (stream != nullptr) outputAbandon(*this);
}

OutputOpenResult outputOpen(const char* path, std::uint64_t size, OutputFile& out) {
    out.state.reset(new OutputState);
    OutputState& state = *out.state;
    state.target = wideFromUtf8(path);
    if (state.target.empty() || isSeparator(state.target.back())) return OutputOpenResult::kCannotOpen;

    const DWORD attributes = GetFileAttributesW(state.target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return OutputOpenResult::kCannotOpen;
    // A read-only file is refused, as opening it would be.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) return OutputOpenResult::kCannotOpen;
    // Devices (NUL, CON, COM1, ...) are written directly.
    HANDLE h = CreateFileW(state.target.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
        state.kind = Kind::kDirect;
        out.stream = streamOf(h);
        return out.stream != nullptr ? OutputOpenResult::kOpened : OutputOpenResult::kCannotOpen;
    }
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (exists && h == INVALID_HANDLE_VALUE) return OutputOpenResult::kCannotOpen;

    h = createTemporary(directoryOf(state.target), state.temporary);
    if (h != INVALID_HANDLE_VALUE) {
        state.kind = Kind::kTemporary;
        setPending(state.temporary);
    } else if (exists) {
        // No temporary file can be made here: the file itself is rewritten, once it is sure
        // to have room for every byte.
        h = CreateFileW(state.target.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OutputOpenResult::kCannotOpen;
        if (!reserveSpace(h, size)) {
            CloseHandle(h);
            return OutputOpenResult::kNoRoom;
        }
        state.kind = Kind::kRewritten;
    } else {
        // Nor, most likely, a new file; where one can be, it goes if the run does not finish.
        h = CreateFileW(state.target.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return OutputOpenResult::kCannotOpen;
        state.kind = Kind::kCreated;
        setPending(state.target);
    }
    out.stream = streamOf(h);
    if (out.stream == nullptr) {
        outputAbandon(out);
        return OutputOpenResult::kCannotOpen;
    }
    return OutputOpenResult::kOpened;
}

bool outputWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    return size == 0 || std::fwrite(data, size, 1, stream) == 1;
}

int outputCommit(OutputFile& out) {
    OutputState& state = *out.state;
    bool ok = std::fflush(out.stream) == 0;
    // The file rewritten in place ends where the output does.
    if (ok && state.kind == Kind::kRewritten) ok = SetEndOfFile(handleOf(out.stream)) != 0;
    // The new bytes must be on disk before they take the place of the old ones.
    if (ok && state.kind != Kind::kDirect) ok = FlushFileBuffers(handleOf(out.stream)) != 0;
    ok = std::fclose(out.stream) == 0 && ok;
    out.stream = nullptr;
    if (ok && state.kind == Kind::kTemporary) {
        ok = MoveFileExW(state.temporary.c_str(), state.target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (ok) state.temporary.clear();
    }
    if (!ok) {
        outputAbandon(out);
        return -1;
    }
    clearPending();
    return 0;
}

void outputAbandon(OutputFile& out) {
    if (out.stream != nullptr) std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.state) return;
    OutputState& state = *out.state;
    if (state.kind == Kind::kTemporary && !state.temporary.empty()) DeleteFileW(state.temporary.c_str());
    if (state.kind == Kind::kCreated) DeleteFileW(state.target.c_str());
    state.temporary.clear();
    state.kind = Kind::kDirect;
    clearPending();
}

void outputRemoveOnSignals() { SetConsoleCtrlHandler(removePendingOnControl, TRUE); }
