// Linux: the file-system user id (which setfsuid answers with when given an id it refuses),
// CAP_FOWNER, the user namespace's id maps, the overflow ids and the protection settings.
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

// A map of "first-inside first-outside count" lines, read whole; not read where it cannot be
// opened or a read fails part way.
IdMap readMap(const char* path) {
    IdMap map;
    std::FILE* f = std::fopen(path, "re");
    if (f == nullptr) return map;
    unsigned long long first = 0, outside = 0, count = 0;
    while (std::fscanf(f, "%llu %llu %llu", &first, &outside, &count) == 3) {
        map.ranges.push_back({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(count)});
    }
    map.read = std::feof(f) != 0 && std::ferror(f) == 0;
    if (!map.read) map.ranges.clear();
    std::fclose(f);
    return map;
}

KernelView readView() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    return {.caller = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))),
            .mayOverrideOwner = syscall(SYS_capget, &header, caps) == 0 &&
                                (caps[CAP_FOWNER / 32].effective & (1u << (CAP_FOWNER % 32))) != 0,
            .users = readMap("/proc/self/uid_map"),
            .groups = readMap("/proc/self/gid_map"),
            .overflowUser = static_cast<uid_t>(readSetting("/proc/sys/kernel/overflowuid", 65534)),
            .overflowGroup = static_cast<gid_t>(readSetting("/proc/sys/kernel/overflowgid", 65534)),
            .protectedSymlinks = static_cast<int>(readSetting("/proc/sys/fs/protected_symlinks", -1)),
            .protectedFifos = static_cast<int>(readSetting("/proc/sys/fs/protected_fifos", -1))};
}

}  // namespace

const KernelView& kernelView() {
    static const KernelView view = readView();
    return view;
}
