// Helpers shared by the tests: WAV images built in memory, scratch directories, running the
// built program, and an independent UTF-8 to CP932 conversion for expected console text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace testing_support {

// ---- WAV images -------------------------------------------------------------------------

std::string le16(std::uint16_t v);
std::string le32(std::uint32_t v);

struct Format {
    std::uint16_t tag = 1;
    std::uint16_t channels = 2;
    std::uint32_t rate = 44100;
    std::uint32_t average = 176400;
    std::uint16_t align = 4;
    std::uint16_t bits = 16;
};

// A copy of `f` with `change` applied to it.
template <typename Change>
Format with(Format f, Change change) {
    change(f);
    return f;
}

// "RIFF" <length> "WAVE"; the length defaults to what a file of `bodySize` chunk bytes needs.
std::string riffHeader(std::uint32_t riffLength);
// A chunk with a body; its declared length is the body's size unless given.
std::string chunk(std::string_view tag, std::string_view body);
std::string chunkHeader(std::string_view tag, std::uint32_t declared);
// The 16 bytes of a format chunk body.
std::string formatBody(const Format& f);
// RIFF header + format chunk + data chunk, the RIFF length set right.
std::string canonicalWav(const Format& f, std::string_view data);
// Wraps chunk bytes in a RIFF header with the right length.
std::string riffWrap(std::string_view chunks);
// `n` reproducible pseudo-random bytes.
std::string noise(std::size_t n, std::uint32_t seed = 1);

// ---- Files ------------------------------------------------------------------------------

// A fresh directory, removed with everything in it when the object goes.
struct ScratchDir {
    fs::path path;
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    fs::path operator/(std::string_view name) const { return path / name; }
};

// A path as the program's functions take it: its bytes on POSIX, UTF-8 on Windows.
std::string programPath(const fs::path& p);
void writeFile(const fs::path& p, std::string_view bytes);
std::string readFile(const fs::path& p);
// Names in the directory, sorted.
std::vector<std::string> listDir(const fs::path& dir);
// The files below `dir`, by path relative to it: a file's bytes, "-> target" for a symbolic
// link. Works however deep the tree, and never follows a link.
std::map<std::string, std::string> snapshot(const fs::path& dir);
// Makes the directories of `relative` below `dir`, however long the path.
void makeDirectories(const fs::path& dir, const std::string& relative);

// ---- Running velto ----------------------------------------------------------------------

struct RunOptions {
    fs::path workDir;                 // the child's working directory
    long long fileSizeLimit = -1;     // RLIMIT_FSIZE for the child
    bool closeStdout = false;         // start the child with descriptor 1 closed
    bool closeStderr = false;         // start the child with descriptor 2 closed
    std::string stdoutPath;           // write the child's stdout here instead of capturing
    bool stdoutBrokenPipe = false;    // stdout is a pipe nobody reads any more
    long long dataLimit = -1;         // RLIMIT_DATA for the child, in bytes
    unsigned watchdogSeconds = 60;    // the child is killed by SIGALRM after this long
    int umask = -1;                   // the child's umask, when set
    std::optional<std::string> stdinPipe;  // bytes fed to the child's stdin through a pipe
    int user = -1;                    // run as this user id (and group id), as root only
    bool ignoreHangup = false;        // start with SIGHUP ignored, as nohup does
    bool stderrToStdout = false;      // stderr where stdout goes, as `> all 2>&1` does
};

struct RunResult {
    int status = -1;        // exit status, or 128 + signal number
    std::string out;        // bytes written to stdout
    std::string err;        // bytes written to stderr
    long maxRssKiB = 0;     // the program's peak resident memory
};

// Runs `program` with `args` (without the program name), through a small helper that
// measures its peak memory.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options);
RunResult runVelto(const std::vector<std::string>& args, const RunOptions& options);
// The path of the built velto.
const char* veltoPath();
// Prepares a forked child to run a program as a user would start it: every signal at its
// default disposition, none blocked, and no stray alarm.
void resetSignals();
// Changes to `dir` even where its path is longer than the system takes in one call.
bool changeDirectory(const fs::path& dir);

// ---- Console text -----------------------------------------------------------------------

// The CP932 bytes of a UTF-8 text, by the C library's iconv.
std::string sjis(std::string_view utf8);
// The UTF-8 text of CP932 bytes, likewise.
std::string fromSjis(std::string_view bytes);

}  // namespace testing_support
