// What the system says of an open file beyond its status: whether its name may be removed or
// replaced at all, whether a directory is a process's folder of /proc or lets links be followed,
// and the inode flags a replaced file keeps. Linux sees all of it
// (file_status_linux.cpp); other POSIX systems see none of the attributes, and where the
// system refuses such a file, it does so when the new file takes the name
// (file_status_portable.cpp).
#pragma once

// True where the open file or directory is immutable or append-only: its name can be neither
// removed nor replaced, and a directory's names cannot be removed; or, where `mountRoot`, where
// it is the root of a mount: a file mounted over a name, which no other file can replace.
bool fsIsPinned(int fd, bool mountRoot = false);

// True where the open directory is a process's folder of the system's table of processes
// (/proc/PID and the folders below it, such as /proc/self/fd): its links lead where the system
// says (to a process's descriptors, its working folder, its program), not where their text reads.
bool fsIsProcessFolder(int dirFd);

// False where the open directory is on a file system mounted so that no symbolic link on it is
// followed (nosymfollow).
bool fsFollowsLinks(int dirFd);

// Gives the open file `toFd` the inode flags of the open file `fromFd` that a file replacing it
// keeps, as chattr(1) names them: A, c, C, d, m, S, t, u, which its owner may set, and j, which
// needs CAP_SYS_RESOURCE; and the attributes of the file system's own that FS_IOC_FSGETXATTR
// shows (XFS's project id, extent size hint and nodefrag). One at a time, where the file system
// and the caller's privileges let it be set: one refused is left out, and fails nothing. Nothing
// where the system has no such flags (not Linux).
void fsCopyFlags(int fromFd, int toFd);
