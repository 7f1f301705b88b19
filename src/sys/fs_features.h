// What a POSIX system's file systems may offer beyond POSIX. Linux has all of it
// (fs_features_linux.cpp); other POSIX systems, and builds made with -DVELTO_PORTABLE_POSIX=ON,
// get the plain POSIX answers (fs_features_portable.cpp). What each returns follows the
// conventions of src/sys, which CONTRIBUTING.md states.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Opens an unnamed file in the directory `dirFd` for reading and writing, one that
// fsLinkUnnamed can give a name later (no crash can leave it behind until then). Returns the
// descriptor, or -1 with errno ENOTSUP where the system or this file system has no such files
// or could not link one in; -1 with the system's cause for any other failure (no permission,
// no room), which a named file would meet as well.
int fsCreateUnnamed(int dirFd, mode_t mode);

// Gives the unnamed file `fd` the name `name` in `dirFd`; fails with EEXIST when it is taken.
int fsLinkUnnamed(int fd, int dirFd, const char* name);

// True where the open file or directory is immutable or append-only: its name can be neither
// removed nor replaced, and a directory's names cannot be removed.
bool fsIsPinned(int fd);

// True where the open file is the root of a mount: a file mounted over a name, which no other
// file can replace.
bool fsIsMountRoot(int fd);

// True where the open directory is one of the system's tables of processes (/proc), whose
// numbered links name a process's descriptors.
bool fsIsProcessTable(int dirFd);

// Whether the user id (group id) `id`, as the system shows a file's owner (group), stands for
// someone in this process's user namespace. Every id without a mapping there shows as the
// overflow id (65534); where that id may also be a mapped one, it is taken as having none. An
// id without a mapping is nobody's: never this process's user, never a directory's owner.
bool fsUserMapped(uid_t id);
bool fsGroupMapped(gid_t id);

// Whether the system lets this process remove or replace the file `file` (its status) in the
// sticky directory `dir` (its status): the file's owner and the directory's may, and a process
// that may override ownership, which reaches no file whose owner or group has no mapping.
bool fsMayReplaceInSticky(const struct stat& file, const struct stat& dir);

// Whether the system follows the symbolic link `link` (its lstat) in the directory `dirFd`: not,
// where it protects links, in a sticky world-writable directory unless the link is the
// follower's or the directory owner's.
bool fsMayFollow(int dirFd, const struct stat& link);

// Whether the FIFO `fifo` (its status) in the directory `dirFd` may be written, by the rule the
// system applies to a FIFO opened to be created where it protects FIFOs: not in a sticky
// directory that everyone may write (at the setting's second level, also one that its group
// may) unless the FIFO is the writer's or the directory owner's. Written there, the output
// would go to whoever reads it.
bool fsMayWriteFifo(int dirFd, const struct stat& fifo);

// The extended attributes of a file, the access control list among them: name and value.
using ExtendedAttributes = std::vector<std::pair<std::string, std::string>>;

// Reads every extended attribute of the open file `fd` into `read`, those this process can list.
// A security label that cannot be read is left out; -1 where any other cannot be, and (EINVAL)
// where the access control list names an id without a mapping, which no file could be given.
// A file system that keeps none has none.
int fsReadExtendedAttributes(int fd, ExtendedAttributes& read);

// Gives the open file `toFd` the attributes read, and removes an access control list that it has
// (from its directory's default) and they do not. Security labels are set where the system lets
// them be; -1 when any other cannot be.
int fsWriteExtendedAttributes(const ExtendedAttributes& attributes, int toFd);

// Writes `size` bytes at `offset` of the open regular file, the whole blocks among them past the
// system's cache, where the file system takes such writes and `data` lines up with the file's
// blocks (sample_memory.h). -1 with errno ENOTSUP, nothing written, where it does not.
int fsWritePastCache(int fd, const std::uint8_t* data, std::size_t size, off_t offset);
