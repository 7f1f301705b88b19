// Linux: the file-system user id (which setfsuid answers with when given an id it refuses),
// CAP_FOWNER and CAP_CHOWN, whether the user namespace maps every id, the overflow ids and the
// protection settings.
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

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
// initial namespace's one line "0 0 4294967295" does; no other map can hold that line. False
// where it holds fewer, or cannot be read.
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
    return {.caller = static_cast<std::uint32_t>(setfsuid(static_cast<uid_t>(-1))),
            .mayOverrideOwner = has(CAP_FOWNER),
            .mayGiveOwner = has(CAP_CHOWN),
            .everyUser = mapsEveryId("/proc/self/uid_map"),
            .everyGroup = mapsEveryId("/proc/self/gid_map"),
            .overflowUser = static_cast<std::uint32_t>(readSetting("/proc/sys/kernel/overflowuid", 65534)),
            .overflowGroup = static_cast<std::uint32_t>(readSetting("/proc/sys/kernel/overflowgid", 65534)),
            .protectedSymlinks = static_cast<int>(readSetting("/proc/sys/fs/protected_symlinks", -1)),
            .protectedFifos = static_cast<int>(readSetting("/proc/sys/fs/protected_fifos", -1)),
            .protectedRegular = static_cast<int>(readSetting("/proc/sys/fs/protected_regular", -1))};
}

}  // namespace

const KernelView& kernelView() {
    static const KernelView view = readView();
    return view;
}
