// What a POSIX system's file systems may offer beyond POSIX. Linux has all of it
// (fs_features_linux.cpp); other POSIX systems, and builds made with -DVELTO_PORTABLE_POSIX=ON,
// get the plain POSIX answers (fs_features_portable.cpp). 0 for success and -1 with errno for
// failure, as everywhere below src/sys.
#pragma once

#include <sys/types.h>

#include <cstddef>

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

// True where this process may remove and replace other users' files in a sticky directory.
bool fsMayOverrideSticky();

// True where the system refuses to follow a symbolic link in a sticky world-writable directory
// that belongs neither to the follower nor to the directory's owner.
bool fsLinksProtected();

// Copies the extended attributes (the access control list among them) of the open file
// `fromFd` onto `toFd`, and removes an access control list that `toFd` has and `fromFd` has not.
// Security labels are copied where the system lets them be; -1 when any other cannot be.
int fsCopyExtendedAttributes(int fromFd, int toFd);

// The alignment that writes bypassing the system's cache need in memory and in the file, or 0
// where the file system does not take them or does not say.
std::size_t fsDirectAlignment(int fd);

// Turns writing past the system's cache on or off for the open file.
int fsSetDirect(int fd, bool on);
