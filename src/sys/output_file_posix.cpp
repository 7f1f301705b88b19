// The output file on POSIX systems. Everything is done relative to a descriptor of the
// output's directory (openat, renameat, linkat), so that any path the system accepts works,
// however deep, and no full path is ever built.
#include "sys/output_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Writes go out in pieces of at most this many bytes.
constexpr std::size_t kWritePiece = std::size_t{64} << 20;
// Direct writes are only worth their setting up for at least this many aligned bytes.
constexpr std::size_t kDirectMinimum = std::size_t{512} << 10;

enum class Kind {
    kDirect,     // a device or FIFO, written as it is
    kAnonymous,  // an unnamed temporary file, linked in when complete
    kNamed,      // a named temporary file, renamed when complete
    kCreated,    // a new file created under the output name itself
    kRewritten,  // an existing file rewritten from offset 0, its space reserved first
};

}  // namespace

struct OutputState {
    Kind kind = Kind::kDirect;
    int dirFd = -1;           // the directory the output name is in
    std::string name;         // the output's name in that directory, links followed
    std::string tempName;     // the named temporary file, when there is one
    bool replacing = false;   // a regular file stands under the name
    struct stat existing {};  // that file's status
    std::uint64_t size = 0;   // the bytes the output will have

    ~OutputState() {
        if (dirFd >= 0) close(dirFd);
    }
};

void OutputStateDelete::operator()(OutputState* state) const noexcept { delete state; }

