// Helpers shared by the tests: WAV images built in memory, expected answers written from the
// rules they check, scratch directories, running the built program, and an independent UTF-8 to
// CP932 conversion for expected console text.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "wav/wav_info.h"

namespace fs = std::filesystem;

namespace testing_support {

// ---- WAV images -------------------------------------------------------------------------

std::string le16(std::uint16_t v);
std::string le32(std::uint32_t v);

// A format chunk; by default 16-bit stereo at 44100 Hz (kStereo16).
struct Format {
    std::uint16_t tag = 1;
    std::uint16_t channels = 2;
    std::uint32_t rate = 44100;
    std::uint32_t average = 176400;
    std::uint16_t align = 4;
    std::uint16_t bits = 16;
};

inline const Format kStereo16{};

// A copy of `f` with `change` applied to it.
template <typename Change>
Format with(Format f, Change change) {
    change(f);
    return f;
}

// "RIFF" <riffLength> "WAVE", the length as given.
std::string riffHeader(std::uint32_t riffLength);
// A chunk with a body, declaring the body's size.
std::string chunk(std::string_view tag, std::string_view body);
// A chunk header alone, declaring any length.
std::string chunkHeader(std::string_view tag, std::uint32_t declared);
// The 16 bytes of a format chunk body.
std::string formatBody(const Format& f);
// RIFF header + format chunk + data chunk, the RIFF length set right.
std::string canonicalWav(const Format& f, std::string_view data);
// Wraps chunk bytes in a RIFF header with the right length.
std::string riffWrap(std::string_view chunks);
// `n` reproducible pseudo-random bytes.
std::string noise(std::size_t n, std::uint32_t seed = 1);
// The sample bytes a record holds.
std::string bytesOf(const WavInfo& info);

// ---- Expected answers -------------------------------------------------------------------

// The amplitude mirror, written from its definition: of `data` in frames of `channels` samples
// of `bits` (8 or 16), the first two samples of each whole frame become 0x80 - v modulo 2^8
// (a byte), or 0x8000 - v modulo 2^16 (a little-endian word); every other byte is left.
std::string mirrored(std::string_view data, int bits, int channels);

// Known values of the mirror: zero, the smallest and largest values of each sign, and the
// quarters, which map onto themselves.
struct MirrorRow {
    int bits;
    std::uint16_t before;
    std::uint16_t after;
};
extern const std::vector<MirrorRow> kMirrorTable;

// How the writer's refusals end a line, in UTF-8; the first follows the output name.
inline const std::string kCannotOpen = " をオープンできません.\n";
inline const std::string kWriteFailed = "書き込みにに失敗しました.\n";
inline const std::string kDataWriteFailed = "wavDataWriteでエラー発生.\n";
// The reader's refusal of a data chunk that cannot be read whole.
inline const std::string kReadFailed = "読み込みに失敗しました.\n";
// The six lines of stdout that report a format chunk.
std::string formatReport(const Format& f);
// The lines of stderr that give the lengths of the format and data chunks.
std::string fmtLine(std::uint32_t length);
std::string dataLine(std::uint32_t length);

// The whole console output of one run of `velto in.wav out.wav` over `file`, in UTF-8.
struct ReportCase {
    std::string name;  // what the row shows; rowName() makes it a test name
    std::string file;  // the bytes of in.wav
    std::string out;   // expected stdout
    std::string err;   // expected stderr
    int status;        // 0, or 255 for the program's -1
};
// Every way an input is reported, accepted or refused.
std::vector<ReportCase> reportCases();
// A row is shown by its name in test listings, not as its bytes.
void PrintTo(const ReportCase& row, std::ostream* os);

// A row's description as a test name: its letters and digits, each run of anything else one
// underscore ("format chunk of 18 bytes" -> "format_chunk_of_18_bytes").
std::string rowName(std::string_view description);
// `s` with every `from` replaced by `to`.
std::string replaced(std::string s, std::string_view from, std::string_view to);

// ---- Files ------------------------------------------------------------------------------

// The files below a directory, by path relative to it, with their bytes (see snapshot).
using Files = std::map<std::string, std::string>;

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
// link, kNotRegular for a FIFO or a device (never opened). Works however deep the tree, and
// never follows a link.
inline const std::string kNotRegular = "<not a regular file>";
std::map<std::string, std::string> snapshot(const fs::path& dir);
// The permission bits of the file `p` names, links followed; 0 when there is none.
unsigned modeOf(const fs::path& p);
// The user id of user nobody, whom the tests that need another user run as.
inline constexpr int kNobody = 65534;
// Gives the file `p` to `user` (and the group of the same id) and `mode`; throws where that
// cannot be done (the tests that call it run as root).
void owned(const fs::path& p, unsigned mode, int user = 0);
// True when the two files hold the same bytes, read a piece at a time (for files of gigabytes).
bool sameFiles(const fs::path& a, const fs::path& b);
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
    unsigned watchdogSeconds = 0;     // the child is killed by SIGALRM after this long; 0 for
                                      // a deadline from the size of its input (runDeadline)
    int umask = -1;                   // the child's umask, when set
    std::optional<std::string> stdinPipe;  // bytes fed to the child's stdin through a pipe
    int user = -1;                    // run as this user id (and group id), as root only
    int ignoredSignal = 0;            // start with this signal ignored, as nohup does SIGHUP
    bool stderrToStdout = false;      // stderr where stdout goes, as `> all 2>&1` does
    std::vector<std::string> environment;  // "NAME=value" set for the child, over the tests' own
    bool endsItsProcesses = false;    // the child in a process group of its own, every process
                                      // of which is ended and waited for when the child ends
};

