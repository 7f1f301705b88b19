// A POSIX system of which nothing more is known: no user namespaces (every id is someone), no
// protection of links, FIFOs or files in sticky folders, and root as the one who may override
// the sticky rule and give a file to anyone, as POSIX gives it.
#include <unistd.h>

#include "output/kernel_rules.h"

const KernelView& kernelView() {
    static const KernelView view{.caller = geteuid(),
                                 .mayOverrideOwner = geteuid() == 0,
                                 .mayGiveOwner = geteuid() == 0,
                                 .everyUser = true,
                                 .everyGroup = true,
                                 .protectedSymlinks = 0,
                                 .protectedFifos = 0,
                                 .protectedRegular = 0};
    return view;
}
