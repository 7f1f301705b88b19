// Writing the output so that exit status 0 means the complete file under the output name. A
// regular file, new or replaced, is written in one way only: as a temporary file in the
// output's directory, which takes the name once complete and on disk. What a failure leaves:
// - before the naming, what stood under the name, byte for byte, and nothing else (what a
//   crash or a signal that cannot be caught may leave, output_file.cpp says);
// - where the system would not let a file take the name, or a shell's `>` would be refused, and
//   that can be seen beforehand, nothing is written at all, and nothing is opened for writing
//   where a rule refuses (the output is refused); what shows only at the naming (a file made
//   immutable meanwhile, a new name another file took meanwhile; on systems that cannot see
//   such attributes, any) fails there, the name as it was;
// - after the naming (the directory's sync), the complete new file under the name;
// - on Windows, where the old file is gone but the new one cannot be moved in, the conversion
//   under its temporary name and nothing under the output name (output_file.cpp).
// Devices, FIFOs, pipes and the process's own descriptors are written as they are, and keep
// what was written if a write fails.
//
// The calling sequence, once per process (outputRemoveOnSignals first, at start-up):
//
//     OutputFile out;
//     if (outputOpen(path, out) != 0)   -> the output cannot be opened or is refused; nothing
//                                          was made, or what was is gone again
//     write to out.stream; the samples with outputWriteBulk(out, ...)
//     if (outputCommit(out) != 0)       -> the write failed
//
// outputOpen, outputWriteBulk and outputCommit return 0 for success and -1 for failure; they
// write no message and report no cause (errno may hold one, or one from an earlier call: a
// refusal sets none, nor does a write that failed before the commit). A run that fails or stops
// before the commit leaves the rest to the destructor, which removes the temporary file; after
// a commit, or outputAbandon, it does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "output/output_steps.h"

// Where an output stands in its life (the diagram in output_file.cpp): nothing open or made
// (before outputOpen, after a refusal, a commit or outputAbandon); a device, FIFO, pipe or
// descriptor written as it is; a temporary file, which takes the name at the commit; the
// complete temporary file taking the name.
enum class OutputState { kNone, kDirect, kTemporary, kNaming };

struct OutputFile {
    std::FILE* stream = nullptr;  // where the bytes go, from the first byte of the output
    OutputState state = OutputState::kNone;
    OutputPlan plan;              // what a replaced file keeps, as decided
    OutputTargetPtr target;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // outputAbandon
};

// Opens `path` for writing, as described above.
int outputOpen(const char* path, OutputFile& out);

// Writes `size` bytes at the stream's position and moves past them: into a temporary file the
// platform's fastest way (targetWriteBulk), elsewhere plainly through the stream, whose buffer
// may keep the last of them until the commit. Fails where anything written so far has failed.
int outputWriteBulk(OutputFile& out, const std::uint8_t* data, std::size_t size);

// Checks every byte written, gives the file the output name and makes both durable. From the
// naming on, the signals that outputRemoveOnSignals catches are held until the process ends, so
// that its status says what happened; a failure to make the name durable fails the run but
// leaves the complete file under its name.
int outputCommit(OutputFile& out);

// Closes the output and removes the temporary file, leaving the output name untouched; nothing
// more after a commit.
void outputAbandon(OutputFile& out);

// Makes the signals that end a process by default without meaning a crash (signals.h lists
// them) remove a temporary file that has a name first. Crashes, SIGKILL and the signals the C
// library keeps for itself are not caught, nor SIGPIPE and SIGXFSZ, which the process ignores
// (process_posix.cpp); signals the caller ignores (nohup) stay ignored.
// Call once at start-up.
void outputRemoveOnSignals();
