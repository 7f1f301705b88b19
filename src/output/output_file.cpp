// How an output is made: which steps it takes in what order, and what a failure or a signal
// leaves. Whether and how it is written is decided from one look at its name (outputDecide);
// the steps themselves are the platform's (output_steps.h).
//
// An output's life, each state a value of OutputState held in OutputFile::state:
//
//   outputOpen: look at the name, and where a file may be made, make the unnamed temporary
//   file there; then decide
//       │
//       ├── a device, FIFO, pipe or descriptor ──> DIRECT ── outputCommit ──> DONE
//       │                                            (a failure keeps what was written)
//       ├── the look fails (no such folder, no temporary file can be made there), or the
//       │   decision refuses ──> REFUSED (nothing made, or the unnamed file closed;
//       │   "cannot open")
//       │
//       └── a regular file or nothing there ──> TEMPORARY: the unnamed file in the output's
//           directory; where the system has none, one under a hidden name (never in a
//           directory that only grows), made with the signals held, which a signal removes
//           before the process ends
//             │
//             ├── any failure (its stream too), outputAbandon, or a signal ──> GONE (the
//             │   name as it was)
//             │
//             └── outputCommit: close, keep the old file's attributes, sync
//                   ── signals held from here to the end of the process ──
//                 NAMING: the file takes the output name, in one of these ways:
//                   - a new output: the unnamed file linked under the name by its descriptor,
//                     or through /proc;
//                   - a file replaced, or a new name that another run took meanwhile: the
//                     unnamed file linked under a temporary name, which is renamed;
//                   - a named temporary file: renamed;
//                   - on Windows: ReplaceFileW over a file, MoveFileExW to a new name; where
//                     ReplaceFileW fails after the old file is gone, MoveFileExW once more.
//                   │
//                   ├── refused ──> GONE ("write failed"; the name as it was)
//                   ├── on Windows, the old file gone and the last move failed ──> LEFT: the
//                   │   conversion as .velto-XXXXXX, nothing under the name ("write failed")
//                   └── done ──> NAMED ── directory synced ──> DONE
//                                  └── the sync fails ──> the new file stands, the run fails
//
// Nothing catches a crash (SIGSEGV, SIGBUS, SIGABRT and the like), SIGKILL, or signals 32 and
// 33, which the C library keeps for itself; nor, on Windows, TerminateProcess. These, and a
// power cut, can leave a temporary file under a name: in the instant of naming (the unnamed
// file under its temporary name; on Windows the file no longer marked for deletion) and, where
// the system has no unnamed files, at any instant. After the naming they end the run with
// their status while the new file stands under the name.
#include "output/output_file.h"

#include <atomic>

#include "sys/signals.h"

namespace {

// The temporary file that a signal must remove before the process ends: the target of an output
// in TEMPORARY whose file has a name. It follows the output's state, and is changed only while
// the signals are held, so that a signal never sees a name that is not the run's own.
std::atomic<OutputTarget*> gPending{nullptr};

void removePending() noexcept {
    if (OutputTarget* target = gPending.load(); target != nullptr) targetRemoveTemporaryNow(*target);
}

// Moves the output to `state`, and with it what a signal must remove.
void enter(OutputFile& out, OutputState state) {
    out.state = state;
    OutputTarget* const pending = state == OutputState::kTemporary && targetTemporaryNamed(*out.target) ? out.target.get() : nullptr;
    if (gPending.load() != pending) gPending = pending;
}

// The signals held for the life of the object.
struct SignalsHeld {
    SignalsHeld() { signalsHold(); }
    ~SignalsHeld() { signalsRelease(); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

}  // namespace

OutputFile::~OutputFile() { outputAbandon(*this); }

int outputOpen(const char* path, OutputFile& out) {
    OutputLook look;
    if (targetLook(path, out.target, look) != 0) return -1;
    const OutputWay way = outputDecide(look);
    if (way.way == Way::kRefused) return -1;
    if (way.way == Way::kDirect || way.way == Way::kDescriptor) {
        if (targetOpenDirect(*out.target) != 0) return -1;
        enter(out, OutputState::kDirect);
        // A descriptor may share its file with standard output (`velto a.wav /dev/stdout > f`):
        // the report written so far goes first.
        if (way.way == Way::kDescriptor) std::fflush(stdout);
    } else if (way.named) {
        SignalsHeld held;
        if (targetCreateNamed(*out.target) != 0) return -1;
        enter(out, OutputState::kTemporary);
    } else {
        enter(out, OutputState::kTemporary);
    }
    out.stream = targetStream(*out.target);
    return out.stream != nullptr ? 0 : -1;
}

int outputWriteBulk(OutputFile& out, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (out.state != OutputState::kTemporary) return std::fwrite(data, size, 1, out.stream) == 1 ? 0 : -1;
    // Whatever way the bulk goes, it goes behind what the stream holds (the header); a flush
    // that failed has dropped those bytes, and the file is incomplete whatever follows.
    if (std::fflush(out.stream) != 0 || std::ferror(out.stream) != 0) return -1;
    return targetWriteBulk(out.stream, data, size);
}

int outputCommit(OutputFile& out) {
    OutputTarget& target = *out.target;
    // Every write counts, those the writer did not look at too; the close reports what the
    // stream still held.
    bool ok = std::ferror(out.stream) == 0;
    ok = std::fclose(out.stream) == 0 && ok;
    out.stream = nullptr;
    const bool temporary = out.state == OutputState::kTemporary;
    if (temporary) ok = ok && targetKeepAttributes(target) == 0;
    ok = ok && targetSync(target) == 0;
    if (!ok || !temporary) {
        outputAbandon(out);
        return ok ? 0 : -1;
    }
    // Once the file has the name, no signal can change what the run did: from here the status
    // the run ends with says what happened.
    signalsHold();
    enter(out, OutputState::kNaming);
    const Naming named = targetTakeName(target);
    if (named != Naming::kNamed) {
        if (named == Naming::kLeft) enter(out, OutputState::kLeft);
        outputAbandon(out);
        return -1;
    }
    enter(out, OutputState::kNamed);
    const int durable = targetSyncDirectory(target);
    enter(out, OutputState::kDone);
    outputAbandon(out);
    return durable;
}

void outputAbandon(OutputFile& out) {
    if (out.stream != nullptr) std::fclose(out.stream);
    out.stream = nullptr;
    if (out.state == OutputState::kTemporary || out.state == OutputState::kNaming) {
        SignalsHeld held;
        enter(out, OutputState::kGone);
        targetRemoveTemporary(*out.target);
    } else if (out.state == OutputState::kDirect) {
        enter(out, OutputState::kDone);
    }
    out.target.reset();
}

void outputRemoveOnSignals() { signalsCatch(removePending); }
