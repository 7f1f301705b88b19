// Linux: the f*xattr calls, or the *xattr calls through /proc for a file opened only to be
// reached.
#include <fcntl.h>
#include <linux/limits.h>
#include <sys/xattr.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "output/extended_attributes.h"

int fsReadExtendedAttributes(int fd, ExtendedAttributes& read) {
    // A file opened only to be reached (O_PATH: one that may not be read) is read through /proc.
    // Linux keeps no list of names, and no value, of more than 64 KiB.
    const std::string path = (fcntl(fd, F_GETFL) & O_PATH) != 0 ? "/proc/self/fd/" + std::to_string(fd) : "";
    std::vector<char> names(XATTR_LIST_MAX);
    const ssize_t listed = path.empty() ? flistxattr(fd, names.data(), names.size())
                                        : listxattr(path.c_str(), names.data(), names.size());
    read.clear();
    if (listed < 0) return errno == ENOTSUP ? 0 : -1;  // a file system without them has none to keep
    std::vector<char> value(XATTR_SIZE_MAX);
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        std::string key(names.data() + at);
        at += key.size() + 1;
        const ssize_t got = path.empty() ? fgetxattr(fd, key.c_str(), value.data(), value.size())
                                         : getxattr(path.c_str(), key.c_str(), value.data(), value.size());
        if (got < 0 && !key.starts_with("security.")) return -1;
        if (got >= 0) read.emplace_back(std::move(key), std::string_view{value.data(), static_cast<std::size_t>(got)});
    }
    return 0;
}

int fsWriteExtendedAttributes(const ExtendedAttributes& attributes, const std::string& accessList, int toFd) {
    // The list the new file took from its directory's default goes first, so that it takes no
    // room the others need, and no one may read the new file who could not read the old.
    if (fremovexattr(toFd, kAccessListAttribute) != 0 && errno != ENODATA && errno != ENOTSUP) return -1;
    for (const auto& [key, value] : attributes) {
        if (key == kAccessListAttribute || key.starts_with("security.")) continue;
        if (fsetxattr(toFd, key.c_str(), value.data(), value.size(), 0) != 0) return -1;
    }
    if (accessList.empty()) return 0;
    return fsetxattr(toFd, kAccessListAttribute, accessList.data(), accessList.size(), 0) == 0 ? 0 : -1;
}

void fsWriteSecurityLabels(const ExtendedAttributes& attributes, int toFd) {
    for (const auto& [key, value] : attributes) {
        if (key.starts_with("security.")) fsetxattr(toFd, key.c_str(), value.data(), value.size(), 0);
    }
}
