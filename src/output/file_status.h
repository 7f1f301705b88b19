// What the system says of an open file beyond its status: whether its name may be removed or
// replaced at all, and whether a directory is the table of processes. Linux sees all of it
// (file_status_linux.cpp); other POSIX systems see none of the attributes, and where the
// system refuses such a file, it does so when the new file takes the name
// (file_status_portable.cpp).
#pragma once

// True where the open file or directory is immutable or append-only: its name can be neither
// removed nor replaced, and a directory's names cannot be removed.
bool fsIsPinned(int fd);

// True where the open file is the root of a mount: a file mounted over a name, which no other
// file can replace.
bool fsIsMountRoot(int fd);

// True where the open directory is one of the system's tables of processes (/proc), whose
// numbered links name a process's descriptors.
bool fsIsProcessTable(int dirFd);
