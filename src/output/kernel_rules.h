// The rules by which Linux lets a process follow a link, open a FIFO, or remove or replace a
// file, for the cases where velto must know the answer before it writes: functions of one
// reading of the system (KernelView) and of the files' status, with no system call, so that
// each rule can be checked by itself as any user (kernel_rules.cpp). Linux reads the system
// (kernel_view_linux.cpp); other POSIX systems, and builds made with -DVELTO_PORTABLE_POSIX=ON,
// get a system with no user namespaces and no protection of links or FIFOs
// (kernel_view_portable.cpp).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string_view>
#include <vector>

// A user namespace's map of user or group ids (/proc/self/uid_map, gid_map): the ranges of
// ids that have a mapping, as seen from inside.
struct IdRange {
    std::uint32_t first = 0;  // the first id inside
    std::uint32_t count = 0;  // how many ids from it
};
struct IdMap {
    bool read = false;            // false where the map could not be read whole (/proc hidden)
    std::vector<IdRange> ranges;  // where it could: its lines
};

// What the rules depend on, as the system says it for this process.
struct KernelView {
    uid_t caller = 0;              // the user file access is checked for (the file-system user id)
    bool mayOverrideOwner = false; // CAP_FOWNER in effect
    IdMap users;
    IdMap groups;
    uid_t overflowUser = 65534;    // what the system shows for a user id without a mapping
    gid_t overflowGroup = 65534;   // and for a group id
    int protectedSymlinks = -1;    // the settings in /proc/sys/fs, 0 to 2; -1 where not read
    int protectedFifos = -1;
};

// The system's answers, read once per run, the first time a rule needs them. Never fails: what
// cannot be read is marked so in the record, and the rules say what that means.
const KernelView& kernelView();

// Whether the user id (group id) `id`, as the system shows a file's owner (group), stands for
// someone in this namespace. Every id without a mapping shows as the overflow id, which a map
// may also hold; only a map of every id (the initial namespace's) tells the two apart, so
// elsewhere, and where the map was not read, the overflow id stands for nobody.
bool ruleUserIsSomeone(const KernelView& view, uid_t id);
bool ruleGroupIsSomeone(const KernelView& view, gid_t id);

// Whether the system follows the symbolic link `link` (its lstat) found in the directory `dir`:
// where it protects links (protected_symlinks 1 or 2; taken as 1 where not read), not in a
// sticky directory that everyone may write unless the link is the caller's or the directory
// owner's.
bool ruleMayFollow(const KernelView& view, const struct stat& link, const struct stat& dir);

// Whether the FIFO `fifo` in the directory `dir` may be written, by the rule the system applies
// when a FIFO is opened to be created (protected_fifos; taken as 1 where not read): at 1, not in
// a sticky directory that everyone may write, at 2 also one that its group may write, unless the
// FIFO is the caller's or the directory owner's.
bool ruleMayWriteFifo(const KernelView& view, const struct stat& fifo, const struct stat& dir);

// Whether the caller may remove or rename the file `file` in the directory `dir`, where it may
// write the directory: anyone, where it is not sticky; where it is, the file's owner and the
// directory's, and a caller that may override ownership, where the file's owner and group both
// stand for someone.
bool ruleMayReplaceInSticky(const KernelView& view, const struct stat& file, const struct stat& dir);

// Whether an access control list as the system gives it (system.posix_acl_access: a 32-bit
// version, then entries of a 16-bit tag, 16-bit permissions and a 32-bit id, little-endian) may
// be given to another file: not where it names a user or a group without a mapping, which the
// system shows as id -1 and refuses to set.
bool ruleMayGiveAccessList(std::string_view acl);