struct RunResult {
    int status = -1;        // exit status, or 128 + signal number
    std::string out;        // bytes written to stdout
    std::string err;        // bytes written to stderr
    long maxRssKiB = 0;     // the program's peak resident memory
};

// True where the tests run under AddressSanitizer, which slows a run down and gives the heap a
// shadow of one byte in eight.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// Seconds a run of `program` with `args` may take before it counts as hung: a few seconds,
// and one more for every 8 MiB of the files it is given and of its piped input; four times
// that under the sanitizers, and eight times under wine, which starts slowly. A fault that
// makes a run loop forever fails in seconds, not minutes.
unsigned runDeadline(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options);

// Runs `program` with `args` (without the program name), through a small helper that
// measures its peak memory.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options);
RunResult runVelto(const std::vector<std::string>& args, const RunOptions& options);
// Runs `command` (a program found on the PATH, and its arguments) in `dir` on a pseudo-terminal
// of 200 columns, stdout and stderr both on it, as a user at a console would, with each of
// `environment` ("NAME=value") set; returns what the terminal was sent, in `out`, and the status.
RunResult onTerminal(const std::vector<std::string>& command, const fs::path& dir,
                     const std::vector<std::string>& environment = {});
// The same started and left running: the child's pid, and the terminal's side in `terminal`.
pid_t startOnTerminal(const std::vector<std::string>& command, const fs::path& dir,
                      const std::vector<std::string>& environment, int& terminal);
// The path of the built velto.
const char* veltoPath();
// Prepares a forked child to run a program as a user would start it: every signal at its
// default disposition, none blocked, and no stray alarm.
void resetSignals();
// Changes to `dir` even where its path is longer than the system takes in one call.
bool changeDirectory(const fs::path& dir);

// ---- Output tests: skips, namespaces, traced runs, large clips ----------------------------

// What differs between two sets of files: names missing or left behind, a fact's two values, a
// file's first differing offset and both lengths; empty when nothing does.
std::string differences(const Files& expected, const Files& actual);
// Empty where `program` is installed; otherwise why a row cannot run, with the package that
// brings it ("needs strace (apt-get install strace)"). Each program is looked up once.
std::string missing(const std::string& program, const std::string& package);
// `command` in a mount namespace of its own, run after the shell commands `prepare` (which
// may mount over anything: the rest of the system never sees it). Needs root.
std::vector<std::string> inOwnMounts(const std::string& prepare, std::vector<std::string> command);
// velto with `args` under `strace -f`, the trace written to `log`, with the further strace
// options `options` (each "-e", "inject=..." pair as two elements). LeakSanitizer, which
// cannot work under a tracer, is turned off for the traced program alone.
std::vector<std::string> underStrace(const fs::path& log, const std::vector<std::string>& options,
                                     const std::vector<std::string>& args);
// A canonical 16-bit stereo clip of `n` data bytes at `p`: noise throughout, or for clips over
// 1 GiB a sparse file of zeros with noise at probes on both sides of 2 GiB and at its end.
void writeClip(const fs::path& p, std::uint64_t n);
// Runs `command` (its program by full path, then its arguments) as runProgram does.
RunResult runCommand(const std::vector<std::string>& command, const RunOptions& options);
// What `call`, the program's own code run in this process, writes to standard output and
// standard error: the descriptors 1 and 2 go to files while it runs (POSIX only).
RunResult captureStreams(const std::function<void()>& call);

// ---- Running velto.exe under wine --------------------------------------------------------

// The velto.exe that VELTO_WINDOWS_EXE names, with wine made ready to run it: its own prefix
// beside it, made before the first run that is compared, quiet, the arguments and file names
// read as UTF-8 whatever the locale of the test run, and a wine server started apart (or
// already running), so that it holds no pipe of ours. Null when none is named.
const char* windowsExe();

// Stops the wine server when a test ends.
struct WineServerStop {
    WineServerStop() = default;
    WineServerStop(const WineServerStop&) = delete;
    WineServerStop& operator=(const WineServerStop&) = delete;
    ~WineServerStop();
};

// ---- Console text -----------------------------------------------------------------------

// The CP932 bytes of a UTF-8 text, by the system's own conversion (the C library's iconv on
// POSIX), as an answer independent of the program's compile-time encoder.
std::string toCp932(std::string_view utf8);
// The UTF-8 text of CP932 bytes, likewise.
std::string fromCp932(std::string_view bytes);

}  // namespace testing_support
