// The rules by which Linux lets a process follow a link, open an existing FIFO or file to be
// created, or remove or replace a file: functions of one reading of the system (KernelView) and
// of the files as looked at (Seen), with no system call, so that each rule can be checked by
// itself as any user (kernel_rules.cpp). The decision over the output's name asks them before
// anything is opened for writing (output_decision.h). Linux reads the system
// (kernel_view_linux.cpp); other POSIX systems, and builds made with -DVELTO_PORTABLE_POSIX=ON,
// get a system with no user namespaces and no protection of links, FIFOs or files in sticky
// folders (kernel_view_portable.cpp); Windows reads none, and shows no folder as sticky, so
// that no rule here ever refuses there.
#pragma once

#include <cstdint>
#include <vector>

// What the rules and a replacement's plan depend on, as the system says it for this process. The
// defaults read as little as can be: settings unread (taken at their strictest), no capability,
// no map known to hold every id.
struct KernelView {
    std::uint32_t caller = 0;       // the user file access is checked for (the file-system user id)
    bool mayOverrideOwner = false;  // CAP_FOWNER in effect
    bool mayGiveOwner = false;      // CAP_CHOWN in effect
    // Whether the user namespace maps every user id (/proc/self/uid_map), and every group id
    // (gid_map); what the system shows for a user id, and a group id, without a mapping.
    bool everyUser = false, everyGroup = false;
    std::uint32_t overflowUser = 65534, overflowGroup = 65534;
    // The settings in /proc/sys/fs, 0 to 2; -1 where not read.
    int protectedSymlinks = -1, protectedFifos = -1, protectedRegular = -1;
    // The group a new file of the caller's gets (the file-system group id) and its other groups.
    std::uint32_t callerGroup = 0;
    std::vector<std::uint32_t> groups = {};
    bool maySetGroupBit = false;  // CAP_FSETID in effect: setgid kept on a file of any group
    // How long the system lets a lease holder keep a file another process opens
    // (/proc/sys/fs/lease-break-time, in seconds).
    int leaseSeconds = 45;
};

// A file or folder as looked at: its permission bits with setuid, setgid and sticky (POSIX's
// values), its owner and its group.
struct Seen {
    std::uint32_t mode = 0, owner = 0, group = 0;
};

// The system's answers, read once per run, the first time the output asks for them. Never
// fails: what cannot be read is marked so in the record, and the rules say what that means.
// POSIX systems only.
const KernelView& kernelView();

// Whether the user id (group id) `id`, as the system shows a file's owner (group), stands for
// someone in this namespace. The system shows every id without a mapping as the overflow id, so
// any other id it shows has one; the overflow id itself may also be an id of a map, and stands
// for someone only where the map holds every id (the initial namespace's).
bool ruleUserIsSomeone(const KernelView& view, std::uint32_t id);
bool ruleGroupIsSomeone(const KernelView& view, std::uint32_t id);

// Whether the system follows the symbolic link `link` found in the folder `dir`: where it
// protects links (protected_symlinks 1 or 2, as 1; taken as 1 where not read), not in a sticky
// folder that everyone may write, unless the link is the caller's or the folder owner's.
bool ruleMayFollow(const KernelView& view, const Seen& link, const Seen& dir);

// Whether the system lets an existing FIFO or regular file `file` in the folder `dir` be opened
// with O_CREAT, as a shell's `>` opens it, by its protection `setting` for that kind of file
// (protected_fifos, protected_regular; taken as 2 where not read): at 1, not in a sticky folder
// that everyone may write, at 2 also one that its group may write, unless the file is the
// caller's or the folder owner's. Root and CAP_FOWNER are no exception.
bool ruleMayCreateInSticky(const KernelView& view, int setting, const Seen& file, const Seen& dir);

// Whether the caller may remove or rename the file `file` in the folder `dir`, where it may
// write the folder: anyone, where it is not sticky; where it is, the file's owner and the
// folder's, and a caller that may override ownership, where the file's owner and group both
// stand for someone.
bool ruleMayReplaceInSticky(const KernelView& view, const Seen& file, const Seen& dir);
