// Creating an output file so that nothing is lost when writing it fails.
//
// The bytes go to a temporary file in the output's directory, which takes the output's name
// only once it is complete and on disk. Where the system has unnamed temporary files, it has
// no name at all until then, so that even a killed run leaves nothing behind. Until the end,
// whatever stood under the output name - the input itself, for an in-place conversion - is
// left as it was.
//
// Only where no temporary file can be made beside an existing file, or it cannot take the
// file's name (a directory the user may not write, no inode left, a sticky directory, a file
// mounted over), is the file itself rewritten: the space for the whole output is reserved
// first, so that the write cannot run out of room, and the file is left as it was when that
// reservation fails. A file that did not exist before and was not completed is removed.
//
// A replaced file keeps its permission bits, setuid, setgid and sticky included, and its owner
// where that can be kept; a symbolic link is followed and stays a link, and the temporary file
// is made beside the file it names. Devices and FIFOs are opened and written directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// What the platform keeps about the file being written.
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
                  // permission refused, an empty name)
    kNoRoom,      // the file would have to be rewritten and its space cannot be reserved; it
                  // is left as it was
};

// Opens `path` for writing `size` bytes, as described above.
OutputOpenResult outputOpen(const char* path, std::uint64_t size, OutputFile& out);

// Writes `size` bytes at the stream's position and moves past them; true when all were
// written. Where the file system can, the bulk of a large write goes from memory straight to
// the disk, without a copy in the page cache that the final sync would then have to write
// back; the unaligned ends, and everything on other files, go the usual way.
bool outputWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size);

// Flushes and syncs the file, gives it the output's name and closes it. Returns 0, or -1 when
// any of it failed; whatever stood under the output name is then as it was (except where the
// file itself was being rewritten), and no temporary file is left.
int outputCommit(OutputFile& out);

// Closes the file and removes what the run created, leaving the output name untouched.
void outputAbandon(OutputFile& out);

// Makes an interrupt, hang-up or termination signal remove the temporary file being written
// before the process ends. Signals the caller ignores (nohup) stay ignored. Call once at
// start-up.
void outputRemoveOnSignals();
