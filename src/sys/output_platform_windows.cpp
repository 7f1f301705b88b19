// The output's steps on Windows: whole UTF-16 paths, ReplaceFileW, a self-deleting temporary file.
// An existing file is replaced with ReplaceFileW, which keeps its attributes, ACL and creation
// time; the temporary file is marked for deletion while it is written, so that the system
// removes it if the run is killed; interrupts come on a thread of their own.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sys/output_platform.h"
#include "sys/utf16_windows.h"

struct OutputTarget {
    std::wstring path;           // the output name, as given
    std::wstring finalPath;      // the file it stands for, a link followed
    DWORD attributes = 0;        // its attributes
    FILETIME createdAt{};        // and when it was made
    HANDLE file = INVALID_HANDLE_VALUE;      // the file being written: temporary, new, or the name's own
    std::wstring tempName;       // the temporary file's name, while it has one
    bool markedForDeletion = false;  // `file` goes when its last handle closes
    bool created = false;        // `file` was created under the output name
    HANDLE existing = INVALID_HANDLE_VALUE;  // the existing file, opened to be written over

    ~OutputTarget() {
        for (const HANDLE h : {file, existing}) {
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
    }
};

void OutputTargetDelete::operator()(OutputTarget* target) const noexcept { delete target; }

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Reads and writes go in pieces well under 2 GiB: the C library's fwrite returns 0 for a
// single write of 2 GiB or more, although the bytes reach the file.
constexpr std::size_t kPiece = std::size_t{1} << 30;
constexpr DWORD kCopyPiece = DWORD{1} << 20;

// The directory part of `path`, ready to take a file name: "dir\", "C:", or "" for the
// current directory. The name is UTF-16, where no unit of a character can pass for '\'.
std::wstring directoryOf(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut != std::wstring::npos) return path.substr(0, cut + 1);
    if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2);
    return L"";
}

bool isDisk(HANDLE h) { return GetFileType(h) == FILE_TYPE_DISK; }

// Sets or clears the mark that makes the system remove the file when its last handle closes.
bool markForDeletion(HANDLE h, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Opens the temporary file for reading, writing and removal, and marks it to go with its last
// handle. A file system that cannot mark it still gets it removed by the run itself.
bool openTemporary(OutputTarget& t, DWORD disposition) {
    t.file = CreateFileW(t.tempName.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t.file == INVALID_HANDLE_VALUE) return false;
    t.markedForDeletion = markForDeletion(t.file, true);
    return true;
}

// The temporary file that could not take the name, opened and marked again to be copied from
// or removed; -1 with `cause`.
int reopenTemporary(OutputTarget& t, DWORD cause) {
    if (!openTemporary(t, OPEN_EXISTING)) return -1;
    SetLastError(cause);
    return -1;
}

void closeFile(OutputTarget& t) {
    if (t.file != INVALID_HANDLE_VALUE) CloseHandle(t.file);
    t.file = INVALID_HANDLE_VALUE;
}

// Writes or reads `n` bytes at `offset` through a handle, keeping the handle's position.
bool writeAt(HANDLE h, const void* data, DWORD n, std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    return WriteFile(h, data, n, &done, &at) != 0 && done == n;
}

bool readAt(HANDLE h, void* data, DWORD n, std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    return ReadFile(h, data, n, &done, &at) != 0 && done == n;
}

bool setLength(HANDLE h, std::uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(h) != 0;
}

// Makes sure the existing file has room for `size` bytes without changing a byte of it: the
// part past its end is written with zeros, for real, since a file system may only pretend to
// reserve (a sparse extension, or an allocation it does not make). On failure the file is cut
// back to its old length.
int reserveByWriting(HANDLE h, std::uint64_t size) {
    LARGE_INTEGER length{};
    if (GetFileSizeEx(h, &length) == 0) return -1;
    const auto old = static_cast<std::uint64_t>(length.QuadPart);
    static const char zeros[kCopyPiece] = {};
    for (std::uint64_t done = old; done < size;) {
        const auto piece = static_cast<DWORD>(std::min<std::uint64_t>(size - done, kCopyPiece));
        if (!writeAt(h, zeros, piece, done)) {
            const DWORD cause = GetLastError();
            setLength(h, old);
            SetLastError(cause);
            return -1;
        }
        done += piece;
    }
    return 0;
}

// The path of the file an open handle reaches, links followed; false where the system cannot
// say (some network shares).
bool finalPathOf(HANDLE h, std::wstring& path) {
    const DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, VOLUME_NAME_DOS);
    if (n == 0) return false;
    std::wstring found(n, L'\0');
    const DWORD got = GetFinalPathNameByHandleW(h, found.data(), n, VOLUME_NAME_DOS);
    if (got == 0 || got >= n) return false;
    found.resize(got);
    path = std::move(found);
    return true;
}

