// The steps an output is made of, one source per platform. output_file.cpp chooses the way an
// output is written and the order of the steps, and keeps the output's state; the steps carry
// out what the platform itself decides: what a name stands for, whether the system would let a
// new file take it, how the file takes it. They own the files, handles and names they make, and
// close what is still open when the target goes. A step that can fail returns 0 for success
// and -1 with the cause in errno (GetLastError on Windows); targetStream and targetTakeName say
// what they return, and a predicate returns bool. None of them writes a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// The platform's record of the output name and the files made for it.
struct OutputTarget;
struct OutputTargetDelete {
    void operator()(OutputTarget* target) const noexcept;
};
using OutputTargetPtr = std::unique_ptr<OutputTarget, OutputTargetDelete>;

// What stands under the output name once symbolic links are followed.
enum class TargetKind {
    kNew,         // nothing: a new file is made
    kRegular,     // a regular file, which is replaced
    kDirect,      // a device, a FIFO or a pipe, written as it is
    kDescriptor,  // one of this process's descriptors (/dev/stdout, /dev/fd/N): written through
};

// Finds what `path` names, following symbolic links as the system would and refusing those it
// would refuse, so that a temporary file can be made beside the file itself. A regular file
// found there is opened (without waiting, whatever has taken its place meanwhile) and must be
// the file that was looked at. -1 where the name cannot be written at all: no such directory,
// a directory, a link that may not be followed, another user's FIFO that may not be written
// (kernel_rules.h), a file swapped under the run.
int targetResolve(const char* path, OutputTargetPtr& target, TargetKind& kind);

// 0 where this user may write the regular file found and the system will let another file take
// its name, with what the new file is to keep of it read; -1 otherwise (a read-only file,
// another user's file in a sticky directory, a file that is immutable, append-only or mounted
// over, a directory whose names cannot be removed, an extended attribute that cannot be read,
// an access control list that names an id without a mapping).
int targetCheckReplaceable(OutputTarget& target);

// Opens a kDirect name, or a duplicate of a kDescriptor's descriptor, for writing; -1 where the
// name has come to stand for something else since targetResolve looked at it: on POSIX systems
// a file of another inode, type or owner, on Windows a file on a disk.
int targetOpenDirect(OutputTarget& target);

// Makes an unnamed temporary file in the output's directory that can later be linked in under a
// name. -1 with targetNotSupported() true where the system or the file system has none.
int targetCreateUnnamed(OutputTarget& target);

// True when the step that just failed did so because the system or file system has no such
// thing (rather than for want of permission or room).
bool targetNotSupported();

// True where the output's directory only lets names be added (append-only): a temporary name
// made there could never be removed.
bool targetDirectoryOnlyGrows(OutputTarget& target);

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
// attributes of the file it replaces, as far as this user may keep them; a file system that
// implements none of these is no failure where the new file already has what the old one had.
int targetKeepAttributes(OutputTarget& target);

// Writes what the system holds of the file to its disk, where it is one that has a disk.
int targetSync(OutputTarget& target);

// What became of the name when the complete temporary file was to take it.
enum class Naming {
    kNamed,    // the file has the name, replacing what stood there
    kRefused,  // the name as it was; the temporary file is left for targetRemoveTemporary
    kLeft,     // (Windows) the old file is gone and the new one stays under its temporary name,
               // the only copy of the conversion, not to be removed; GetLastError says why
};

// Gives the complete temporary file the output name, replacing what stands there.
Naming targetTakeName(OutputTarget& target);

// Makes the name the file took durable, where the directory could be opened for that.
int targetSyncDirectory(OutputTarget& target);

// Removes the temporary file (an unnamed one goes with its descriptor).
void targetRemoveTemporary(OutputTarget& target);
// The same from a signal handler, with only what is safe there.
void targetRemoveTemporaryNow(OutputTarget& target) noexcept;
