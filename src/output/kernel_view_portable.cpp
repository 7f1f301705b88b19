// A POSIX system of which nothing more is known: no user namespaces (every id is someone), no
// protection of links or FIFOs in sticky directories, and root as the one who may override the
// sticky rule, as POSIX gives it.
#include <unistd.h>

#include "output/kernel_rules.h"

const KernelView& kernelView() {
    static const KernelView view{.caller = geteuid(),
                                 .mayOverrideOwner = geteuid() == 0,
                                 .users = {.read = true, .ranges = {{0, 0xFFFFFFFFu}}},
                                 .groups = {.read = true, .ranges = {{0, 0xFFFFFFFFu}}},
                                 .protectedSymlinks = 0,
                                 .protectedFifos = 0};
    return view;
}
