// What a POSIX system's file systems may offer beyond POSIX. Linux has all of it
// (fs_features_linux.cpp); other POSIX systems, and builds made with -DVELTO_PORTABLE_POSIX=ON,
// get the plain POSIX answers (fs_features_portable.cpp). 0 for success and -1 with errno for
// failure, as everywhere below src/sys.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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

// True where this process may remove and replace other users' files in a sticky directory.
bool fsMayOverrideSticky();

// Whether the system follows the symbolic link `link` (its lstat) in the directory `dirFd`: not,
// where it protects links, in a sticky world-writable directory unless the link is the
// follower's or the directory owner's.
bool fsMayFollow(int dirFd, const struct stat& link);

// Copies the extended attributes (the access control list among them) of the open file
// `fromFd` onto `toFd`, and removes an access control list that `toFd` has and `fromFd` has not.
// Security labels are copied where the system lets them be; -1 when any other cannot be.
int fsCopyExtendedAttributes(int fromFd, int toFd);

// Writes `size` bytes at `offset` of the open regular file, the whole blocks among them past the
// system's cache, where the file system takes such writes and `data` lines up with the file's
// blocks (sample_memory.h). -1 with errno ENOTSUP, nothing written, where it does not.
int fsWritePastCache(int fd, const std::uint8_t* data, std::size_t size, off_t offset);
