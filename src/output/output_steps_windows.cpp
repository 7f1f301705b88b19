// The output's steps on Windows: whole UTF-16 paths, a temporary file beside the output that
// the system removes if the run is killed, and ReplaceFileW, which gives the new file the old
// one's attributes and access control list. There are no unnamed files, no descriptors by name
// and no directory to sync; interrupts come on a thread of their own.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "output/output_steps.h"
#include "sys/utf16_windows.h"

struct OutputTarget {
    std::wstring path;                    // the output name, as given
    std::wstring finalPath;               // the file it stands for, a link followed
    bool replacing = false;               // a file stands there
    DWORD attributes = 0;                 // its attributes
    FILETIME createdAt{};                 // and when it was made
    HANDLE file = INVALID_HANDLE_VALUE;   // the file being written: temporary, or the name's own
    std::wstring tempName;                // the temporary file's name, while it has one

    ~OutputTarget() { closeFile(); }
    void closeFile() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
};

void OutputTargetDelete::operator()(OutputTarget* target) const noexcept { delete target; }

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Writes go in pieces well under 2 GiB: the C library's fwrite returns 0 for a single write of
// 2 GiB or more, although the bytes reach the file.
constexpr std::size_t kPiece = std::size_t{1} << 30;

bool isDisk(HANDLE h) { return GetFileType(h) == FILE_TYPE_DISK; }

// Sets or clears the mark that makes the system remove the file when its last handle closes.
bool markForDeletion(HANDLE h, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Whether the file goes when its last handle closes; taken as so where the system cannot say.
bool deletePending(HANDLE h) {
    FILE_STANDARD_INFO standard{};
    return GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) == 0 || standard.DeletePending;
}

// A path the system gives back for a name or a handle, with the size asked for first; false
// where it cannot say (some network shares).
template <typename Ask>
bool askPath(Ask ask, std::wstring& path) {
    const DWORD n = ask(nullptr, 0);
    if (n == 0) return false;
    std::wstring found(n, L'\0');
    const DWORD got = ask(found.data(), n);
    if (got == 0 || got >= n) return false;
    found.resize(got);
    path = std::move(found);
    return true;
}

}  // namespace

