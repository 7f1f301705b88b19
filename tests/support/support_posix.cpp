// The helpers that need POSIX processes and descriptors: scratch trees of any depth, running the
// built program as a user would, and the C library's iconv for expected texts.
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <grp.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

ScratchDir::ScratchDir() {
    std::string templ = (fs::temp_directory_path() / "velto-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = templ;
}

namespace {

// Calls `visit(dirFd, name, stat)` for every entry below the open directory `dirFd`, children
// before their directory, with descriptors rather than paths so that depth does not matter.
template <typename Visit>
void walkTree(int dirFd, const std::string& prefix, Visit&& visit) {
    const int own = dup(dirFd);
    DIR* d = fdopendir(own);
    if (d == nullptr) {
        close(own);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            const int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0) {
                walkTree(sub, prefix + name + "/", visit);
                close(sub);
            }
        }
        visit(dirFd, prefix + name, name, st);
    }
}

}  // namespace

ScratchDir::~ScratchDir() {
    // A row may have taken its own write or search bits from a directory: they are given back
    // first, or a user who is not root could not empty it.
    if (geteuid() != 0) std::system(("chmod -R u+rwx '" + path.string() + "' 2>/dev/null").c_str());
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        walkTree(fd, "", [](int dirFd, const std::string&, const std::string& name, const struct stat& st) {
            unlinkat(dirFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
        });
        close(fd);
    }
    rmdir(path.c_str());
}

std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + dir.string());
    walkTree(fd, "", [&](int dirFd, const std::string& rel, const std::string& name, const struct stat& st) {
        std::string content;
        if (S_ISDIR(st.st_mode)) {
            return;
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(4096, '\0');
            const ssize_t n = readlinkat(dirFd, name.c_str(), target.data(), target.size());
            content = "-> " + target.substr(0, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if (!S_ISREG(st.st_mode)) {
            content = kNotRegular;
        } else {
            const int f = openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
            char piece[65536];
            for (ssize_t n; f >= 0 && (n = read(f, piece, sizeof piece)) > 0;) content.append(piece, static_cast<std::size_t>(n));
            if (f >= 0) close(f);
        }
        files[rel] = content;
    });
    close(fd);
    return files;
}

unsigned modeOf(const fs::path& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void owned(const fs::path& p, unsigned mode, int user) {
    if (chown(p.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(user)) != 0 ||
        chmod(p.c_str(), static_cast<mode_t>(mode)) != 0) {
        throw std::runtime_error("cannot give " + p.string() + " its owner and mode");
    }
}

void makeDirectories(const fs::path& dir, const std::string& relative) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const auto& part : fs::path(relative)) {
        if (fd < 0) break;
        mkdirat(fd, part.c_str(), 0755);
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    if (fd < 0) throw std::runtime_error("cannot make " + relative);
    close(fd);
}

unsigned runDeadline(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    if (options.watchdogSeconds != 0) return options.watchdogSeconds;
    std::uintmax_t bytes = options.stdinPipe ? options.stdinPipe->size() : 0;
    for (const std::string& arg : args) {
        const fs::path p = options.workDir.empty() ? fs::path(arg) : options.workDir / arg;
        std::error_code error;
        if (fs::is_regular_file(p, error)) bytes += fs::file_size(p, error);
    }
    unsigned seconds = 3 + static_cast<unsigned>(bytes >> 23);
    if (kSanitizedBuild) seconds *= 4;
    if (fs::path(program).filename() == "wine") seconds *= 8;
    return seconds;
}

namespace {

// Ends every process of the process group `group`, and waits until none is left: each is a
// child of this process by then (a subreaper), or soon will be.
void endGroup(pid_t group) {
    for (int tries = 0; kill(-group, SIGKILL) == 0 && tries < 10000; ++tries) {
        while (waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        usleep(1000);
    }
}

// Sets each "NAME=value" of `environment` in a forked child.
void setEnvironment(const std::vector<std::string>& environment) {
    for (const std::string& setting : environment) {
        const std::size_t equals = setting.find('=');
        setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    const unsigned deadline = runDeadline(program, args, options);
    ScratchDir capture;
    const std::string outPath =
        options.stdoutPath.empty() ? (capture / "stdout").string() : options.stdoutPath;
    const std::string errPath = (capture / "stderr").string();
    const std::string rssPath = (capture / "peak-rss").string();

    std::vector<char*> argv;
    std::string helper = VELTO_PEAK_RSS;
    std::string rssArg = rssPath;
    std::string name = program;
    argv.push_back(helper.data());
    argv.push_back(rssArg.data());
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    // A pipe on stdin is fed by a process of its own, which dies quietly should the program
    // stop reading early.
    int feed[2] = {-1, -1};
    pid_t feeder = -1;
    if (options.stdinPipe) {
        if (pipe(feed) != 0) throw std::runtime_error("pipe failed");
        feeder = fork();
        if (feeder < 0) throw std::runtime_error("fork failed");
        if (feeder == 0) {
            close(feed[0]);
            const std::string& bytes = *options.stdinPipe;
            for (std::size_t done = 0; done < bytes.size();) {
                const ssize_t n = write(feed[1], bytes.data() + done, bytes.size() - done);
                if (n <= 0) _exit(0);
                done += static_cast<std::size_t>(n);
            }
            _exit(0);
        }
        close(feed[1]);
    }

    // Whatever the child leaves running is made this process's child as its parent ends, to be
    // waited for.
    if (options.endsItsProcesses) prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.endsItsProcesses) setpgid(0, 0);
        if (feed[0] >= 0) {
            dup2(feed[0], 0);
            close(feed[0]);
        }
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(120);
        dup2(out, 1);
        dup2(options.stderrToStdout ? out : err, 2);
        close(out);
        close(err);
        if (options.stdoutBrokenPipe) {
            int fds[2];
            if (pipe(fds) != 0) _exit(122);
            close(fds[0]);
            dup2(fds[1], 1);
            close(fds[1]);
        }
        if (options.closeStdout) close(1);
        if (options.closeStderr) close(2);
        if (!options.workDir.empty() && !changeDirectory(options.workDir)) _exit(121);
        if (options.umask >= 0) ::umask(static_cast<mode_t>(options.umask));
        setEnvironment(options.environment);
        resetSignals();
        if (options.ignoredSignal != 0) std::signal(options.ignoredSignal, SIG_IGN);
        if (options.user >= 0) {
            const auto id = static_cast<uid_t>(options.user);
            if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(123);
        }
        if (options.fileSizeLimit >= 0) {
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.dataLimit >= 0) {
            struct rlimit limit {};
            limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.dataLimit);
            setrlimit(RLIMIT_DATA, &limit);
        }
        // The alarm survives exec: a child that never ends is killed, not waited for forever.
        alarm(deadline);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (feed[0] >= 0) close(feed[0]);
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) != pid) throw std::runtime_error("waitpid failed");
    if (feeder > 0) waitpid(feeder, nullptr, 0);
    if (options.endsItsProcesses) endGroup(pid);

    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (options.stdoutPath.empty()) result.out = readFile(outPath);
    result.err = readFile(errPath);
    std::ifstream rss(rssPath);
    rss >> result.maxRssKiB;
    return result;
}

