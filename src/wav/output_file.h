// Creating an output file so that nothing is lost when writing it fails.
//
// Where the output name is a regular file or does not exist yet, the bytes go to a temporary
// file beside it, which takes the output's name only once it has been written, flushed,
// synced and closed without error. Until then whatever stood under the output name - the
// input itself, for an in-place conversion - is left as it was. A replaced file keeps its
// permission bits (and its owner, where that can be kept); a symbolic link is followed and
// stays a link. Names of devices and FIFOs, and files in a directory that takes no temporary
// file, are opened and written directly.
#pragma once

#include <cstdio>
#include <string>

struct OutputFile {
    std::FILE* stream = nullptr;
    std::string tempPath;   // the temporary file, or empty when writing directly
    std::string finalPath;  // the name the temporary file takes when complete

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // abandons a file that was neither committed nor abandoned
};

// Opens `path` for writing as described above. Returns 0, or -1 when no file could be opened
// (the output name is a directory, its directory does not exist, permission is refused).
int outputOpen(const char* path, OutputFile& out);

// Flushes, syncs and closes the file, then gives the temporary file the output's name.
// Returns 0, or -1 when any of it failed; the temporary file is then removed.
int outputCommit(OutputFile& out);

// Closes the file and removes the temporary file, leaving the output name untouched.
void outputAbandon(OutputFile& out);

// Makes an interrupt or termination signal remove the temporary file being written before the
// process ends. Call once at start-up.
void outputRemoveOnSignals();