bool fullPathOf(const std::wstring& name, std::wstring& path) {
    const DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0) return false;
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) return false;
    full.resize(got);
    path = std::move(full);
    return true;
}

// Ctrl-C, Ctrl-Break, closing the console, logging off or shutting down: the control handler
// runs on a thread of its own, so a hold is a lock it must wait for. What an interrupt leaves
// is removed, then the process ends with the status Windows gives an interrupted program -
// never 0, which a script would take for success.
struct HoldLock {
    CRITICAL_SECTION section;
    HoldLock() { InitializeCriticalSection(&section); }
};
HoldLock gHold;
int gHeld = 0;  // the holds the main thread has taken, nested
volatile LONG gInterrupted = 0;
void (*gOnInterrupt)() noexcept = nullptr;

[[noreturn]] void endInterrupted() {
    if (gOnInterrupt != nullptr) gOnInterrupt();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

BOOL WINAPI onControl(DWORD) {
    InterlockedExchange(&gInterrupted, 1);
    EnterCriticalSection(&gHold.section);
    endInterrupted();
}

}  // namespace

int targetResolve(const char* path, OutputTargetPtr& target, TargetKind& kind) {
    target.reset(new OutputTarget);
    OutputTarget& t = *target;
    t.path = wideFromUtf8(path);
    if (t.path.empty() || t.path.back() == L'\\' || t.path.back() == L'/') {
        SetLastError(ERROR_INVALID_NAME);
        return -1;
    }
    // A whole path: the system's replace looks for its own temporary name beside the file,
    // and finds no directory in a bare name.
    if (!fullPathOf(t.path, t.finalPath)) return -1;
    kind = TargetKind::kNone;
    // Opened as the system opens it, links followed: no access to the data is asked for, so a
    // file another program holds open is reached too.
    const HANDLE h = CreateFileW(t.path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD cause = GetLastError();
        if (cause != ERROR_FILE_NOT_FOUND) {
            // A device that takes no such open (the console) is written as it is; anything else
            // that cannot be looked at is not written.
            const HANDLE device = CreateFileW(t.path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
            const bool other = device != INVALID_HANDLE_VALUE && !isDisk(device);
            if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
            kind = TargetKind::kOther;
            SetLastError(cause);
            return other ? 0 : -1;
        }
        // Nothing there; but a link whose file is missing is not replaced by a new file.
        if (GetFileAttributesW(t.path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return -1;
        }
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    bool ok = true;
    if (!isDisk(h)) {
        kind = TargetKind::kOther;  // NUL, CON, a named pipe: written as they are
    } else if (GetFileInformationByHandle(h, &info) == 0) {
        ok = false;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_DIRECTORY);
        ok = false;
    } else {
        t.attributes = info.dwFileAttributes;
        t.createdAt = info.ftCreationTime;
        kind = TargetKind::kRegular;
        // A symbolic link is followed: its file is replaced, beside which the temporary
        // file is made; the link stays. wine shows a POSIX link as a plain file, so every
        // name is resolved.
        const DWORD own = GetFileAttributesW(t.path.c_str());
        ok = finalPathOf(h, t.finalPath) || (own != INVALID_FILE_ATTRIBUTES && !(own & FILE_ATTRIBUTE_REPARSE_POINT));
    }
    const DWORD cause = GetLastError();
    CloseHandle(h);
    SetLastError(cause);
    return ok ? 0 : -1;
}

int targetCheckWritable(OutputTarget& t) {
    // Its permissions are looked at when the file takes the new bytes; a read-only file is
    // refused here, as opening it would be.
    if ((t.attributes & FILE_ATTRIBUTE_READONLY) == 0) return 0;
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
}

int targetOpenDirect(OutputTarget& t) {
    t.file = CreateFileW(t.path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    return t.file != INVALID_HANDLE_VALUE ? 0 : -1;
}

// Windows makes a new name durable with the move itself (MOVEFILE_WRITE_THROUGH); there is no
// directory to open.
void targetOpenDirectory(OutputTarget&) {}

int targetCreateTemporary(OutputTarget& t) {
    const std::wstring directory = directoryOf(t.finalPath);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long long stamp =
            (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ (GetTickCount64() << 8) ^ ++counter;
        wchar_t suffix[24];
        swprintf(suffix, sizeof suffix / sizeof suffix[0], L"%06llx", stamp & 0xFFFFFFFFFFull);
        t.tempName = directory + L".velto-" + suffix;
        if (openTemporary(t, CREATE_NEW)) return 0;
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    const DWORD cause = GetLastError();
    t.tempName.clear();
    SetLastError(cause);
    return -1;
}

int targetCreateNew(OutputTarget& t) {
    t.file = CreateFileW(t.finalPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    t.created = t.file != INVALID_HANDLE_VALUE;
    return t.created ? 0 : -1;
}

int targetOpenExisting(OutputTarget& t) {
    // Shared as any other program may have it open (a player reading it): where that program
    // lets it be written, it is.
    t.existing = CreateFileW(t.finalPath.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (t.existing == INVALID_HANDLE_VALUE) return -1;
    // A rewrite writes the file itself.
    if (t.file == INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), t.existing, GetCurrentProcess(), &t.file, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        t.file = INVALID_HANDLE_VALUE;
        return -1;
    }
    return 0;
}

int targetReserve(OutputTarget& t, std::uint64_t size) { return reserveByWriting(t.existing, size); }

std::FILE* targetStream(OutputTarget& t) {
    HANDLE own = INVALID_HANDLE_VALUE;
    LARGE_INTEGER start{};
    if (DuplicateHandle(GetCurrentProcess(), t.file, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
        return nullptr;
    }
    // A handle and its duplicate share one position, which a reservation may have moved.
    if (isDisk(own) && SetFilePointerEx(own, start, nullptr, FILE_BEGIN) == 0) {
        CloseHandle(own);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(own), _O_BINARY);
    if (fd < 0) {
        CloseHandle(own);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) _close(fd);
    return stream;
}

int targetTruncate(OutputTarget& t, std::uint64_t size) {
    return !isDisk(t.file) || setLength(t.file, size) ? 0 : -1;
}

// A file rewritten or written over keeps everything of its own. A temporary file takes the ACL
// of the file it replaces with ReplaceFileW, which on Windows keeps the attributes and the
// creation time too; they are given to it here as well, for the systems whose ReplaceFileW
// does not (wine).
int targetKeepAttributes(OutputTarget& t, bool rewritten) {
    if (rewritten) return 0;
    constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE;
    FILE_BASIC_INFO basic{};
    basic.CreationTime.LowPart = t.createdAt.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(t.createdAt.dwHighDateTime);
    basic.FileAttributes = (t.attributes & kSettable) != 0 ? t.attributes & kSettable : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(t.file, FileBasicInfo, &basic, sizeof basic) != 0 ? 0 : -1;
}

int targetSync(OutputTarget& t) { return !isDisk(t.file) || FlushFileBuffers(t.file) != 0 ? 0 : -1; }

int targetTakeName(OutputTarget& t, bool replacing) {
    // The file must stay once it has the name; and the move opens it by name, which a handle
    // of ours that does not let everything be shared would refuse. From here until the name is
    // taken, a killed run leaves the complete temporary file.
    if (t.markedForDeletion && !markForDeletion(t.file, false)) return -1;
    t.markedForDeletion = false;
    closeFile(t);
    // A file another program holds open without letting it be removed is not asked to be
    // replaced: the replace can leave a file of its own behind on the way (wine does).
    if (replacing) {
        const HANDLE probe = CreateFileW(t.finalPath.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return reopenTemporary(t, GetLastError());
        CloseHandle(probe);
    }
    // Another run may have made a new file meanwhile: the last complete file stands.
    const bool moved = replacing ? ReplaceFileW(t.finalPath.c_str(), t.tempName.c_str(), nullptr, 0, nullptr,
                                                nullptr) != 0
                                 : MoveFileExW(t.tempName.c_str(), t.finalPath.c_str(),
                                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    const DWORD cause = GetLastError();
    if (moved) {
        t.tempName.clear();
        return 0;
    }
    // The replaced file was removed, but the temporary file could not take its name: it is
    // moved there plainly, the conversion being complete.
    if (cause == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
        MoveFileExW(t.tempName.c_str(), t.finalPath.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
        t.tempName.clear();
        return 0;
    }
    // The old file gone and the new one not in its place: the only copy of the conversion,
    // which is not removed.
    if (cause == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
        t.tempName.clear();
        SetLastError(cause);
        return -1;
    }
    return reopenTemporary(t, cause);
}

int targetCopyOver(OutputTarget& t, std::uint64_t size) {
    if (targetReserve(t, size) != 0) return -1;
    std::vector<char> piece(kCopyPiece);
    for (std::uint64_t done = 0; done < size;) {
        const auto n = static_cast<DWORD>(std::min<std::uint64_t>(size - done, kCopyPiece));
        if (!readAt(t.file, piece.data(), n, done) || !writeAt(t.existing, piece.data(), n, done)) return -1;
        done += n;
    }
    return setLength(t.existing, size) && FlushFileBuffers(t.existing) != 0 ? 0 : -1;
}

int targetSyncDirectory(OutputTarget&) { return 0; }

void targetRemoveTemporary(OutputTarget& t) {
    const bool marked = t.markedForDeletion;
    closeFile(t);
    if (!marked && !t.tempName.empty()) DeleteFileW(t.tempName.c_str());
    t.tempName.clear();
    t.markedForDeletion = false;
}

void targetRemoveCreated(OutputTarget& t) {
    // Only the file this run made, through its own handle: another run may have put its own
    // under the name since.
    if (t.created && !markForDeletion(t.file, true)) DeleteFileW(t.finalPath.c_str());
    t.created = false;
    closeFile(t);
}

void targetRemovePendingNow(OutputTarget& t, bool created) noexcept {
    // The process ends next, closing a file marked for deletion; the rest goes by name.
    if (created) {
        if (!markForDeletion(t.file, true)) DeleteFileW(t.finalPath.c_str());
    } else if (!t.markedForDeletion && !t.tempName.empty()) {
        DeleteFileW(t.tempName.c_str());
    }
}

void targetHoldSignals() {
    EnterCriticalSection(&gHold.section);
    ++gHeld;
}

void targetReleaseSignals() {
    if (gHeld == 0) return;
    // An interrupt that came during the hold takes effect now, as a held signal would.
    if (--gHeld == 0 && InterlockedCompareExchange(&gInterrupted, 0, 0) != 0) endInterrupted();
    LeaveCriticalSection(&gHold.section);
}

void targetCatchInterrupts(void (*handler)() noexcept) {
    gOnInterrupt = handler;
    SetConsoleCtrlHandler(onControl, TRUE);
}

int targetWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(size - done, kPiece);
        if (std::fwrite(data + done, piece, 1, stream) != 1) return -1;
        done += piece;
    }
    return 0;
}