namespace {

// The file the run has created and not yet completed, kept where a signal handler can reach
// it: a named temporary file, or a new output being written under its own name.
volatile std::sig_atomic_t gPendingDir = -1;
char gPendingName[256];

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void removePendingAndDie(int sig) {
    if (gPendingDir >= 0) unlinkat(gPendingDir, gPendingName, 0);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Blocks the cleanup signals while a file and its record for the handler come and go together.
struct SignalsHeld {
    sigset_t previous;
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (const int sig : kCleanupSignals) sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

void setPending(int dirFd, const std::string& name) {
    if (name.size() >= sizeof gPendingName) return;
    std::memcpy(gPendingName, name.c_str(), name.size() + 1);
    gPendingDir = dirFd;
}

void clearPending() { gPendingDir = -1; }

// Splits a path into a descriptor of its directory and the last name in it. Fails on a path
// that names no file in a directory ("", "dir/").
bool openParent(int base, const std::string& path, int& dirFd, std::string& name) {
    const auto slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    const std::string dir =
        slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    dirFd = openat(base, dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return dirFd >= 0;
}

// Finds the directory and name of the file that `path` stands for, following symbolic links
// in its last component, so that the temporary file is made beside the file itself.
bool resolveTarget(const char* path, OutputState& state) {
    if (!openParent(AT_FDCWD, path, state.dirFd, state.name)) return false;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (fstatat(state.dirFd, state.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode)) {
            return true;
        }
        std::vector<char> link(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = readlinkat(state.dirFd, state.name.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return false;
        int next = -1;
        std::string nextName;
        if (!openParent(state.dirFd, std::string(link.data(), static_cast<std::size_t>(n)), next,
                        nextName)) {
            return false;
        }
        close(state.dirFd);
        state.dirFd = next;
        state.name = std::move(nextName);
    }
    errno = ELOOP;
    return false;
}

// A name for a temporary file that is not taken yet in the directory, hidden and recognisable.
std::string temporaryName(int attempt) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t seed = static_cast<std::uint64_t>(now.tv_nsec) ^
                         (static_cast<std::uint64_t>(getpid()) << 20) ^
                         (static_cast<std::uint64_t>(attempt) * 0x9E3779B97F4A7C15ull);
    std::string name = ".velto-";
    for (int i = 0; i < 6; ++i) {
        name.push_back(kLetters[seed % 62]);
        seed = seed / 62 + 0x2545F4914F6CDD1Dull * (seed & 0xFF);
    }
    return name;
}

// Creates a file under a fresh temporary name, or links the open file `linkFrom` in under one,
// with the signals held so that the handler always knows it. Returns the descriptor (or 0 for
// a link), or -1.
int createNamed(OutputState& state, mode_t mode, const char* linkFrom) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(attempt);
        SignalsHeld held;
        const int fd = linkFrom != nullptr
                           ? linkat(AT_FDCWD, linkFrom, state.dirFd, name.c_str(), AT_SYMLINK_FOLLOW)
                           : openat(state.dirFd, name.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            state.tempName = name;
            setPending(state.dirFd, name);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// The name through which an open descriptor can be linked into a directory.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens a temporary file in the output's directory: an unnamed one where the system has them
// (and /proc to link it in by), a named one elsewhere. Returns its descriptor or -1.
int openTemporary(OutputState& state, mode_t mode) {
#ifdef O_TMPFILE
    if (access("/proc/self/fd", X_OK) == 0) {
        const int fd = openat(state.dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0) {
            state.kind = Kind::kAnonymous;
            return fd;
        }
        // A file system without unnamed files says so in one of these ways; anything else
        // (no permission, no space) would stop a named file as well.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
    }
#endif
    state.kind = Kind::kNamed;
    return createNamed(state, mode, nullptr);
}

// Reserves the space for `size` bytes of an open file without changing a byte of it (its
// length may grow; the caller restores it on failure). True when reserved, or when the file
// system cannot reserve at all.
bool reserveSpace(int fd, std::uint64_t size) {
    // A file-size limit would stop the write part-way; it is known before a byte is written.
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && size > limit.rlim_cur) {
        errno = EFBIG;
        return false;
    }
#ifdef FALLOC_FL_KEEP_SIZE
    if (size == 0) return true;
    if (fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0) return true;
    return errno == EOPNOTSUPP || errno == ENOSYS;
#else
    (void)fd;
    return true;
#endif
}

// Opens the existing file for rewriting from offset 0, with its space reserved. On failure the
// file is as it was.
int openForRewrite(OutputState& state, OutputOpenResult& failure) {
    const int fd = openat(state.dirFd, state.name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        failure = OutputOpenResult::kCannotOpen;
        return -1;
    }
    if (!reserveSpace(fd, state.size)) {
        // The file keeps its length; whatever part of the space was reserved is given back.
        [[maybe_unused]] const int restored = ftruncate(fd, state.existing.st_size);
        close(fd);
        failure = OutputOpenResult::kNoRoom;
        return -1;
    }
    return fd;
}

// Gives a file that replaces another that file's owner (where it can be kept) and then its
// mode, in that order, since a change of owner clears setuid and setgid.
void takeOverOwnerAndMode(int fd, const struct stat& existing) {
    if (geteuid() == 0) {
        // Keeping the owner is best effort; the bytes matter more.
        [[maybe_unused]] const int kept = fchown(fd, existing.st_uid, existing.st_gid);
    }
    fchmod(fd, existing.st_mode & 07777);
}

bool isRegular(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Copies the complete temporary file over the existing one, whose name it could not take.
bool copyOver(OutputState& state) {
    const int from = openat(state.dirFd, state.tempName.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) return false;
    OutputOpenResult failure{};
    const int to = openForRewrite(state, failure);
    bool ok = to >= 0;
    std::vector<char> piece(ok ? std::size_t{1} << 20 : 0);
    for (std::uint64_t done = 0; ok && done < state.size;) {
        const ssize_t n = pread(from, piece.data(), piece.size(), static_cast<off_t>(done));
        ok = n > 0 && pwrite(to, piece.data(), static_cast<std::size_t>(n), static_cast<off_t>(done)) == n;
        done += ok ? static_cast<std::uint64_t>(n) : 0;
    }
    if (ok) ok = ftruncate(to, static_cast<off_t>(state.size)) == 0 && fsync(to) == 0;
    if (to >= 0) ok = close(to) == 0 && ok;
    close(from);
    return ok;
}

void removeTemporary(OutputState& state) {
    SignalsHeld held;
    if (!state.tempName.empty()) unlinkat(state.dirFd, state.tempName.c_str(), 0);
    state.tempName.clear();
    clearPending();
}

// Makes the new name itself durable, where the directory can be opened to sync it.
void syncDirectory(int dirFd) {
    const int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Writes `size` bytes at `offset`, in pieces; returns how many were written before the first
// failure (errno tells which), all of them when none failed.
std::size_t writeAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, std::min(size - done, kWritePiece),
                                 offset + static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    return writeAt(fd, data, size, offset) == size;
}

// The alignment that direct writes to the file need in memory and in the file, or 0 where the
// file system does not say (memory file systems, which gain nothing from them).
std::size_t directAlignment(int fd) {
#ifdef STATX_DIOALIGN
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0 || !(sx.stx_mask & STATX_DIOALIGN) ||
        sx.stx_dio_mem_align == 0 || sx.stx_dio_offset_align == 0) {
        return 0;
    }
    return std::max(sx.stx_dio_mem_align, sx.stx_dio_offset_align);
#else
    (void)fd;
    return 0;
#endif
}

// Writes the aligned middle of a large write with O_DIRECT. Returns 1 when written, 0 when
// the file refuses direct writes (nothing was written then), -1 on a failed write.
int writeDirect(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return 0;
    const std::size_t done = writeAt(fd, data, size, offset);
    // A refusal comes with the first write; a short or failed write later is a failure.
    const int result = done == size ? 1 : done == 0 && errno == EINVAL ? 0 : -1;
    fcntl(fd, F_SETFL, flags);
    return result;
}

}  // namespace

bool outputWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return true;
    const int fd = fileno(stream);
    const off_t start = std::fflush(stream) == 0 ? ftello(stream) : -1;
    const std::size_t align = start >= 0 && isRegular(fd) ? directAlignment(fd) : 0;
    if (align == 0) return std::fwrite(data, size, 1, stream) == 1;
    // The file's whole blocks from `middle` to `tail` go direct; the ends before and after.
    const auto block = static_cast<off_t>(align);
    const off_t end = start + static_cast<off_t>(size);
    const off_t middle = (start + block - 1) / block * block;
    const off_t tail = end / block * block;
    const std::uint8_t* bulk = data + (middle - start);
    if (tail - middle < static_cast<off_t>(kDirectMinimum) || reinterpret_cast<std::uintptr_t>(bulk) % align != 0) {
        return std::fwrite(data, size, 1, stream) == 1;
    }
    bool ok = writeAllAt(fd, data, static_cast<std::size_t>(middle - start), start);
    const int direct = ok ? writeDirect(fd, bulk, static_cast<std::size_t>(tail - middle), middle) : -1;
    ok = direct == 1 || (direct == 0 && writeAllAt(fd, bulk, static_cast<std::size_t>(tail - middle), middle));
    ok = ok && writeAllAt(fd, data + (tail - start), static_cast<std::size_t>(end - tail), tail);
    return ok && fseeko(stream, end, SEEK_SET) == 0;
}

OutputFile::~OutputFile() {
    if (stream != nullptr) outputAbandon(*this);
}

OutputOpenResult outputOpen(const char* path, std::uint64_t size, OutputFile& out) {
    out.state.reset(new OutputState);
    OutputState& state = *out.state;
    state.size = size;
    if (!resolveTarget(path, state)) return OutputOpenResult::kCannotOpen;

    mode_t mode = 0666;  // for a new file, less the umask
    if (fstatat(state.dirFd, state.name.c_str(), &state.existing, 0) == 0) {
        if (S_ISDIR(state.existing.st_mode)) return OutputOpenResult::kCannotOpen;
        if (!S_ISREG(state.existing.st_mode)) {
            state.kind = Kind::kDirect;
            out.stream = std::fopen(path, "wb");
            return out.stream != nullptr ? OutputOpenResult::kOpened : OutputOpenResult::kCannotOpen;
        }
        // A file its owner has made read-only is refused, as opening it would be.
        if (faccessat(state.dirFd, state.name.c_str(), W_OK, 0) != 0) {
            return OutputOpenResult::kCannotOpen;
        }
        state.replacing = true;
        mode = 0600;  // until it takes over the owner and mode of the file it replaces
    } else if (errno != ENOENT) {
        return OutputOpenResult::kCannotOpen;
    }

    int fd = openTemporary(state, mode);
    if (fd >= 0) {
        if (state.replacing) takeOverOwnerAndMode(fd, state.existing);
    } else if (state.replacing) {
        // No temporary file can be made here: the file itself is rewritten.
        OutputOpenResult failure{};
        fd = openForRewrite(state, failure);
        if (fd < 0) return failure;
        state.kind = Kind::kRewritten;
    } else {
        // Nor, most likely, a new file; where one can be, it goes if the run does not finish.
        SignalsHeld held;
        fd = openat(state.dirFd, state.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) return OutputOpenResult::kCannotOpen;
        state.kind = Kind::kCreated;
        setPending(state.dirFd, state.name);
    }
    out.stream = fdopen(fd, "wb");
    if (out.stream == nullptr) {
        close(fd);
        outputAbandon(out);
        return OutputOpenResult::kCannotOpen;
    }
    return OutputOpenResult::kOpened;
}

int outputCommit(OutputFile& out) {
    OutputState& state = *out.state;
    const int fd = fileno(out.stream);
    bool ok = std::fflush(out.stream) == 0;
    if (ok && state.kind == Kind::kRewritten) ok = ftruncate(fd, static_cast<off_t>(state.size)) == 0;
    // The new bytes must be on disk before they take the place of the old ones.
    if (ok && isRegular(fd)) ok = fsync(fd) == 0;
    if (ok && state.kind == Kind::kAnonymous) {
        // A new file takes its name at once; an existing one is replaced by a rename below.
        const std::string from = procPath(fd);
        if (!state.replacing) {
            SignalsHeld held;
            ok = linkat(AT_FDCWD, from.c_str(), state.dirFd, state.name.c_str(), AT_SYMLINK_FOLLOW) == 0;
        } else {
            ok = createNamed(state, 0, from.c_str()) >= 0;
        }
    }
    ok = std::fclose(out.stream) == 0 && ok;
    out.stream = nullptr;

    if (ok && !state.tempName.empty()) {
        SignalsHeld held;
        if (renameat(state.dirFd, state.tempName.c_str(), state.dirFd, state.name.c_str()) == 0) {
            state.tempName.clear();
            clearPending();
        } else {
            // The file cannot take the name (a sticky directory, a file mounted over): its bytes
            // are copied into the existing file instead.
            ok = state.replacing && copyOver(state);
        }
    }
    if (!ok) {
        outputAbandon(out);
        return -1;
    }
    removeTemporary(state);
    if (state.kind != Kind::kDirect) syncDirectory(state.dirFd);
    clearPending();
    return 0;
}

void outputAbandon(OutputFile& out) {
    if (out.stream != nullptr) std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.state) return;
    OutputState& state = *out.state;
    if (state.kind == Kind::kCreated) {
        SignalsHeld held;
        unlinkat(state.dirFd, state.name.c_str(), 0);
        state.kind = Kind::kDirect;
    }
    removeTemporary(state);
}

void outputRemoveOnSignals() {
    for (const int sig : kCleanupSignals) {
        struct sigaction current {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndDie;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}
