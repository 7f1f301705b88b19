#include "wav/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary file being written, kept where a signal handler can reach it.
char gPendingTemp[4096];
volatile std::sig_atomic_t gHavePendingTemp = 0;

void setPending(const std::string& path) {
    if (path.size() >= sizeof gPendingTemp) return;
    std::memcpy(gPendingTemp, path.c_str(), path.size() + 1);
    gHavePendingTemp = 1;
}

void clearPending() { gHavePendingTemp = 0; }

extern "C" void removePendingAndDie(int sig) {
    if (gHavePendingTemp) unlink(gPendingTemp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

int openDirect(const char* path, OutputFile& out) {
    out.stream = std::fopen(path, "wb");
    return out.stream ? 0 : -1;
}

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

OutputFile::~OutputFile() {
    if (stream != nullptr) outputAbandon(*this);
}

int outputOpen(const char* path, OutputFile& out) {
    std::string target;
    mode_t mode = 0;
    struct stat st {};
    bool replacing = false;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return -1;
        if (!S_ISREG(st.st_mode)) return openDirect(path, out);
        // A file its owner has made read-only is refused, as opening it would be.
        if (access(path, W_OK) != 0) return -1;
        char* real = realpath(path, nullptr);
        if (real == nullptr) return openDirect(path, out);
        target = real;
        std::free(real);
        mode = st.st_mode & 07777;
        replacing = true;
    } else {
        struct stat link {};
        // Anything but a plain missing name (a dangling link, a path that cannot be searched)
        // is left to a direct open, which creates or refuses it as usual.
        if (errno != ENOENT || lstat(path, &link) == 0) return openDirect(path, out);
        target = path;
        mode = 0666 & ~currentUmask();
    }

    std::string temp = directoryOf(target) + "/.velto-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        // No temporary file there: a missing directory fails the direct open too, a directory
        // that takes no new file may still let the output itself be rewritten.
        return openDirect(path, out);
    }
    setPending(temp);
    fchmod(fd, mode);
    if (replacing && geteuid() == 0) {
        // Keeping the owner is best effort; the bytes matter more.
        [[maybe_unused]] const int kept = fchown(fd, st.st_uid, st.st_gid);
    }
    out.stream = fdopen(fd, "wb");
    if (out.stream == nullptr) {
        close(fd);
        unlink(temp.c_str());
        clearPending();
        return -1;
    }
    out.tempPath = std::move(temp);
    out.finalPath = std::move(target);
    return 0;
}

int outputCommit(OutputFile& out) {
    bool ok = std::fflush(out.stream) == 0;
    // The new bytes must be on disk before they take the place of the old ones.
    if (ok && !out.tempPath.empty()) ok = fsync(fileno(out.stream)) == 0;
    ok = std::fclose(out.stream) == 0 && ok;
    out.stream = nullptr;
    if (out.tempPath.empty()) return ok ? 0 : -1;
    if (ok) ok = std::rename(out.tempPath.c_str(), out.finalPath.c_str()) == 0;
    if (!ok) unlink(out.tempPath.c_str());
    clearPending();
    out.tempPath.clear();
    return ok ? 0 : -1;
}

void outputAbandon(OutputFile& out) {
    if (out.stream != nullptr) std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.tempPath.empty()) unlink(out.tempPath.c_str());
    clearPending();
    out.tempPath.clear();
}

void outputRemoveOnSignals() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndDie;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}
