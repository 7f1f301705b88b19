// The kernel's rules, from one reading of the system: no system call here.
#include "output/kernel_rules.h"

namespace {

bool someone(const IdMap& map, std::uint32_t overflow, std::uint32_t id) {
    if (!map.read) return id != overflow;
    bool found = false;
    bool everyId = false;  // the initial namespace's map, which has no id left for the overflow id
    for (const IdRange& range : map.ranges) {
        everyId = everyId || (range.first == 0 && range.count == 0xFFFFFFFFu);
        found = found || (id >= range.first && id - range.first < range.count);
    }
    return found && (everyId || id != overflow);
}

// Whether the owner id `owner` is the user `who`; an id that stands for nobody is no one's.
bool isUser(const KernelView& view, uid_t owner, uid_t who) { return owner == who && ruleUserIsSomeone(view, owner); }

// The file's or link's owner is the caller or the directory's owner.
bool ownedHere(const KernelView& view, const struct stat& file, const struct stat& dir) {
    return isUser(view, file.st_uid, view.caller) || isUser(view, file.st_uid, dir.st_uid);
}

// A setting that could not be read is taken as 1, as Debian sets both, although the kernel's own
// default is 0: a run refused where the system would have let it through can be made elsewhere,
// while a recording written to another user's FIFO, or through another user's link, cannot be
// taken back.
int setting(int read) { return read < 0 ? 1 : read; }

}  // namespace

bool ruleUserIsSomeone(const KernelView& view, uid_t id) { return someone(view.users, view.overflowUser, id); }

bool ruleGroupIsSomeone(const KernelView& view, gid_t id) { return someone(view.groups, view.overflowGroup, id); }

bool ruleMayFollow(const KernelView& view, const struct stat& link, const struct stat& dir) {
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || ownedHere(view, link, dir) || setting(view.protectedSymlinks) == 0;
}

bool ruleMayWriteFifo(const KernelView& view, const struct stat& fifo, const struct stat& dir) {
    if (!(dir.st_mode & S_ISVTX) || ownedHere(view, fifo, dir)) return true;
    const int level = setting(view.protectedFifos);
    return level == 0 || !((dir.st_mode & S_IWOTH) || (level >= 2 && (dir.st_mode & S_IWGRP)));
}

bool ruleMayReplaceInSticky(const KernelView& view, const struct stat& file, const struct stat& dir) {
    if (!(dir.st_mode & S_ISVTX)) return true;
    if (isUser(view, file.st_uid, view.caller) || isUser(view, dir.st_uid, view.caller)) return true;
    return view.mayOverrideOwner && ruleUserIsSomeone(view, file.st_uid) && ruleGroupIsSomeone(view, file.st_gid);
}

bool ruleMayGiveAccessList(std::string_view acl) {
    constexpr unsigned kUser = 0x02, kGroup = 0x08;
    const auto byte = [&](std::size_t at) { return static_cast<std::uint32_t>(static_cast<unsigned char>(acl[at])); };
    for (std::size_t at = 4; at + 8 <= acl.size(); at += 8) {
        const std::uint32_t tag = byte(at) | byte(at + 1) << 8;
        const std::uint32_t id = byte(at + 4) | byte(at + 5) << 8 | byte(at + 6) << 16 | byte(at + 7) << 24;
        if ((tag == kUser || tag == kGroup) && id == 0xFFFFFFFFu) return false;
    }
    return true;
}
