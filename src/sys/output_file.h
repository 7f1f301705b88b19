// Creating an output file so that exit status 0 means a complete file under the output name,
// and a failure leaves that name as it was.
//
// The bytes go to a temporary file in the output's directory, which takes the output's name
// only once it is complete and on disk, with the attributes of the file it replaces. Until
// then, whatever stood under the output name - the input itself, for an in-place conversion -
// is left as it was; a failure removes the temporary file.
//
// Only where no temporary file can be made beside an existing file is the file itself
// rewritten: its space is reserved first, on file systems where a reservation is a promise,
// and the file is left as it was when that cannot be done. A failing disk in the middle of
// that rewrite is the one failure that can leave the file part converted. A file that did not
// exist before and was not completed is removed.
//
// Symbolic links are followed as the system follows them, refusing what it refuses; devices,
// FIFOs and pipes named by a path are written as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// How the output is being made; kept by output_file.cpp.
struct OutputState;
struct OutputStateDelete {
    void operator()(OutputState* state) const noexcept;
};

struct OutputFile {
    std::FILE* stream = nullptr;
    std::unique_ptr<OutputState, OutputStateDelete> state;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // abandons a file that was neither committed nor abandoned
};

enum class OutputOpenResult {
    kOpened,
    kCannotOpen,  // the output cannot be created or written (a directory, no such directory,
                  // permission refused, a link that may not be followed, an empty name)
    kNoRoom,      // the file would have to be rewritten and its space cannot be promised; it
                  // is left as it was
};

// Opens `path` for writing `size` bytes, as described above.
OutputOpenResult outputOpen(const char* path, std::uint64_t size, OutputFile& out);

// Writes `size` bytes at the stream's position and moves past them; true when all were
// written, and false as soon as anything written to the stream so far has failed.
bool outputWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size);

// Checks every byte written, gives the file the output's name and makes both durable. Returns 0
// only for a complete file under the output name; -1 otherwise, with the name as it was
// (except after a direct rewrite had begun, and where the name was given but could not be
// made durable).
int outputCommit(OutputFile& out);

// Closes the file and removes what the run created, leaving the output name untouched.
void outputAbandon(OutputFile& out);

// Makes an interrupt, hang-up or termination signal remove the file being written before the
// process ends. Signals the caller ignores (nohup) stay ignored. Call once at start-up.
void outputRemoveOnSignals();
