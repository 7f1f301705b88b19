// The record of an output on POSIX systems, shared by the sources that resolve its name
// (output_resolve_posix.cpp) and make and name its files (output_steps_posix.cpp).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "output/extended_attributes.h"
#include "output/output_steps.h"

struct OutputTarget {
    int dirFd = -1;           // the directory of the file the output name stands for, links followed
    std::string name;         // that file's name in it
    int descriptor = -1;      // for a name of one of the process's descriptors: its number
    struct stat existing {};  // what stands under the name, as looked at
    int existingFd = -1;      // a regular file there, opened to read its attributes
    ExtendedAttributes attributes;  // its extended attributes, read before anything is written
    int syncFd = -1;          // the directory opened for reading, to make names durable
    int fd = -1;              // the file being written: temporary, or the name's own
    std::string tempName;     // the name of the temporary file, while it has one (else unnamed)

    bool replacing() const { return existingFd >= 0; }

    ~OutputTarget() {
        for (const int d : {dirFd, existingFd, syncFd, fd}) if (d >= 0) close(d);
    }
};
