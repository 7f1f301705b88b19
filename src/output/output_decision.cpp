// The decision over a look at the output's name, and the plan for a replaced file: no system call.
#include "output/output_decision.h"

#include <algorithm>

namespace {

// The bits of `who` (6: the owner, 3: the group, 0: others) in the mode `mode`.
std::uint32_t bits(std::uint32_t mode, int who) { return mode >> who & 7; }

// The access control list's entries: a 32-bit version, then 8 bytes each.
constexpr std::size_t kHeader = 4, kEntry = 8;
enum : std::uint32_t { kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10, kOther = 0x20 };
// The little-endian 16-bit value at `at`.
std::uint32_t le16(const std::string& acl, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(acl[i])); };
    return byte(at) | byte(at + 1) << 8;
}

// The plan for the file that replaces `look.file`, or kRefused where the caller could not carry
// one out. The owner is kept where it is the caller or the caller may give files away (CAP_CHOWN);
// the group where the caller may give files away or is in it; an id that stands for no one never.
// A group not kept is the caller's own, given as such: a new file may take its folder's instead
// (a setgid folder, a file system mounted grpid), whose members had no part in the old file.
OutputWay replacement(const OutputLook& look) {
    const KernelView& view = look.view;
    const Seen& old = look.file;
    const bool someone = ruleUserIsSomeone(view, old.owner);
    const bool ownerKept = someone && (old.owner == view.caller || view.mayGiveOwner);
    const bool member = old.group == view.callerGroup ||
                        std::find(view.groups.begin(), view.groups.end(), old.group) != view.groups.end();
    const bool groupKept = ruleGroupIsSomeone(view, old.group) && (view.mayGiveOwner || member);
    const std::uint32_t own = ruleGroupIsSomeone(view, view.callerGroup) ? view.callerGroup : kNoId;
    const std::uint32_t newGroup = groupKept ? old.group : own;
    OutputWay way{Way::kReplace, true,
                  {ownerKept ? old.owner : kNoId, newGroup, outputNarrowedMode(old.mode, ownerKept, groupKept),
                   look.accessList, view.leaseSeconds}};
    OutputPlan& plan = way.plan;
    const std::uint32_t oldOwner = someone ? old.owner : kNoId;
    if (!plan.accessList.empty() &&
        !outputNarrowAccessList(plan.accessList, plan.mode, ownerKept, groupKept, oldOwner, newGroup)) {
        return {};
    }
    // Only a caller in the group or with CAP_FSETID keeps setgid: the system drops it silently
    // for any other. A change of owner clears setuid and setgid, and only CAP_FOWNER sets them
    // again on a file given away.
    if (!member && !view.maySetGroupBit) plan.mode &= ~02000u;
    const bool givenAway = ownerKept && old.owner != view.caller;
    return givenAway && (plan.mode & 06000) != 0 && !view.mayOverrideOwner ? OutputWay{} : way;
}

}  // namespace

OutputWay outputDecide(const OutputLook& look) {
    const KernelView& view = look.view;
    if (look.linkRefused) return {};
    switch (look.found) {
    case Found::kOthersDescriptor:
    case Found::kDirectory: return {};
    case Found::kOwnDescriptor: return look.descriptorWrites ? OutputWay{Way::kDescriptor} : OutputWay{};
    case Found::kFifo:
        return ruleMayCreateInSticky(view, view.protectedFifos, look.file, look.dir) ? OutputWay{Way::kDirect}
                                                                                     : OutputWay{};
    // The system refuses `>` another user's device in a sticky folder everyone may write, at any
    // setting: the rule at level 1.
    case Found::kDevice:
        return ruleMayCreateInSticky(view, 1, look.file, look.dir) ? OutputWay{Way::kDirect} : OutputWay{};
    // A temporary name in a folder that only grows could never be removed.
    case Found::kNothing: return {Way::kNew, !look.dirPinned};
    case Found::kRegular: break;
    }
    const bool mayReplace = ruleMayCreateInSticky(view, view.protectedRegular, look.file, look.dir) &&
                            ruleMayReplaceInSticky(view, look.file, look.dir);
    return mayReplace && !look.pinned && !look.dirPinned && look.attributesRead ? replacement(look) : OutputWay{};
}

std::uint32_t outputNarrowedMode(std::uint32_t mode, bool ownerKept, bool groupKept) {
    const std::uint32_t owner = ownerKept ? 7 : bits(mode, 6);
    const std::uint32_t group = bits(mode, 3) & (groupKept ? 7 : bits(mode, 0)) & owner;
    const std::uint32_t others = bits(mode, 0) & (groupKept ? 7 : bits(mode, 3)) & owner;
    const std::uint32_t special = (ownerKept ? 04000 : 0) | (groupKept ? 02000 : 0) | 01000;
    return (mode & special) | (mode & 0700) | group << 3 | others;
}

bool outputNarrowAccessList(std::string& acl, std::uint32_t& mode, bool ownerKept, bool groupKept,
                            std::uint32_t oldOwner, std::uint32_t newGroup) {
    std::uint32_t user = 7, group = 7, mask = 7, others = 7, newGroups = 8;  // 8: no entry
    std::uint32_t everyNamedGroup = 7, anyNamedGroup = 0;  // what all named groups give, and any
    std::size_t groupAt = 0, othersAt = 0;
    bool masked = false;  // a list with a mask shows it as the mode's group bits
    bool namedGroups = false;
    for (std::size_t at = kHeader; at + kEntry <= acl.size(); at += kEntry) {
        const std::uint32_t tag = le16(acl, at), perm = le16(acl, at + 2) & 7;
        const std::uint32_t id = le16(acl, at + 4) | le16(acl, at + 6) << 16;
        if ((tag == kUser || tag == kGroup) && id == 0xFFFFFFFFu) return false;
        if (tag == kUser && id == oldOwner && !ownerKept) return false;
        if (tag == kUserObj) user = perm;
        if (tag == kGroupObj) group = perm, groupAt = at;
        if (tag == kGroup) everyNamedGroup &= perm, anyNamedGroup |= perm, namedGroups = true;
        if (tag == kGroup && id == newGroup) newGroups = perm;
        if (tag == kMask) mask = perm, masked = true;
        if (tag == kOther) others = perm, othersAt = at;
    }
    // The old owner, where lost, may be in a named group: one that gives more than it had would
    // give it more.
    if (!ownerKept && (anyNamedGroup & mask & ~user) != 0) return false;
    // The mode's rule, with what the new group's members and the old group's had in the list: the
    // new group's own entry where there is one, else others' bits, but no more than any named
    // group gave those of its members who are in one.
    const std::uint32_t asNewGroup = newGroups < 8 ? newGroups : others & (namedGroups ? everyNamedGroup & mask : 7);
    const auto narrowed = [&](std::uint32_t g, std::uint32_t o) {
        return outputNarrowedMode(user << 6 | g << 3 | o, ownerKept, groupKept);
    };
    const std::uint32_t newGroupBits = bits(narrowed(group, asNewGroup), 3);
    const std::uint32_t newOthers = bits(narrowed(group & mask, others), 0);
    if (groupAt != 0) acl[groupAt + 2] = static_cast<char>(newGroupBits);
    if (othersAt != 0) acl[othersAt + 2] = static_cast<char>(newOthers);
    mode = (mode & ~0777u) | user << 6 | (masked ? mask : newGroupBits) << 3 | newOthers;
    return true;
}
