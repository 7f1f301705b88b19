// Preparing the process before a run, on each platform.
#pragma once

// Makes the process safe to run whatever console it was given: standard streams it was started
// without are opened on the null device (on POSIX systems all three, so that no file opened
// later takes their place; on Windows standard output and error), and a reader of the texts
// that went away does not end the process. On POSIX systems a file-size limit does not end it
// either (SIGXFSZ is ignored): the write fails instead, and the run says so. Call once, first
// thing.
void veltoPrepareProcess();

// Whether the standard descriptor `fd` (0 to 2) was closed when the process started, and is
// open on the null device only since veltoPrepareProcess: no output of the caller's. POSIX only.
bool veltoStartedWithout(int fd);
