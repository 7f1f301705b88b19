// How an output is written, decided once, from one look at what its name leads to, before
// anything is opened for writing, so that velto is never weaker than a shell's `>` onto the same
// name: whatever the system would refuse there, velto refuses before a byte is written.
//
// What the system checks when a shell opens a name with O_CREAT (`>`), and where velto meets it:
// - the walk of the name: no longer than PATH_MAX; 40 links at most over the whole of it, folder
//   parts included, and none on a file system mounted nosymfollow; the link rule
//   (protected_symlinks) asked of the last name and of the last name of each link it leads to,
//   never of a link in a folder part: the look walks the name so (linkRefused; the rest fail the
//   look);
// - an existing FIFO or regular file in a sticky folder, under protected_fifos and
//   protected_regular, and any other file but a folder (a device) in a sticky folder everyone
//   may write, whatever the settings (may_create_in_sticky): ruleMayCreateInSticky;
// - a directory at the name: refused;
// - write permission on the file, which an access list, a read-only file system, an immutable
//   file and a program running from it deny as well: not decided here, but asked of the system
//   once the decision lets the file through, by the open `>` would make, without creating
//   (targetOpenToWrite); for one of the process's descriptors, whether it is open for writing
//   (descriptorWrites);
// - an append-only file, which may not be opened to be truncated: pinned.
// velto does not write the file itself but a new one that takes its name, which the system checks
// as well, and a replacement must pass both sets of checks:
// - the sticky folder's rule, with CAP_FOWNER only over ids that have a mapping:
//   ruleMayReplaceInSticky;
// - an immutable or append-only file or folder, whose names cannot be removed, and a file
//   mounted over the name: pinned and dirPinned;
// - write permission on the folder: shown by making the temporary file there, which fails;
// - an active swap file, which may be opened for writing but not replaced: seen only when the
//   new file takes the name, which fails.
// And velto's own: another process's descriptor (or a standard one the run was started
// without, or any other link of a process's folder of /proc at the end of the name), attributes
// that cannot be read or given, an access list that would give the old owner more once the file
// is the caller's, setuid or setgid on a file the caller gives away without CAP_FOWNER (a change
// of owner clears them, and only CAP_FOWNER sets them on another user's file), and a folder that
// only grows where no unnamed temporary file can be made.
#pragma once

#include <cstdint>
#include <string>

#include "output/kernel_rules.h"

// What stands under the output name once symbolic links are followed: nothing (a new file is
// made), a regular file (replaced), a directory, a FIFO, a device (a pipe, a console, opened as
// it is; a socket, whose open fails), one of this process's descriptors (/dev/stdout, /dev/fd/N: written through),
// or a descriptor that is not the process's own as its caller gave it (/proc/PID/fd/N, or a
// standard descriptor the run was started without), or another link of a process's folder of
// /proc, which leads where no name can be replaced (/proc/PID/exe, /proc/self/cwd).
enum class Found { kNothing, kRegular, kDirectory, kFifo, kDevice, kOwnDescriptor, kOthersDescriptor };

// Everything the decision needs, as looked at: the platform's look fills it (targetLook). Windows
// fills only `found`, `linkRefused` and `pinned`: the rest keeps these values, under which no
// rule refuses and a replacement's plan is what the system's replacement keeps by itself.
struct OutputLook {
    Found found = Found::kNothing;
    bool linkRefused = false;      // the name leads through a link the system would not follow
                                   // (on Windows: a link whose file is missing, not made anew)
    Seen file, dir;                // what stands under the name, and the folder it is in
    bool descriptorWrites = true;  // one of the process's descriptors is open for writing
    bool pinned = false;           // immutable, append-only or mounted over (on Windows: held open)
    bool dirPinned = false;        // the folder is immutable or append-only
    bool attributesRead = true;    // every extended attribute of the file could be read
    std::string accessList;        // its access control list, as the system gives it; "" for none
    KernelView view;               // the system as read, where a rule or the plan asks it
};

enum class Way { kRefused, kDirect, kDescriptor, kNew, kReplace };

// The id that leaves an owner or group as it is (fchown's -1).
inline constexpr std::uint32_t kNoId = 0xFFFFFFFFu;

// What the file that replaces another is given, as the caller can carry it out: its owner (kNoId
// where the old one's is not kept: the new file keeps the caller's) and group (the old one's, or
// the caller's own; kNoId where that stands for no one), the permission bits and access list
// narrowed where the old owner or group is lost (outputNarrowedMode), and how long an open of
// the old file may wait for a lease holder, as `>` waits.
struct OutputPlan {
    std::uint32_t owner = kNoId, group = kNoId;
    std::uint32_t mode = 0;
    std::string accessList;
    int leaseSeconds = 0;
};

struct OutputWay {
    Way way = Way::kRefused;
    bool mayName = false;  // a new or replacing file may be made under a hidden name where no
                           // unnamed one can be made (not in a folder that only grows)
    OutputPlan plan = {};  // for kReplace
};

// The way `look` is written, or kRefused. No system call.
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
