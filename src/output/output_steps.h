// The steps an output is made of, one source per platform. output_file.cpp chooses the order of
// the steps and keeps the output's state. The look (targetLook) only reads: what the output's name
// stands for, from which outputDecide decides once whether and how it is written, and with what
// plan. The other steps act on that decision: they make, write and name the files, apply the
// plan and check that the system did what it says; they call no rule and read no setting. They
// own the files, handles and names they make, and close what is still open when the target goes.
// A step that can fail returns 0 for success and -1 with the cause in errno (GetLastError on
// Windows); targetStream says what it returns, and a predicate returns bool. None of them writes
// a message.
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

// Looks at what `path` leads to and fills `look` (output_decision.h), walking the name as the
// system walks it (links followed, 40 at most, the link rule asked where the system asks it), so
// that a temporary file can be made beside the file itself, and stopping at a link the system
// would not follow. A regular file found there is reached without being opened where the system
// can (so that no lease on it is broken before anything is decided), must be the file that was
// looked at, and its attributes are read (where /proc is hidden, through an open that waits for
// a lease holder as `>` waits). Nothing is opened for writing and nothing is made. -1 where the
// name cannot be written at all: no such folder, too long a name, too many links, a link that
// cannot be read, a file swapped under the run.
int targetLook(const char* path, OutputTargetPtr& target, OutputLook& look);

// Opens a FIFO or device, or a duplicate of the process's descriptor, for writing; -1 where the
// name has come to stand for something else since targetLook looked at it: on POSIX systems a
// file of another inode, type or owner, on Windows a file on a disk.
int targetOpenDirect(OutputTarget& target);

// Asks whether the file to be replaced may be written, by the open a shell's `>` makes, without
// creating or truncating it, closed at once: the system's last word (an access list, a read-only
// file system, an immutable file, a program running from it). Waits for a lease holder for up to
// `leaseSeconds`, as that open waits, and fails where the name now stands for another file. On
// POSIX systems it reads the inode flags the new file keeps (fsKeptFlags) while it has it open.
int targetOpenToWrite(OutputTarget& target, int leaseSeconds);

// Makes the temporary file without a name in the output's directory; -1 with errno ENOTSUP where
// the system or the file system has no such files.
int targetCreateUnnamed(OutputTarget& target);

// Makes a temporary file under a fresh hidden name in the output's directory. For a new output,
// only where it can take the output name later without replacing a file that took that name
// meanwhile; -1 where the file system cannot (the file made is gone again).
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

// Gives the temporary file what `plan` says the file it replaces keeps, in the order the caller
// can carry it out, and checks that it has it: -1 where the system did not do what was planned.
// On POSIX systems: extended attributes and the access list, then the permission bits, then the
// owner and group, which clear setuid and setgid, set once more, then security labels. A file
// system that implements no owners or modes is no failure where the file already has what the
// plan says. On Windows the attributes and the creation time (the plan is the system's own
// replacement's).
int targetKeepAttributes(OutputTarget& target, const OutputPlan& plan);

// Writes what the system holds of the file to its disk, where it is one that has a disk.
int targetSync(OutputTarget& target);

// Gives the complete temporary file the output name: replacing the file that stands there, or
// for a new output only where no file has taken the name meanwhile. On failure the name is as it
// was, and the temporary file left for targetRemoveTemporary; but on Windows, where the old file
// is gone and the new one cannot take its name, the new one stays under its temporary name, the
// only copy of the conversion, which targetRemoveTemporary then leaves.
int targetTakeName(OutputTarget& target);

// Makes the name the file took durable, where the directory could be opened for that.
int targetSyncDirectory(OutputTarget& target);

// Removes the temporary file (an unnamed one goes with its descriptor).
void targetRemoveTemporary(OutputTarget& target);
// The same from a signal handler, with only what is safe there.
void targetRemoveTemporaryNow(OutputTarget& target) noexcept;
