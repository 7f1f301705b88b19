// How an output is written, decided in one place from one look at what its name leads to, so
// that velto is never weaker than a shell's `>` onto the same name: whatever the system would
// refuse there, velto refuses before a byte is written.
//
// What the system checks when a shell opens an existing name with O_CREAT (`>`), and where
// velto decides the same:
// - each symbolic link on the way, in a sticky folder everyone may write, under
//   protected_symlinks: the link walk asks ruleMayFollow at each hop (OutputLook::linkRefused);
// - an existing FIFO or regular file in a sticky folder, under protected_fifos and
//   protected_regular (may_create_in_sticky): ruleMayCreateInSticky;
// - a directory at the name: refused (Found::kDirectory);
// - write permission on the file, which a read-only file system and an immutable file deny
//   too, and for a descriptor (/dev/fd/N) its being open for writing: OutputLook::mayWrite;
// - an append-only file, which may not be truncated: OutputLook::pinned.
// velto does not write the file itself but a new one that is renamed over it, which the system
// checks as well, and a replacement must pass both sets of checks:
// - the sticky folder's rule, with CAP_FOWNER only over ids that have a mapping:
//   ruleMayReplaceInSticky;
// - an immutable or append-only file or folder, whose names cannot be removed, and a file
//   mounted over the name: OutputLook::pinned and dirPinned;
// - write permission on the folder: shown by making the temporary file there, which fails.
// And velto's own: another process's descriptor, attributes that cannot be read or given, an
// access list that would give the old owner more once the file is the caller's, and a folder
// that only grows where no unnamed temporary file can be made.
#pragma once

#include <cstdint>
#include <string>

#include "output/kernel_rules.h"

// What stands under the output name once symbolic links are followed: nothing (a new file is
// made), a regular file (replaced), a directory, a FIFO, a device (a socket, a pipe, a console:
// written as it is, as a FIFO is), one of this process's descriptors (/dev/stdout, /dev/fd/N:
// written through), or another process's (/proc/PID/fd/N).
enum class Found { kNothing, kRegular, kDirectory, kFifo, kDevice, kOwnDescriptor, kOthersDescriptor };

// Everything the decision needs, as looked at: the platform's steps fill it (targetLook), and
// what a platform cannot see keeps its value here, which refuses nothing.
struct OutputLook {
    Found found = Found::kNothing;
    bool linkRefused = false;     // the name leads through a link the system would not follow
    Seen file, dir;               // what stands under the name, and the folder it is in
    bool mayWrite = true;         // the caller may write that file, or its descriptor writes
    bool pinned = false;          // immutable, append-only or mounted over (on Windows: held open)
    bool dirPinned = false;       // the folder is immutable or append-only
    bool attributesRead = true;   // every extended attribute of the file could be read
    std::string accessList;       // its access control list, as the system gives it; "" for none
    bool unnamed = false;         // an unnamed temporary file could be made in the folder
    KernelView view;              // the system as read, where a rule asks whose a file is: in a
                                  // sticky folder, and for a file to be replaced
};

enum class Way { kRefused, kDirect, kDescriptor, kNew, kReplace };

// Why an output is refused: a link the system would not follow (kLink); another process's
// descriptor; a directory; a FIFO or file the system would not open with O_CREAT in its sticky
// folder (kCreate); a file the caller may not write; one it may not remove from its sticky
// folder (kRename); a file or folder whose names cannot be removed, or a file mounted over
// (kPinned); attributes that cannot be read or given, or that would widen access.
enum class Refusal { kNone, kLink, kDescriptor, kDirectory, kCreate, kWrite, kRename, kPinned, kAttributes };

struct OutputWay {
    Way way = Way::kRefused;
    Refusal refusal = Refusal::kNone;
    bool named = false;  // a new or replacing file is made under a hidden name, not unnamed
};

// The way `look` is written, or why not. No system call.
OutputWay outputDecide(const OutputLook& look);

// What a replaced file's permission bits become where its owner or group could not be kept, so
// that no one but the caller may read or write the new file who could not read or write the old:
// with u, g, o the old owner's, group's and others' bits, the group bits become
// g & (group kept ? rwx : o) & (owner kept ? rwx : u), the others' o & (group kept ? rwx : g) &
// (owner kept ? rwx : u); the owner's stay. Setuid goes where the owner changed, setgid where
// the group did.
std::uint32_t outputNarrowedMode(std::uint32_t mode, bool ownerKept, bool groupKept);

// The same for an access control list as the system gives it (system.posix_acl_access: a 32-bit
// version, then entries of a 16-bit tag, 16-bit permissions and a 32-bit id, little-endian) and
// the mode that goes with it: its owning group's and others' entries narrowed the same way,
// where what the new group's members had is the list's entry for `newGroup`, the new file's
// group, or where there is none, others' bits and no more than every named group's entry under
// the mask; and the old group's members had its entry under the mask. Named entries and the
// mask stay. False where the list cannot be given to the new file: it names a user or group
// without a mapping, which the system shows as id -1 and refuses to set; or the owner was not
// kept and the list names `oldOwner` (-1 where it stands for no one), or has a named group that
// gives more than the owner had: the old owner would then have that entry's rights.
bool outputNarrowAccessList(std::string& acl, std::uint32_t& mode, bool ownerKept, bool groupKept,
                            std::uint32_t oldOwner, std::uint32_t newGroup);
