// What a POSIX system's file systems may offer beyond POSIX, each with the plain POSIX answer
// where the system has no such thing (fs_features_posix.cpp): Linux has them all
// (fs_features_linux.cpp). `-DVELTO_PORTABLE_POSIX=ON` builds the plain answers on Linux too.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Opens an unnamed file in the directory `dirFd` for reading and writing, which has no name
// until fsLinkUnnamed gives it one: no crash can leave it behind. -1 with `unsupported` set
// where neither the system nor this file system has such files; -1 alone on any other failure.
int fsCreateUnnamed(int dirFd, mode_t mode, bool& unsupported);

// Gives the unnamed file `fd` the name `name` in `dirFd`; fails with EEXIST when it is taken.
int fsLinkUnnamed(int fd, int dirFd, const char* name);

// True where the directory only lets names be added (an append-only directory): a name given
// there can never be taken back.
bool fsDirectoryOnlyGrows(int dirFd);

// True where the system refuses to follow a symbolic link in a sticky world-writable directory
// that belongs neither to the follower nor to the directory's owner.
bool fsLinksProtected();

// Makes room for the first `size` bytes of `fd` without changing a byte of it, on a file
// system where an overwrite of that room cannot then run out of space. -1 where it cannot be
// promised: no room, or a file system that writes changes to new blocks (copy-on-write) or
// cannot reserve at all. The file's length may have grown when it fails.
int fsReserve(int fd, std::uint64_t size);

// The fcntl command that locks a part of an open file, waiting or not, in the system's best
// kind: one whose lock no other descriptor's close can drop, where there is one.
int fsLockCommand(bool wait);

// Copies the extended attributes (the access control list among them) of the file `name` in
// `dirFd` onto `toFd`, replacing its own. Security labels are copied where the system lets
// them be; -1 when any other cannot be.
int fsCopyExtendedAttributes(int dirFd, const char* name, int toFd);

// The alignment that writes bypassing the system's cache need in memory and in the file, or 0
// where the file system does not take them or does not say.
std::size_t fsDirectAlignment(int fd);

// Turns writing past the system's cache on or off for the open file; -1 where it cannot.
int fsSetDirect(int fd, bool on);
