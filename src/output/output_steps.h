// The steps an output is made of, one source per platform. output_file.cpp chooses the order of
// the steps and keeps the output's state; the steps look at what the output's name stands for
// (targetLook), from which outputDecide decides whether and how it is written, and then act:
// they make, write and name the files. They own the files, handles and names they make, and
// close what is still open when the target goes. A step that can fail returns 0 for success
// and -1 with the cause in errno (GetLastError on Windows); targetStream and targetTakeName say
// what they return, and a predicate returns bool. None of them writes a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "output/output_decision.h"

// The platform's record of the output name and the files made for it.
struct OutputTarget;
struct OutputTargetDelete {
    void operator()(OutputTarget* target) const noexcept;
};
using OutputTargetPtr = std::unique_ptr<OutputTarget, OutputTargetDelete>;

// Looks at what `path` leads to and fills `look` (output_decision.h), following symbolic links
// as the system would, so that a temporary file can be made beside the file itself, and
// stopping at a link the system would not follow. A regular file found there is opened
// (without waiting, whatever has taken its place meanwhile) and must be the file that was
// looked at; its attributes are read. Where a file may be made (nothing there, or a regular
// file), the unnamed temporary file is made in the folder, where the system has them. -1 where
// the name cannot be written at all: no such folder, no temporary file can be made there, a
// link that cannot be read, a file swapped under the run.
int targetLook(const char* path, OutputTargetPtr& target, OutputLook& look);

// Opens a FIFO or device, or a duplicate of the process's descriptor, for writing; -1 where the
// name has come to stand for something else since targetLook looked at it: on POSIX systems a
// file of another inode, type or owner, on Windows a file on a disk.
int targetOpenDirect(OutputTarget& target);

// Makes a temporary file under a fresh hidden name in the output's directory.
int targetCreateNamed(OutputTarget& target);

// True while the temporary file has a name, which a signal must remove before the process ends.
bool targetTemporaryNamed(const OutputTarget& target);

// A buffered stream that writes the file made or opened, from where its writing begins. It has
// a descriptor or handle of its own, so that closing it is checked.
std::FILE* targetStream(OutputTarget& target);

// Writes `size` bytes at the stream's position, the platform's fastest way for a large file that
// has a disk; the stream's buffer must be empty. On Linux the bytes go around the stream, their
// whole blocks past the system's cache, where the file system takes such writes and at least
// 512 KiB of them line up with its blocks (direct_write.h); otherwise, and on other systems,
// through the stream (on Windows in pieces).
int targetWriteBulk(std::FILE* stream, const std::uint8_t* data, std::size_t size);

// Gives the temporary file the owner, group, permission bits, access control list and extended
// attributes of the file it replaces, as far as this user may keep them. Where the owner or the
// group cannot be kept, the file is the user's, as any new file, and its bits and list are
// narrowed (outputNarrowedMode). A file system that implements no owners is no failure, nor one
// that implements no modes where the new file already has the mode it is to get.
int targetKeepAttributes(OutputTarget& target);

// Writes what the system holds of the file to its disk, where it is one that has a disk.
int targetSync(OutputTarget& target);

// What became of the name when the complete temporary file was to take it: kNamed, the file has
// the name, replacing what stood there; kRefused, the name as it was, the temporary file left
// for targetRemoveTemporary; kLeft (Windows), the old file is gone and the new one stays under
// its temporary name, the only copy of the conversion, not to be removed; GetLastError says why.
enum class Naming { kNamed, kRefused, kLeft };

// Gives the complete temporary file the output name, replacing what stands there.
Naming targetTakeName(OutputTarget& target);

// Makes the name the file took durable, where the directory could be opened for that.
int targetSyncDirectory(OutputTarget& target);

// Removes the temporary file (an unnamed one goes with its descriptor).
void targetRemoveTemporary(OutputTarget& target);
// The same from a signal handler, with only what is safe there.
void targetRemoveTemporaryNow(OutputTarget& target) noexcept;
