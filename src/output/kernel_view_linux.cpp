// Linux: the file-system user and group ids (which setfsuid and setfsgid answer with when given
// an id they refuse), the other groups, CAP_FOWNER, CAP_CHOWN and CAP_FSETID, whether the user namespace maps
// every id, the overflow ids, the protection settings and the lease break time.
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "output/kernel_rules.h"

namespace {

// The number the file `path` begins with, or `fallback` where it cannot be read.
long long readSetting(const char* path, long long fallback) {
    std::FILE* f = std::fopen(path, "re");
    long long value = fallback;
    if (f != nullptr && std::fscanf(f, "%lld", &value) != 1) value = fallback;
    if (f != nullptr) std::fclose(f);
    return value;
}

// Whether the id map at `path` ("first-inside first-outside count" lines) maps every id, as the
// initial namespace's one line "0 0 4294967295" does. Root may write that line into a child
// namespace's map as well; there every id is mapped too, and the overflow id is someone's. False
// where the map holds fewer, or cannot be read.
bool mapsEveryId(const char* path) {
    std::FILE* f = std::fopen(path, "re");
    unsigned long long inside = 1, outside = 0, count = 0;
    const bool every = f != nullptr && std::fscanf(f, "%llu %llu %llu", &inside, &outside, &count) == 3 &&
                       inside == 0 && count == 4294967295ull;
    if (f != nullptr) std::fclose(f);
    return every;
}

KernelView readView() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    const bool read = syscall(SYS_capget, &header, caps) == 0;
    const auto has = [&](int cap) { return read && (caps[cap / 32].effective & (1u << (cap % 32))) != 0; };
    KernelView view{.caller = static_cast<std::uint32_t>(setfsuid(static_cast<uid_t>(-1))),
                    .mayOverrideOwner = has(CAP_FOWNER),
                    .mayGiveOwner = has(CAP_CHOWN),
                    .everyUser = mapsEveryId("/proc/self/uid_map"),
                    .everyGroup = mapsEveryId("/proc/self/gid_map"),
                    .protectedSymlinks = static_cast<int>(readSetting("/proc/sys/fs/protected_symlinks", -1)),
                    .protectedFifos = static_cast<int>(readSetting("/proc/sys/fs/protected_fifos", -1)),
                    .protectedRegular = static_cast<int>(readSetting("/proc/sys/fs/protected_regular", -1)),
                    .callerGroup = static_cast<std::uint32_t>(setfsgid(static_cast<gid_t>(-1))),
                    .maySetGroupBit = has(CAP_FSETID),
                    .leaseSeconds = static_cast<int>(readSetting("/proc/sys/fs/lease-break-time", 45))};
    // The overflow ids matter only where a map leaves ids without a mapping.
    const auto overflow = [](const char* path) { return static_cast<std::uint32_t>(readSetting(path, 65534)); };
    if (!view.everyUser) view.overflowUser = overflow("/proc/sys/kernel/overflowuid");
    if (!view.everyGroup) view.overflowGroup = overflow("/proc/sys/kernel/overflowgid");
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
