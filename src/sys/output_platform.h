// The steps the output file is made of, one set per platform. output_file.cpp decides which
// steps run and in what order; each step here does one thing to the file system and reports
// 0 for success or -1 for failure, with the cause left where the platform keeps it (errno,
// GetLastError). None of them writes a message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

// What stands under the output name once symbolic links are followed.
enum class TargetKind {
    kNone,     // nothing: a new file is made
    kRegular,  // a file, which is replaced
    kOther,    // a device, a FIFO, a pipe or a descriptor's file: written as it is
};

// The output name, resolved, and the files and handles the run makes for it. Kept by the
// platform; the decision sequence only passes it around.
struct OutputTarget;
struct OutputTargetDelete {
    void operator()(OutputTarget* target) const noexcept;  // closes what is still open
};
using OutputTargetPtr = std::unique_ptr<OutputTarget, OutputTargetDelete>;

// Finds what `path` names, following symbolic links as the system would (and refusing those
// the system would refuse to follow), so that a temporary file can be made beside the file
// itself. -1 when the name cannot be written at all: no such directory, a directory, a link
// that may not be followed, an error reading the way there.
int targetResolve(const char* path, OutputTargetPtr& target, TargetKind& kind);

// 0 when this user may write the existing file.
int targetCheckWritable(OutputTarget& target);

// Opens the output name itself for writing, as any program would (kOther).
int targetOpenDirect(OutputTarget& target);

// Opens the output's directory so that a new name in it can be made durable later. Where it
// cannot be opened (a directory that may be written but not read) the run goes on without.
void targetOpenDirectory(OutputTarget& target);

// Makes a temporary file beside the output, unnamed where the system can, which no other run
// and no crash can leave behind under a name if it can help it. -1 when none can be made.
int targetCreateTemporary(OutputTarget& target);

// Creates a new file under the output name itself; -1 when it cannot, or something is there.
int targetCreateNew(OutputTarget& target);

// Opens the existing file to be rewritten from its first byte, waiting for any other run that
// rewrites it or reads it to finish.
int targetOpenExisting(OutputTarget& target);

// Makes sure every byte of a rewrite of `size` bytes will find room, without changing a byte of
// the file: -1 when the room cannot be promised (no room, a size limit, a file system that
// cannot reserve or that writes every change to new blocks); the file is then as it was.
int targetReserve(OutputTarget& target, std::uint64_t size);

// A buffered stream for writing the file from its first byte. It has a descriptor or handle
// of its own, so that closing it is checked before the file takes the name.
std::FILE* targetStream(OutputTarget& target);

// After the last write: cuts the file to `size` bytes where an old file was longer.
int targetTruncate(OutputTarget& target, std::uint64_t size);

// After the last write: gives the file written the owner, group, permission bits, access
// control list and extended attributes of the file it replaces, as far as this user may keep
// them (setuid only with the owner, setgid only with the group).
int targetKeepAttributes(OutputTarget& target, bool rewritten);

// Writes what the system holds of the file to the disk, where the file is one that has a disk.
int targetSync(OutputTarget& target);

// Gives the complete temporary file the output name, replacing what stands there. -1, with
// the temporary file still unnamed or under its own name, when it cannot take that name.
int targetTakeName(OutputTarget& target, bool replacing);

// Copies the temporary file's `size` bytes over the existing file, whose name it could not
// take, waiting for other runs as targetOpenExisting does.
int targetCopyOver(OutputTarget& target, std::uint64_t size);

// Makes the name the file took durable, where the directory could be opened.
int targetSyncDirectory(OutputTarget& target);

// Removes what the run made: the temporary file, or the new file under the output name.
void targetRemoveTemporary(OutputTarget& target);
void targetRemoveCreated(OutputTarget& target);
// The same from a signal handler: only what is safe there.
void targetRemovePendingNow(OutputTarget& target, bool created) noexcept;

// Holds off the signals that end the process, until released, while a change to the files
// must not be cut in two. Nested holds are counted.
void targetHoldSignals();
void targetReleaseSignals();

// Makes the platform's interrupts call `handler` before the process ends.
void targetCatchInterrupts(void (*handler)() noexcept);

// Writes `size` bytes at the stream's position, the platform's fastest way for large files;
// 0 when all were written.
int targetWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size);
