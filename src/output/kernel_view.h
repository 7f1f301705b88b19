// What the kernel's rules (kernel_rules.h) depend on, read from the system once per run, the
// first time a rule needs it. Linux reads it (kernel_view_linux.cpp); other POSIX systems, and
// builds made with -DVELTO_PORTABLE_POSIX=ON, get a system with no user namespaces and no
// protection of links or FIFOs (kernel_view_portable.cpp).
#pragma once

#include "output/kernel_rules.h"

// Never fails: what cannot be read is marked so in the record, and the rules say what it means.
const KernelView& kernelView();
