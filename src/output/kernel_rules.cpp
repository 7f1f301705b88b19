// The kernel's rules, from one reading of the system: no system call here.
#include "output/kernel_rules.h"

namespace {

constexpr std::uint32_t kSticky = 01000, kGroupWrites = 0020, kOthersWrite = 0002;

// Whether the owner id `owner` is the user `who`; an id that stands for nobody is no one's.
bool isUser(const KernelView& view, std::uint32_t owner, std::uint32_t who) {
    return owner == who && ruleUserIsSomeone(view, owner);
}

// The file's or link's owner is the caller or the folder's owner.
bool ownedHere(const KernelView& view, const Seen& file, const Seen& dir) {
    return isUser(view, file.owner, view.caller) || isUser(view, file.owner, dir.owner);
}

// A setting that could not be read is taken as its strictest, although the kernel's own default
// is 0: a run refused where the system would have let it through can be made elsewhere, while a
// recording handed to another user's FIFO, file or link cannot be taken back.
int level(int read, int strictest) { return read < 0 ? strictest : read; }

}  // namespace

bool ruleUserIsSomeone(const KernelView& view, std::uint32_t id) { return id != view.overflowUser || view.everyUser; }

bool ruleGroupIsSomeone(const KernelView& view, std::uint32_t id) {
    return id != view.overflowGroup || view.everyGroup;
}

bool ruleMayFollow(const KernelView& view, const Seen& link, const Seen& dir) {
    const bool shared = (dir.mode & kSticky) && (dir.mode & kOthersWrite);
    return !shared || ownedHere(view, link, dir) || level(view.protectedSymlinks, 1) == 0;
}

bool ruleMayCreateInSticky(const KernelView& view, int setting, const Seen& file, const Seen& dir) {
    if (!(dir.mode & kSticky) || ownedHere(view, file, dir)) return true;
    const int at = level(setting, 2);
    return at == 0 || !((dir.mode & kOthersWrite) || (at >= 2 && (dir.mode & kGroupWrites)));
}

bool ruleMayReplaceInSticky(const KernelView& view, const Seen& file, const Seen& dir) {
    if (!(dir.mode & kSticky)) return true;
    if (isUser(view, file.owner, view.caller) || isUser(view, dir.owner, view.caller)) return true;
    return view.mayOverrideOwner && ruleUserIsSomeone(view, file.owner) && ruleGroupIsSomeone(view, file.group);
}