int targetLook(const char* path, OutputTargetPtr& target, OutputLook& look) {
    target.reset(new OutputTarget);
    OutputTarget& t = *target;
    t.path = wideFromUtf8(path);
    if (t.path.empty() || t.path.back() == L'\\' || t.path.back() == L'/') {
        SetLastError(ERROR_INVALID_NAME);
        return -1;
    }
    // A whole path: the system's replace looks for its own temporary name beside the file,
    // and finds no directory in a bare name.
    if (!askPath([&](wchar_t* to, DWORD n) { return GetFullPathNameW(t.path.c_str(), n, to, nullptr); }, t.finalPath)) {
        return -1;
    }
    // Opened as the system opens it, links followed: no access to the data is asked for, so a
    // file another program holds open is reached too.
    const HANDLE h = CreateFileW(t.path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Where the open fails for any other cause than a missing file (the console takes no
        // such open; a file may be held or denied), the name is taken for a device, which
        // targetOpenDirect opens for writing, refusing anything that has a disk. Where nothing
        // is there, a link whose file is missing is not replaced by a new file.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) look.found = Found::kDevice;
        else look.linkRefused = GetFileAttributesW(t.path.c_str()) != INVALID_FILE_ATTRIBUTES;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    bool ok = true;
    if (!isDisk(h)) {
        look.found = Found::kDevice;  // NUL, CON, a named pipe: written as they are
    } else if (GetFileInformationByHandle(h, &info) == 0) {
        ok = false;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        look.found = Found::kDirectory;
    } else {
        t.attributes = info.dwFileAttributes;
        t.createdAt = info.ftCreationTime;
        look.found = Found::kRegular;
        t.replacing = true;
        // A symbolic link is followed: its file is replaced, beside which the temporary
        // file is made; the link stays. wine shows a POSIX link as a plain file, so every
        // name is resolved.
        const DWORD own = GetFileAttributesW(t.path.c_str());
        ok = askPath([&](wchar_t* to, DWORD n) { return GetFinalPathNameByHandleW(h, to, n, VOLUME_NAME_DOS); },
                     t.finalPath) ||
             (own != INVALID_FILE_ATTRIBUTES && !(own & FILE_ATTRIBUTE_REPARSE_POINT));
        // A file that another program holds open without letting it be removed cannot be
        // replaced, as the replace could not remove it either. Whether it may be written is
        // asked once the decision lets it through (targetOpenToWrite).
        const HANDLE probe = ok ? CreateFileW(t.finalPath.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr)
                                : INVALID_HANDLE_VALUE;
        look.pinned = probe == INVALID_HANDLE_VALUE;
        if (!look.pinned) CloseHandle(probe);
    }
    const DWORD cause = GetLastError();
    CloseHandle(h);
    SetLastError(cause);
    return ok ? 0 : -1;
}

int targetOpenDirect(OutputTarget& t) {
    t.file = CreateFileW(t.path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (t.file == INVALID_HANDLE_VALUE) return -1;
    // A file that could not be looked at is not written over.
    if (isDisk(t.file)) SetLastError(ERROR_ACCESS_DENIED);
    return isDisk(t.file) ? -1 : 0;
}

// Opened for writing, as `>` opens it, and closed: Windows answers from the access list and the
// read-only attribute alike (wine lets root open a read-only file, so the attribute is asked as
// well). Windows has no leases to wait for.
int targetOpenToWrite(OutputTarget& t, int) {
    if (t.attributes & FILE_ATTRIBUTE_READONLY) return SetLastError(ERROR_ACCESS_DENIED), -1;
    const HANDLE h = CreateFileW(t.finalPath.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    CloseHandle(h);
    return 0;
}

// Windows has no unnamed files.
int targetCreateUnnamed(OutputTarget&) { return errno = ENOTSUP, -1; }

bool targetTemporaryNamed(const OutputTarget& t) { return !t.tempName.empty(); }

int targetCreateNamed(OutputTarget& t) {
    // The file's folder, up to the last separator of its whole path, which always has one; the
    // name is UTF-16, where no unit of a character can pass for '\'.
    const std::wstring directory = t.finalPath.substr(0, t.finalPath.find_last_of(L"\\/") + 1);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long long stamp =
            (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ (GetTickCount64() << 8) ^ ++counter;
        wchar_t suffix[24];
        swprintf(suffix, sizeof suffix / sizeof suffix[0], L"%06llx", stamp & 0xFFFFFFFFFFull);
        const std::wstring name = directory + L".velto-" + suffix;
        t.file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (t.file != INVALID_HANDLE_VALUE) {
            t.tempName = name;
            // A file system that cannot mark it still gets it removed by the run itself, by name.
            markForDeletion(t.file, true);
            return 0;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    return -1;
}

std::FILE* targetStream(OutputTarget& t) {
    HANDLE own = INVALID_HANDLE_VALUE;
    if (DuplicateHandle(GetCurrentProcess(), t.file, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
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

int targetWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(size - done, kPiece);
        if (std::fwrite(data + done, piece, 1, stream) != 1) return -1;
        done += piece;
    }
    return 0;
}

// ReplaceFileW gives the new file the old one's access control list, attributes and creation
// time on Windows, which is the plan there. The attributes and the creation time are given here
// as well, for the systems whose ReplaceFileW does not (wine); the access list is not, and a new
// file (MoveFileExW) gets its directory's.
int targetKeepAttributes(OutputTarget& t, const OutputPlan&) {
    if (!t.replacing) return 0;
    constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE;
    FILE_BASIC_INFO basic{};
    basic.CreationTime.LowPart = t.createdAt.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(t.createdAt.dwHighDateTime);
    basic.FileAttributes = (t.attributes & kSettable) != 0 ? t.attributes & kSettable : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(t.file, FileBasicInfo, &basic, sizeof basic) != 0 ? 0 : -1;
}

int targetSync(OutputTarget& t) { return !isDisk(t.file) || FlushFileBuffers(t.file) != 0 ? 0 : -1; }

int targetTakeName(OutputTarget& t) {
    // The file must stay once it has the name, and the move opens it by name, which a handle of
    // ours would refuse. From here until the name is taken, a killed run leaves the complete
    // temporary file. Where the file system could not mark it, it cannot clear the mark either.
    if (!markForDeletion(t.file, false) && deletePending(t.file)) return -1;
    t.closeFile();
    // A new name is taken only where no file has taken it meanwhile.
    const bool moved = t.replacing ? ReplaceFileW(t.finalPath.c_str(), t.tempName.c_str(), nullptr, 0, nullptr,
                                                  nullptr) != 0
                                   : MoveFileExW(t.tempName.c_str(), t.finalPath.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    if (!moved) {
        const DWORD cause = GetLastError();
        if (cause != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return -1;
        // The old file is gone, but the new one did not take its name: it is moved there plainly.
        // Where even that fails, the complete conversion stays under its temporary name, the only
        // copy there is, which is then not removed, and the run fails.
        if (MoveFileExW(t.tempName.c_str(), t.finalPath.c_str(), MOVEFILE_WRITE_THROUGH) == 0) {
            t.tempName.clear();
            SetLastError(cause);
            return -1;
        }
    }
    t.tempName.clear();
    return 0;
}

// A new name is made durable by the move itself where it is MoveFileExW's
// (MOVEFILE_WRITE_THROUGH); ReplaceFileW takes no such flag, and the name it gives is as
// durable as the file system makes it.
int targetSyncDirectory(OutputTarget&) { return 0; }

void targetRemoveTemporary(OutputTarget& t) {
    // A file marked for deletion goes as its handle closes; one that could not be marked, by name.
    t.closeFile();
    if (!t.tempName.empty()) DeleteFileW(t.tempName.c_str());
    t.tempName.clear();
}

void targetRemoveTemporaryNow(OutputTarget& t) noexcept {
    // A file marked for deletion goes when the process ends next; marking it once more by name
    // changes nothing, and removes one that could not be marked.
    if (!t.tempName.empty()) DeleteFileW(t.tempName.c_str());
}
