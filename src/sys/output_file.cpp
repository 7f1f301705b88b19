// What the output name is decides how the output is written; this is the one place that
// decides, for every platform. The platform steps it calls are in output_platform_*.cpp.
#include "sys/output_file.h"

#include <atomic>

#include "sys/output_platform.h"

namespace {

enum class Kind {
    kDirect,     // a device, a FIFO or a pipe, written as it is
    kTemporary,  // a temporary file, which takes the output name when complete
    kCreated,    // a new file made under the output name itself, removed if not completed
    kRewritten,  // the existing file rewritten from its first byte, its space reserved first
};

}  // namespace

struct OutputState {
    Kind kind = Kind::kDirect;
    bool replacing = false;     // a regular file stands under the output name
    bool signalsHeld = false;   // held from the start of a rewrite to its end
    std::uint64_t size = 0;     // the bytes the output will have
    OutputTargetPtr target;
};

void OutputStateDelete::operator()(OutputState* state) const noexcept { delete state; }

namespace {

// The output that an interrupt must remove before the process ends: a temporary file, or a new
// file under the output name. An interrupt may come on another thread (Windows), so the record
// is published whole or not at all, and only changed while the signals are held.
std::atomic<OutputState*> gPending{nullptr};

void removePending() noexcept {
    if (OutputState* state = gPending.load(); state != nullptr && state->target) {
        targetRemovePendingNow(*state->target, state->kind == Kind::kCreated);
    }
}

// Holds off the signals that end the process for one step on the files.
struct SignalsHeld {
    SignalsHeld() { targetHoldSignals(); }
    ~SignalsHeld() { targetReleaseSignals(); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

OutputOpenResult openStream(OutputFile& out) {
    out.stream = targetStream(*out.state->target);
    if (out.stream != nullptr) return OutputOpenResult::kOpened;
    outputAbandon(out);
    return OutputOpenResult::kCannotOpen;
}

// Where no temporary file can be made beside an existing file, the file itself is rewritten,
// once no other run reads or writes it (an interrupt still ends the wait), then with the
// signals held until the end so that no interrupt leaves it half converted, and only once
// every byte is sure to find room.
OutputOpenResult openForRewrite(OutputFile& out) {
    OutputState& state = *out.state;
    state.kind = Kind::kRewritten;
    if (targetOpenExisting(*state.target) != 0) return OutputOpenResult::kCannotOpen;
    targetHoldSignals();
    state.signalsHeld = true;
    if (targetReserve(*state.target, state.size) != 0) return OutputOpenResult::kNoRoom;
    return openStream(out);
}

}  // namespace

OutputFile::~OutputFile() {
    if (state) outputAbandon(*this);
}

OutputOpenResult outputOpen(const char* path, std::uint64_t size, OutputFile& out) {
    out.state.reset(new OutputState);
    OutputState& state = *out.state;
    state.size = size;
    TargetKind kind = TargetKind::kNone;
    if (targetResolve(path, state.target, kind) != 0) return OutputOpenResult::kCannotOpen;
    if (kind == TargetKind::kOther) {
        if (targetOpenDirect(*state.target) != 0) return OutputOpenResult::kCannotOpen;
        return openStream(out);
    }
    state.replacing = kind == TargetKind::kRegular;
    // A file its owner has made read-only is refused, as opening it would be.
    if (state.replacing && targetCheckWritable(*state.target) != 0) return OutputOpenResult::kCannotOpen;
    targetOpenDirectory(*state.target);
    {
        SignalsHeld held;
        if (targetCreateTemporary(*state.target) == 0) {
            state.kind = Kind::kTemporary;
            gPending = &state;
            return openStream(out);
        }
    }
    if (state.replacing) return openForRewrite(out);
    // No temporary file here, and nothing under the name: a new file is made under the name
    // itself, if it can be, and removed if the run does not finish.
    SignalsHeld held;
    if (targetCreateNew(*state.target) != 0) return OutputOpenResult::kCannotOpen;
    state.kind = Kind::kCreated;
    gPending = &state;
    return openStream(out);
}

bool outputWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size) {
    // A flush that failed has dropped the bytes it held (the header, first of all): the file
    // is incomplete whatever the next write does.
    if (std::fflush(stream) != 0 || std::ferror(stream) != 0) return false;
    return size == 0 || targetWriteBulk(stream, data, size) == 0;
}

int outputCommit(OutputFile& out) {
    OutputState& state = *out.state;
    OutputTarget& target = *state.target;
    // Every write counts, those the writer did not look at too; closing the stream's own
    // handle reports what only shows at the close, before the file can take the name.
    bool ok = std::ferror(out.stream) == 0;
    ok = std::fclose(out.stream) == 0 && ok;
    out.stream = nullptr;
    if (ok && state.kind != Kind::kTemporary && state.kind != Kind::kCreated) {
        ok = targetTruncate(target, state.size) == 0;
    }
    if (ok && state.replacing) ok = targetKeepAttributes(target, state.kind == Kind::kRewritten) == 0;
    // The new bytes must be on disk before they take the place of the old ones.
    if (ok) ok = targetSync(target) == 0;
    // From the moment the complete file takes the output name, an interrupt can no longer
    // change what the run has done: the signals are held from here to the end of the process,
    // so that its status says what happened. They are let go only where the run fails first.
    const bool holding = ok;
    if (holding) targetHoldSignals();
    bool named = state.kind == Kind::kCreated;
    if (ok && state.kind == Kind::kTemporary) {
        named = targetTakeName(target, state.replacing) == 0;
        // Where it cannot take the name (a sticky directory, a file mounted over, a directory
        // that only grows), its bytes are copied into the existing file instead, once no other
        // run reads or writes that file; an interrupt can still end that wait.
        if (!named && state.replacing) {
            targetReleaseSignals();
            ok = targetOpenExisting(target) == 0;
            targetHoldSignals();
            ok = ok && targetCopyOver(target, state.size) == 0;
        }
        ok = ok && (named || state.replacing);
    }
    if (!ok) {
        if (holding) targetReleaseSignals();
        outputAbandon(out);
        return -1;
    }
    {
        SignalsHeld held;
        gPending = nullptr;
        if (state.kind == Kind::kTemporary && !named) targetRemoveTemporary(target);  // copied over
        state.kind = Kind::kDirect;  // nothing of the run's own is left to remove
    }
    // Past this point the complete file stands under its name: a name that cannot be made
    // durable fails the run, but is not taken back.
    const bool durable = !named || targetSyncDirectory(target) == 0;
    outputAbandon(out);
    return durable ? 0 : -1;
}

void outputAbandon(OutputFile& out) {
    if (out.stream != nullptr) std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.state) return;
    OutputState& state = *out.state;
    if (state.target) {
        SignalsHeld held;
        if (state.kind == Kind::kCreated) targetRemoveCreated(*state.target);
        if (state.kind == Kind::kTemporary) targetRemoveTemporary(*state.target);
        state.kind = Kind::kDirect;
        gPending = nullptr;
    }
    if (state.signalsHeld) {
        state.signalsHeld = false;
        targetReleaseSignals();
    }
}

void outputRemoveOnSignals() { targetCatchInterrupts(removePending); }
