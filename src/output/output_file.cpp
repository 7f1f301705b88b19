// How an output is made: which steps it takes in what order, and what a failure or a signal
// leaves. Whether and how it is written is decided once, from one look at its name that opens
// nothing for writing (outputDecide); the steps themselves are the platform's (output_steps.h).
//
// An output's life, each state a value of OutputState held in OutputFile::state:
//
//   outputOpen: look at the name (read only), then decide
//       │
//       ├── a rule refuses, or the look fails (no such folder, too many links) ──> NONE:
//       │   nothing opened for writing, nothing made ("cannot open")
//       │
//       ├── a device, FIFO, pipe or descriptor ──> DIRECT ── outputCommit ──> NONE
//       │                                            (a failure keeps what was written)
//       │
//       └── a regular file or nothing there: a file to be replaced is opened to be written, as
//           `>` opens it, and closed; then the unnamed temporary file is made in the output's
//           directory; where the system has none, one under a hidden name (never in a directory
//           that only grows, and for a new output only where it can take the name without
//           replacing one), made with the signals held, which a signal removes before the
//           process ends. Any of these refused ──> NONE ("cannot open"); else
//           TEMPORARY
//             │
//             ├── any failure (its stream too), outputAbandon, or a signal ──> NONE (the
//             │   temporary file removed, the name as it was)
//             │
//             └── outputCommit: close, give it the plan's attributes, sync
//                   ── signals held from here to the end of the process ──
//                 NAMING: the file takes the output name, in one of these ways:
//                   - a new output: the unnamed file linked under the name by its descriptor,
//                     or through /proc; a named one renamed without replacing, or linked and
//                     unlinked; either fails where a file took the name meanwhile;
//                   - a file replaced: the unnamed file linked under a temporary name, which is
//                     renamed over it; a named one renamed;
//                   - on Windows: ReplaceFileW over a file, MoveFileExW to a new name; where
//                     ReplaceFileW fails after the old file is gone, MoveFileExW once more.
//                   │
//                   ├── refused ──> NONE ("write failed"; the name as it was, the temporary file
//                   │   removed; but on Windows, where the old file is gone and the last move
//                   │   failed, the conversion left as .velto-XXXXXX, nothing under the name)
//                   └── done ──> NONE, the directory synced
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
#include <cerrno>

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

// Makes the temporary file for the way decided, unnamed where the system can, else named where
// the decision allows one; then, for a file to be replaced, asks whether it may be written. The
// temporary file comes first: a folder that takes no file refuses the run before the open, which
// may break another process's lease, and waits for it.
int createTemporary(OutputFile& out, const OutputWay& way) {
    OutputTarget& target = *out.target;
    if (targetCreateUnnamed(target) == 0) {
        enter(out, OutputState::kTemporary);
    } else {
        if (errno != ENOTSUP || !way.mayName) return -1;
        SignalsHeld held;
        if (targetCreateNamed(target) != 0) return -1;
        enter(out, OutputState::kTemporary);
    }
    return way.way == Way::kReplace ? targetOpenToWrite(target, way.plan.leaseSeconds) : 0;
}

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
    } else {
        if (createTemporary(out, way) != 0) return -1;
        out.plan = way.plan;
    }
    out.stream = targetStream(*out.target);
    return out.stream != nullptr ? 0 : -1;
}

int outputWriteBulk(OutputFile& out, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (out.state == OutputState::kDirect) return std::fwrite(data, size, 1, out.stream) == 1 ? 0 : -1;
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
    const bool direct = out.state == OutputState::kDirect;
    ok = ok && (direct || targetKeepAttributes(target, out.plan) == 0) && targetSync(target) == 0;
    if (!ok || direct) {
        outputAbandon(out);
        return ok ? 0 : -1;
    }
    // Once the file has the name, no signal can change what the run did: from here the status
    // the run ends with says what happened.
    signalsHold();
    enter(out, OutputState::kNaming);
    if (targetTakeName(target) != 0) {
        outputAbandon(out);
        return -1;
    }
    enter(out, OutputState::kNone);
    return targetSyncDirectory(target);
}

void outputAbandon(OutputFile& out) {
    if (out.state == OutputState::kNone) return;
    if (out.stream != nullptr) std::fclose(out.stream);
    out.stream = nullptr;
    if (out.state == OutputState::kTemporary || out.state == OutputState::kNaming) {
        SignalsHeld held;
        enter(out, OutputState::kNone);
        targetRemoveTemporary(*out.target);
    }
    out.state = OutputState::kNone;
    out.target.reset();
}

void outputRemoveOnSignals() { signalsCatch(removePending); }
