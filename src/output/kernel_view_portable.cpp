// A POSIX system of which nothing more is known: no user namespaces (every id is someone), no
// protection of links, FIFOs or files in sticky folders, no leases, and root as the one who may
// override the sticky rule and give a file to anyone, as POSIX gives it.
#include <unistd.h>

#include <vector>

#include "output/kernel_rules.h"

namespace {

KernelView readView() {
    KernelView view{.caller = geteuid(), .mayOverrideOwner = geteuid() == 0, .mayGiveOwner = geteuid() == 0,
                    .everyUser = true, .everyGroup = true, .protectedSymlinks = 0, .protectedFifos = 0,
                    .protectedRegular = 0, .callerGroup = getegid(), .maySetGroupBit = geteuid() == 0};
    const int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0 && getgroups(n, groups.data()) == n) view.groups.assign(groups.begin(), groups.end());
    return view;
}

}  // namespace

const KernelView& kernelView() {
    static const KernelView view = readView();
    return view;
}