RunResult runVelto(const std::vector<std::string>& args, const RunOptions& options) {
    return runProgram(VELTO_BIN, args, options);
}

const char* veltoPath() { return VELTO_BIN; }

pid_t startOnTerminal(const std::vector<std::string>& command, const fs::path& dir,
                      const std::vector<std::string>& environment, int& terminal) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 200;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
    if (child < 0) throw std::runtime_error("forkpty failed");
    if (child == 0) {
        resetSignals();
        setEnvironment(environment);
        std::vector<char*> argv;
        std::vector<std::string> copies = command;
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        alarm(60);
        if (chdir(dir.c_str()) == 0) execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

RunResult onTerminal(const std::vector<std::string>& command, const fs::path& dir,
                     const std::vector<std::string>& environment) {
    int terminal = -1;
    const pid_t child = startOnTerminal(command, dir, environment, terminal);
    // Read until the terminal has no writer left (EIO on Linux).
    RunResult result;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void resetSignals() {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) std::signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool changeDirectory(const fs::path& dir) {
    if (chdir(dir.c_str()) == 0) return true;
    if (errno != ENAMETOOLONG) return false;
    if (dir.is_absolute() && chdir("/") != 0) return false;
    for (const auto& part : dir.relative_path()) {
        if (chdir(part.c_str()) != 0) return false;
    }
    return true;
}

// ---- Output tests: skips, mounts, traced runs --------------------------------------------

namespace {

// How `found` differs from `expected` under `name`: a fact ("name::mode") by both values, its
// line feeds shown as "\n"; a file's bytes by the first offset that differs and both lengths.
std::string howItDiffers(const std::string& name, const std::string& expected, const std::string& found) {
    const auto shown = [](const std::string& v) { return '"' + replaced(v, "\n", "\\n").append(1, '"'); };
    if (name.find("::") != std::string::npos) return "expected " + shown(expected) + ", found " + shown(found);
    const auto first = std::mismatch(expected.begin(), expected.end(), found.begin(), found.end()).first;
    const auto at = first - expected.begin();
    return "the bytes differ from offset " + std::to_string(at) + ", " + std::to_string(expected.size()) +
           " expected, " + std::to_string(found.size()) + " found";
}

}  // namespace

std::string differences(const Files& expected, const Files& actual) {
    std::string out;
    for (const auto& [name, bytes] : expected) {
        const auto found = actual.find(name);
        const std::string shown = name.substr(0, 120);
        if (found == actual.end()) out += " missing " + shown + ";";
        else if (found->second != bytes) out += " " + shown + ": " + howItDiffers(name, bytes, found->second) + ";";
    }
    for (const auto& [name, bytes] : actual) {
        if (!expected.contains(name)) out += " left behind " + name.substr(0, 120) + ";";
    }
    return out;
}

std::string missing(const std::string& program, const std::string& package) {
    static std::map<std::string, bool> found;
    if (!found.contains(program)) {
        found[program] = std::system(("command -v '" + program + "' >/dev/null 2>&1").c_str()) == 0;
    }
    return found[program] ? "" : "needs " + program + " (apt-get install " + package + ")";
}

std::vector<std::string> inOwnMounts(const std::string& prepare, std::vector<std::string> command) {
    command.insert(command.begin(),
                   {"/usr/bin/unshare", "-m", "--propagation", "private", "sh", "-c", prepare + " && exec \"$@\"", "sh"});
    return command;
}

std::vector<std::string> underStrace(const fs::path& log, const std::vector<std::string>& options,
                                     const std::vector<std::string>& args) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> command = {
        "/usr/bin/strace", "-f", "-o", log.string(), "-E",
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") + "detect_leaks=0"};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(VELTO_BIN);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

void writeClip(const fs::path& p, std::uint64_t n) {
    const auto length = static_cast<std::uint32_t>(n);
    const std::string header = riffHeader(length + 36) + chunk("fmt ", formatBody({})) + chunkHeader("data", length);
    if (n < (1u << 30)) return writeFile(p, header + noise(n, 3));
    std::fstream f(p, std::ios::binary | std::ios::out | std::ios::trunc);
    f << header;
    const std::uint64_t probes[] = {0, (std::uint64_t{1} << 31) - 44, std::uint64_t{1} << 31, n - 4096};
    for (const std::uint64_t probe : probes) {
        f.seekp(static_cast<std::streamoff>(44 + probe));
        f << noise(4096, static_cast<std::uint32_t>(probe % 1000));
    }
    f.seekp(static_cast<std::streamoff>(43 + n));
    f.put('\0');
}

RunResult runCommand(const std::vector<std::string>& command, const RunOptions& options) {
    return runProgram(command.front(), {command.begin() + 1, command.end()}, options);
}

RunResult captureStreams(const std::function<void()>& call) {
    ScratchDir dir;
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved[] = {dup(1), dup(2)};
    for (const int fd : {1, 2}) {
        const int to = open((dir / std::to_string(fd)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        dup2(to, fd);
        close(to);
    }
    call();
    std::fflush(stdout);
    std::fflush(stderr);
    for (const int fd : {1, 2}) {
        dup2(saved[fd - 1], fd);
        close(saved[fd - 1]);
    }
    return {.out = readFile(dir / "1"), .err = readFile(dir / "2")};
}

const char* windowsExe() {
    const char* exe = std::getenv("VELTO_WINDOWS_EXE");
    if (exe == nullptr) return nullptr;
    const fs::path prefix = fs::absolute(fs::path(exe)).parent_path() / "wine-prefix";
    setenv("WINEPREFIX", prefix.c_str(), 0);
    setenv("WINEDEBUG", "-all", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    std::system("wineserver -p </dev/null >/dev/null 2>&1");
    // The first run in a new prefix makes it, and says so on the console.
    std::system("wine cmd /c exit </dev/null >/dev/null 2>&1");
    return exe;
}

WineServerStop::~WineServerStop() { std::system("wineserver -k"); }

namespace {

// What a row writes to standard output and standard error, the program's own reports from the
// rows that run its code in this process among them, is kept apart while the row runs and shown
// where it fails or skips: a passing run shows the test framework's lines alone. The framework
// prints a row's start before this listener is called and its end after.
class QuietRows : public ::testing::EmptyTestEventListener {
    int saved_[2] = {-1, -1};
    std::FILE* kept_ = nullptr;

    void OnTestStart(const ::testing::TestInfo&) override {
        std::fflush(stdout);
        std::fflush(stderr);
        kept_ = std::tmpfile();
        for (const int fd : {1, 2}) saved_[fd - 1] = kept_ != nullptr ? dup(fd) : -1;
        if (kept_ != nullptr) dup2(fileno(kept_), 1), dup2(fileno(kept_), 2);
    }
    void OnTestEnd(const ::testing::TestInfo& row) override {
        if (kept_ == nullptr) return;
        std::fflush(stdout);
        std::fflush(stderr);
        for (const int fd : {1, 2}) dup2(saved_[fd - 1], fd), close(saved_[fd - 1]);
        if (row.result()->Failed() || row.result()->Skipped()) {
            std::rewind(kept_);
            char piece[4096];
            for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, kept_)) > 0;) std::fwrite(piece, 1, n, stdout);
        }
        std::fclose(kept_);
        kept_ = nullptr;
    }
};

const bool kQuietRows = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new QuietRows);
    return true;
}();

std::string converted(const char* to, const char* from, std::string_view text) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
    std::string in(text);
    std::string out(in.size() * 2 + 16, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t srcLeft = in.size();
    std::size_t dstLeft = out.size();
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1) || srcLeft != 0) {
        throw std::runtime_error("iconv cannot convert: " + in);
    }
    out.resize(out.size() - dstLeft);
    return out;
}

}  // namespace

std::string toCp932(std::string_view utf8) { return converted("CP932", "UTF-8", utf8); }
std::string fromCp932(std::string_view bytes) { return converted("UTF-8", "CP932", bytes); }

}  // namespace testing_support
