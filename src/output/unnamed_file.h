// Naming a new file once it is complete: unnamed files, made in a directory without a name, so
// that no crash can leave one behind until then, and renames that never replace a file. Linux has
// both (unnamed_file_linux.cpp); other POSIX systems are taken to have neither
// (unnamed_file_portable.cpp).
#pragma once

#include <sys/types.h>

// Opens an unnamed file in the directory `dirFd` for reading and writing, one that
// fsLinkUnnamed can give a name later. Returns the descriptor, or -1 with errno ENOTSUP where
// the system or this file system has no such files or could not link one in; -1 with the
// system's cause for any other failure (no permission, no room), which a named file would meet
// as well.
int fsCreateUnnamed(int dirFd, mode_t mode);

// Gives the unnamed file `fd` the name `name` in `dirFd`; 0, or -1 with EEXIST when the name
// is taken, or the system's cause.
int fsLinkUnnamed(int fd, int dirFd, const char* name);

// Renames `from` to `to` in `dirFd` where no file has the name `to`; -1 with EEXIST where one
// has, with EINVAL or ENOSYS where the system or the file system cannot rename so.
int fsRenameNoReplace(int dirFd, const char* from, const char* to);
