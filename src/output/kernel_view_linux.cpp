// Linux: the file-system user id (which setfsuid answers with when given an id it refuses),
// CAP_FOWNER, the user namespace's id maps, the overflow ids and the protection settings.
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "output/kernel_rules.h"

namespace {

// The numbers in the file `path`; empty where it cannot be opened or a read fails part way.
std::vector<long long> readNumbers(const char* path) {
    std::vector<long long> numbers;
    std::FILE* f = std::fopen(path, "re");
    if (f == nullptr) return numbers;
    for (long long n = 0; std::fscanf(f, "%lld", &n) == 1;) numbers.push_back(n);
    if (!std::feof(f) || std::ferror(f)) numbers.clear();
    std::fclose(f);
    return numbers;
}

// A map of "first-inside first-outside count" lines, read whole.
IdMap readMap(const char* path) {
    const std::vector<long long> n = readNumbers(path);
    IdMap map{.read = !n.empty(), .ranges = {}};
    for (std::size_t i = 0; i + 2 < n.size(); i += 3) {
        map.ranges.push_back({static_cast<std::uint32_t>(n[i]), static_cast<std::uint32_t>(n[i + 2])});
    }
    return map;
}

// The first number in the file `path`, or `fallback` where there is none.
long long readSetting(const char* path, long long fallback) {
    const std::vector<long long> n = readNumbers(path);
    return n.empty() ? fallback : n[0];
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
