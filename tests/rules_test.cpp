// The kernel's rules for links, FIFOs and files in sticky folders, shown ids and access lists,
// as tables: each row is written from the documented rule (Documentation/admin-guide/sysctl/fs.rst
// for protected_symlinks, protected_fifos and protected_regular; stat(2) and user_namespaces(7)
// for shown ids and the overflow id; unlink(2) and rename(2) with capabilities(7) for sticky
// folders and CAP_FOWNER), or from one of velto's own choices on top of them, which the rows name:
// - a setting that could not be read is taken as its strictest: 1 for links, 2 for FIFOs and
//   files; protected_symlinks 2 protects as 1;
// - the system shows an id without a mapping as the overflow id, so any other id it shows is
//   someone; the overflow id is someone only where the map holds every id (the initial
//   namespace's), and no one where it holds fewer or could not be read;
// - an id that stands for nobody is never the caller nor the folder's owner.
#include <gtest/gtest.h>

#include <sstream>

#include "output/kernel_rules.h"
#include "output/output_decision.h"
#include "support/support.h"

namespace {

using testing_support::le16;
using testing_support::le32;
using testing_support::rowName;

// caller, CAP_FOWNER, CAP_CHOWN, every user id mapped, every group id mapped, overflow ids,
// settings (the rows set those they are about)
const KernelView kRoot{0, true, true, true, true, 65534, 65534, 1, 1, 1};
const KernelView kUser{1000, false, false, true, true, 65534, 65534, 1, 1, 1};
const KernelView kNobody{65534, false, false, true, true, 65534, 65534, 1, 1, 1};
// Root of a user namespace whose maps hold fewer than every id (unshare -r, or a map of
// subordinate ids, which may hold 65534 itself), or could not be read; and nobody there.
const KernelView kNamespaceRoot{0, true, true, false, false, 65534, 65534, 1, 1, 1};
const KernelView kNamespaceNobody{65534, false, false, false, false, 65534, 65534, 1, 1, 1};
// /proc hidden: no map and no setting read.
const KernelView kProcHidden{0, true, true, false, false, 65534, 65534, -1, -1, -1};
// The user map holds every id, the group map fewer; overflow ids of their own.
const KernelView kOtherOverflow{0, true, true, true, false, 65000, 65001, 1, 1, 1};

Seen seen(std::uint32_t mode, std::uint32_t owner, std::uint32_t group = 0) { return {mode, owner, group}; }

struct IdRow { std::string name; KernelView view; bool group; std::uint32_t id; bool someone; };
void PrintTo(const IdRow& row, std::ostream* os) { *os << row.name; }
class IdRule : public ::testing::TestWithParam<IdRow> {};
TEST_P(IdRule, StandsForSomeoneOrNobody) {
    const IdRow& r = GetParam();
    EXPECT_EQ(r.group ? ruleGroupIsSomeone(r.view, r.id) : ruleUserIsSomeone(r.view, r.id), r.someone);
}
INSTANTIATE_TEST_SUITE_P(KernelRules, IdRule, ::testing::Values(
    IdRow{"initial namespace: root", kRoot, false, 0, true},
    IdRow{"initial namespace: the overflow id is the user nobody", kRoot, false, 65534, true},
    IdRow{"initial namespace: the overflow group", kRoot, true, 65534, true},
    IdRow{"initial namespace: the highest id", kRoot, false, 4294967294u, true},
    IdRow{"user namespace: root inside", kNamespaceRoot, false, 0, true},
    IdRow{"user namespace: an id shown is mapped", kNamespaceRoot, false, 1000, true},
    IdRow{"user namespace: a group shown is mapped", kNamespaceRoot, true, 4343, true},
    IdRow{"user namespace: the overflow id", kNamespaceRoot, false, 65534, false},
    IdRow{"user namespace: the overflow group", kNamespaceRoot, true, 65534, false},
    IdRow{"proc hidden: the overflow id", kProcHidden, false, 65534, false},
    IdRow{"proc hidden: the overflow group", kProcHidden, true, 65534, false},
    IdRow{"proc hidden: any other id", kProcHidden, false, 4242, true},
    IdRow{"overflow ids of their own: the overflow group", kOtherOverflow, true, 65001, false},
    IdRow{"overflow ids of their own: 65534 is a group like any", kOtherOverflow, true, 65534, true},
    IdRow{"overflow ids of their own: the user map holds every id", kOtherOverflow, false, 65000, true}),
    [](const auto& row) { return rowName(row.param.name); });

// A link, a FIFO or a file (owner `owner`) in a folder (mode, owner), at a protected_* setting.
struct PlaceRow { std::string name; KernelView view; int level; std::uint32_t dir, dirOwner, owner; bool may; };
void PrintTo(const PlaceRow& row, std::ostream* os) { *os << row.name; }
// The row through `rule`, with its level as the view's `setting`; and in a folder that is not
// sticky, where the system is not read, the answer is yes whatever the view.
using Rule = bool (*)(const KernelView&, const Seen&, const Seen&);
void expectPlace(const PlaceRow& r, int KernelView::*setting, Rule rule) {
    KernelView view = r.view;
    view.*setting = r.level;
    EXPECT_EQ(rule(view, seen(0777, r.owner), seen(r.dir, r.dirOwner)), r.may);
    if (!(r.dir & 01000)) {
        EXPECT_TRUE(rule(KernelView{}, seen(0777, r.owner), seen(r.dir, r.dirOwner))) << "needs the system read";
    }
}
class LinkRule : public ::testing::TestWithParam<PlaceRow> {};
TEST_P(LinkRule, FollowedOrNot) { expectPlace(GetParam(), &KernelView::protectedSymlinks, ruleMayFollow); }
INSTANTIATE_TEST_SUITE_P(KernelRules, LinkRule, ::testing::Values(
    PlaceRow{"setting 0: anything is followed", kUser, 0, 01777, 0, 1001, true},
    PlaceRow{"setting 1: another user's link in tmp", kUser, 1, 01777, 0, 1001, false},
    PlaceRow{"setting 2 protects as 1", kUser, 2, 01777, 0, 1001, false},
    PlaceRow{"setting unread taken as 1", kUser, -1, 01777, 0, 1001, false},
    PlaceRow{"sticky, others but not its group may write", kUser, 1, 01757, 0, 1001, false},
    PlaceRow{"not sticky", kUser, 1, 00777, 0, 1001, true},
    PlaceRow{"sticky, only its group may write", kUser, 2, 01770, 0, 1001, true},
    PlaceRow{"the caller's link", kUser, 1, 01777, 0, 1000, true},
    PlaceRow{"the folder owner's link", kUser, 1, 01777, 1001, 1001, true},
    PlaceRow{"CAP_FOWNER does not matter", kRoot, 1, 01777, 0, 1001, false},
    PlaceRow{"initial namespace: nobody's own link", kNobody, 1, 01777, 0, 65534, true},
    PlaceRow{"user namespace: the overflow id is never the caller", kNamespaceNobody, 1, 01777, 0, 65534, false},
    PlaceRow{"user namespace: nobody's link in nobody's folder", kNamespaceRoot, 1, 01777, 65534, 65534, false},
    PlaceRow{"proc hidden: root's own link in nobody's folder", kProcHidden, 1, 01777, 65534, 0, true},
    PlaceRow{"proc hidden: nobody's link in nobody's folder", kProcHidden, 1, 01777, 65534, 65534, false}),
    [](const auto& row) { return rowName(row.param.name); });

class FifoRule : public ::testing::TestWithParam<PlaceRow> {};
TEST_P(FifoRule, OpenedToBeCreatedOrNot) {
    expectPlace(GetParam(), &KernelView::protectedFifos, [](const KernelView& v, const Seen& fifo, const Seen& dir) {
        return ruleMayCreateInSticky(v, v.protectedFifos, fifo, dir);
    });
}
INSTANTIATE_TEST_SUITE_P(KernelRules, FifoRule, ::testing::Values(
    PlaceRow{"setting 0: any FIFO", kUser, 0, 01777, 0, 1001, true},
    PlaceRow{"setting 1: another user's FIFO in tmp", kUser, 1, 01777, 0, 1001, false},
    PlaceRow{"setting 2: another user's FIFO in tmp", kUser, 2, 01777, 0, 1001, false},
    PlaceRow{"setting unread: refused in tmp", kUser, -1, 01777, 0, 1001, false},
    PlaceRow{"setting 1: sticky, only its group may write", kUser, 1, 01770, 0, 1001, true},
    PlaceRow{"setting 2: sticky, its group may write", kUser, 2, 01770, 0, 1001, false},
    PlaceRow{"setting unread: taken as 2 in a group's sticky folder", kUser, -1, 01770, 0, 1001, false},
    PlaceRow{"setting 1: sticky, others but not its group may write", kUser, 1, 01757, 0, 1001, false},
    PlaceRow{"setting 2: sticky, no one else may write", kUser, 2, 01755, 0, 1001, true},
    PlaceRow{"setting 1: not sticky", kUser, 1, 00777, 0, 1001, true},
    PlaceRow{"setting 2: not sticky, its group may write", kUser, 2, 00770, 0, 1001, true},
    PlaceRow{"setting 2: the caller's FIFO", kUser, 2, 01777, 0, 1000, true},
    PlaceRow{"setting 2: the folder owner's FIFO", kUser, 2, 01770, 1001, 1001, true},
    PlaceRow{"CAP_FOWNER does not matter", kRoot, 1, 01777, 0, 1001, false},
    PlaceRow{"user namespace: nobody's FIFO in nobody's folder", kNamespaceRoot, 1, 01777, 65534, 65534, false},
    PlaceRow{"proc hidden: root's own FIFO in nobody's folder", kProcHidden, 1, 01777, 65534, 0, true}),
    [](const auto& row) { return rowName(row.param.name); });

// Removing or renaming a file (owner, group) in a folder (mode, owner): in a sticky folder only
// the file's owner, the folder's owner, or a caller with CAP_FOWNER over the file (its owner and
// group both mapped) may.
struct StickyRow { std::string name; KernelView view; std::uint32_t dir, dirOwner, owner, group; bool may; };
void PrintTo(const StickyRow& row, std::ostream* os) { *os << row.name; }
class StickyRule : public ::testing::TestWithParam<StickyRow> {};
TEST_P(StickyRule, ReplacedOrNot) {
    const StickyRow& r = GetParam();
    EXPECT_EQ(ruleMayReplaceInSticky(r.view, seen(0644, r.owner, r.group), seen(r.dir, r.dirOwner)), r.may);
    if (!(r.dir & 01000)) {
        EXPECT_TRUE(ruleMayReplaceInSticky({}, seen(0644, r.owner, r.group), seen(r.dir, r.dirOwner)))
            << "needs the system read";
    }
}
INSTANTIATE_TEST_SUITE_P(KernelRules, StickyRule, ::testing::Values(
    StickyRow{"the caller's file", kUser, 01777, 0, 1000, 1000, true},
    StickyRow{"in the caller's folder", kUser, 01777, 1000, 1001, 1001, true},
    StickyRow{"the folder owner's file is not the caller's", kUser, 01777, 1001, 1001, 1001, false},
    StickyRow{"another user's file", kUser, 01777, 0, 1001, 1001, false},
    StickyRow{"another user's file, only the group may write", kUser, 01770, 0, 1001, 1001, false},
    StickyRow{"not sticky", kUser, 00777, 0, 1001, 1001, true},
    StickyRow{"CAP_FOWNER: another user's file", kRoot, 01777, 1002, 1001, 1001, true},
    StickyRow{"CAP_FOWNER, initial namespace: nobody's file", kRoot, 01777, 1002, 65534, 65534, true},
    StickyRow{"initial namespace: nobody's own file", kNobody, 01777, 0, 65534, 65534, true},
    StickyRow{"CAP_FOWNER, user namespace: the overflow id in its folder", kNamespaceRoot, 01777, 65534, 65534, 0, false},
    StickyRow{"CAP_FOWNER, user namespace: both shown as mapped", kNamespaceRoot, 01777, 65534, 1000, 1000, true},
    StickyRow{"CAP_FOWNER, user namespace: group the overflow id", kNamespaceRoot, 01777, 65534, 1000, 65534, false},
    StickyRow{"CAP_FOWNER, user namespace: owner the overflow id", kNamespaceRoot, 01777, 65534, 65534, 1000, false},
    StickyRow{"user namespace: the overflow id is not the caller", kNamespaceNobody, 01777, 0, 65534, 0, false},
    StickyRow{"user namespace: nor the folder owner", kNamespaceNobody, 01777, 65534, 1000, 1000, false},
    StickyRow{"proc hidden: root's own file in nobody's folder", kProcHidden, 01777, 65534, 0, 0, true},
    StickyRow{"CAP_FOWNER, proc hidden: another user's file", kProcHidden, 01777, 65534, 1000, 1000, true},
    StickyRow{"CAP_FOWNER, proc hidden: owner the overflow id", kProcHidden, 01777, 65534, 65534, 1000, false},
    StickyRow{"CAP_FOWNER, overflow ids of their own: group 65534", kOtherOverflow, 01777, 1001, 1000, 65534, true},
    StickyRow{"CAP_FOWNER, overflow ids of their own: the overflow group", kOtherOverflow, 01777, 1001, 1000, 65001, false}),
    [](const auto& row) { return rowName(row.param.name); });

// An access control list as the system gives it (system.posix_acl_access): version 2, then
// {tag, permissions, id} little-endian, from its entries as getfacl writes them, short:
// "u::rw,u:1001:w,g::r,g:?:r,m::rw,o::-". The entries for the owner, the owning group, the mask
// and others carry id -1 (no id); a named user or group without a mapping ("?") reads back as
// -1 too, and such a list cannot be set (the table of narrowed lists below).
std::string acl(const std::string& entries) {
    std::string bytes = le32(2);
    std::istringstream in(entries);
    for (std::string e; std::getline(in, e, ',');) {
        const std::size_t colon = e.find(':', 2);
        const std::string id = e.substr(2, colon - 2), perms = e.substr(colon + 1);
        const bool named = !id.empty();
        const std::uint16_t tag = e[0] == 'u' ? (named ? 0x02 : 0x01) : e[0] == 'g' ? (named ? 0x08 : 0x04)
                                : e[0] == 'm' ? 0x10 : 0x20;
        std::uint16_t perm = 0;
        for (const char c : perms) perm |= c == 'r' ? 4 : c == 'w' ? 2 : c == 'x' ? 1 : 0;
        const std::uint32_t number = !named || id == "?" ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::stoul(id));
        bytes += le16(tag) + le16(perm) + le32(number);
    }
    return bytes;
}
// What velto makes of one look at the output's name: the way it is written, or kRefused, and for
// a replacement its plan. A look is a file (of `found`, mode, owner and group `owner`) in a folder
// (mode, owner) as `view` sees it; `change` alters the rest. Each row's answer comes from the
// rules above, as a shell's `>` meets them, from the statement of what velto refuses besides, and
// for a plan from chown(2) and chmod(2): a change of owner or group clears setuid and setgid,
// which only the file's owner, or CAP_FOWNER, sets again, and setgid only a member of the file's
// group, or CAP_FSETID.
struct DecisionRow {
    std::string name;
    KernelView view;
    Found found;
    std::uint32_t mode, owner, dirMode, dirOwner;
    void (*change)(OutputLook&);
    Way way;
    bool mayName = true;  // for kNew and kReplace
    std::uint32_t planOwner = kNoId, planGroup = kNoId, planMode = 0;  // for kReplace, where planMode != 0
};
void PrintTo(const DecisionRow& row, std::ostream* os) { *os << row.name; }
using enum Found;
using enum Way;
void asIs(OutputLook&) {}
KernelView at(KernelView view, int regular, int fifos = 1) {
    view.protectedRegular = regular;
    view.protectedFifos = fifos;
    return view;
}
// Root without CAP_FOWNER, or without CAP_FSETID.
KernelView kRootNoFowner = [] {
    KernelView v = kRoot;
    v.mayOverrideOwner = false, v.maySetGroupBit = true;
    return v;
}();
const KernelView& kRootNoFsetid = kRoot;  // kRoot has no CAP_FSETID
const std::string kListNaming1001 = acl("u::rw,u:1001:rw,g::r,m::rw,o::r");
class Decision : public ::testing::TestWithParam<DecisionRow> {};
TEST_P(Decision, WaysAndPlans) {
    const DecisionRow& r = GetParam();
    OutputLook look{.found = r.found, .file = seen(r.mode, r.owner, r.owner), .dir = seen(r.dirMode, r.dirOwner),
                    .view = r.view};
    r.change(look);
    const OutputWay way = outputDecide(look);
    EXPECT_EQ(way.way, r.way);
    if (r.way == kNew || r.way == Way::kReplace) {
        EXPECT_EQ(way.mayName, r.mayName);
    }
    if (r.way == Way::kReplace && r.planMode != 0) {
        EXPECT_EQ(way.plan.owner, r.planOwner);
        EXPECT_EQ(way.plan.group, r.planGroup);
        EXPECT_EQ(way.plan.mode, r.planMode) << std::oct << way.plan.mode;
    }
}
INSTANTIATE_TEST_SUITE_P(Output, Decision, ::testing::Values(
    // A regular file in a sticky folder, by protected_regular: never where the system would refuse
    // `>`, root and CAP_FOWNER included; root passes the rename rule throughout.
    DecisionRow{"protected_regular 0: another user's file in tmp",
                at(kRoot, 0), kRegular, 0666, 1001, 01777, 0, asIs, kReplace},
    DecisionRow{"protected_regular 1: another user's file in tmp",
                at(kRoot, 1), kRegular, 0666, 1001, 01777, 0, asIs, kRefused},
    DecisionRow{"protected_regular 2: another user's file in tmp",
                at(kRoot, 2), kRegular, 0666, 1001, 01777, 0, asIs, kRefused},
    DecisionRow{"protected_regular unread: another user's file in tmp",
                at(kProcHidden, -1), kRegular, 0666, 1001, 01777, 0, asIs, kRefused},
    DecisionRow{"protected_regular 1: a sticky folder only its group may write",
                at(kRoot, 1), kRegular, 0666, 1001, 01770, 0, asIs, kReplace},
    DecisionRow{"protected_regular 2: a sticky folder its group may write",
                at(kRoot, 2), kRegular, 0666, 1001, 01770, 0, asIs, kRefused},
    DecisionRow{"protected_regular unread: a sticky folder its group may write",
                at(kProcHidden, -1), kRegular, 0666, 1001, 01770, 0, asIs, kRefused},
    DecisionRow{"protected_regular 1: a sticky folder others may write",
                at(kRoot, 1), kRegular, 0666, 1001, 01757, 0, asIs, kRefused},
    DecisionRow{"protected_regular 2: a sticky folder no one else may write",
                at(kRoot, 2), kRegular, 0666, 1001, 01755, 0, asIs, kReplace},
    DecisionRow{"protected_regular 2: a folder that is not sticky",
                at(kRoot, 2), kRegular, 0666, 1001, 00777, 0, asIs, kReplace},
    DecisionRow{"protected_regular 2: the caller's own file in tmp",
                at(kUser, 2), kRegular, 0644, 1000, 01777, 0, asIs, kReplace},
    DecisionRow{"protected_regular 2: the folder owner's file",
                at(kRoot, 2), kRegular, 0666, 1001, 01777, 1001, asIs, kReplace},
    // The folder's owner may rename another user's file there, but not open it with O_CREAT.
    DecisionRow{"protected_regular 1: the folder owner writing another user's file",
                at(kUser, 1), kRegular, 0666, 1001, 01777, 1000, asIs, kRefused},
    DecisionRow{"protected_regular 0: the folder owner writing another user's file",
                at(kUser, 0), kRegular, 0666, 1001, 01777, 1000, asIs, kReplace},
    DecisionRow{"protected_regular 0: another user's file, rename refused",
                at(kUser, 0), kRegular, 0666, 1001, 01777, 0, asIs, kRefused},
    DecisionRow{"user namespace: the caller's own file, shown as 0, in tmp",
                at(kNamespaceRoot, 1), kRegular, 0644, 0, 01777, 65534, asIs, kReplace},
    DecisionRow{"user namespace: the overflow id's file in its folder",
                at(kNamespaceRoot, 1), kRegular, 0666, 65534, 01777, 65534, asIs, kRefused},
    // A FIFO in a sticky folder, by protected_fifos, read or not.
    DecisionRow{"protected_fifos unread: another user's FIFO in a group's sticky folder",
                at(kProcHidden, -1, -1), kFifo, 0666, 65534, 01770, 0, asIs, kRefused},
    DecisionRow{"protected_fifos 1: the same FIFO", at(kRoot, 2, 1), kFifo, 0666, 65534, 01770, 0, asIs, kDirect},
    DecisionRow{"a device in tmp", at(kUser, 2, 2), kDevice, 0666, 0, 01777, 0, asIs, kDirect},
    // What else the look may find.
    DecisionRow{"nothing there: a new file", kUser, kNothing, 0, 0, 0755, 1000, asIs, kNew},
    DecisionRow{"a new file in a folder that only grows: no named temporary file", kUser, kNothing, 0, 0, 0755, 1000,
                [](OutputLook& l) { l.dirPinned = true; }, kNew, false},
    DecisionRow{"a directory", kUser, kDirectory, 0755, 1000, 0755, 1000, asIs, kRefused},
    DecisionRow{"a link the system would not follow", kUser, kNothing, 0, 0, 01777, 0,
                [](OutputLook& l) { l.linkRefused = true; }, kRefused},
    DecisionRow{"the process's own descriptor", kUser, kOwnDescriptor, 0, 0, 0, 0, asIs, kDescriptor},
    DecisionRow{"the process's own descriptor, open only for reading", kUser, kOwnDescriptor, 0, 0, 0, 0,
                [](OutputLook& l) { l.descriptorWrites = false; }, kRefused},
    DecisionRow{"another process's descriptor", kUser, kOthersDescriptor, 0, 0, 0, 0, asIs, kRefused},
    DecisionRow{"an immutable, append-only or mounted-over file", kUser, kRegular, 0644, 1000, 0755, 1000,
                [](OutputLook& l) { l.pinned = true; }, kRefused},
    DecisionRow{"a file in an immutable or append-only folder", kUser, kRegular, 0644, 1000, 0755, 1000,
                [](OutputLook& l) { l.dirPinned = true; }, kRefused},
    DecisionRow{"an attribute that could not be read", kUser, kRegular, 0644, 1000, 0755, 1000,
                [](OutputLook& l) { l.attributesRead = false; }, kRefused},
    DecisionRow{"an access list naming a user without a mapping", kRoot, kRegular, 0644, 1000, 0755, 0,
                [](OutputLook& l) { l.accessList = acl("u::rw,u:?:rw,g::r,m::rw,o::-"); }, kRefused},
    // Whoever may not keep the old owner would leave the owner its named entry's rights.
    DecisionRow{"an access list naming its owner, which the caller cannot keep", kUser, kRegular, 0664, 1001, 0777, 0,
                [](OutputLook& l) { l.accessList = kListNaming1001; }, kRefused},
    DecisionRow{"the same list where CAP_CHOWN keeps the owner", kRoot, kRegular, 0664, 1001, 0777, 0,
                [](OutputLook& l) { l.accessList = kListNaming1001; }, kReplace},
    DecisionRow{"user namespace: a list naming 65534, the owner shown as 65534",
                kNamespaceNobody, kRegular, 0664, 65534, 0777, 0,
                [](OutputLook& l) { l.accessList = acl("u::rw,u:65534:rw,g::r,m::rw,o::r"); }, kReplace},
    DecisionRow{"the list naming 1001 where 1001 is the caller: its own file", kUser, kRegular, 0664, 1000, 0777, 0,
                [](OutputLook& l) { l.accessList = kListNaming1001, l.file.owner = 1001, l.view.caller = 1001; }, kReplace},
    DecisionRow{"user namespace: an owner shown as 65534 is never kept, even with CAP_CHOWN", kNamespaceRoot, kRegular,
                0464, 65534, 0777, 0, [](OutputLook& l) { l.accessList = acl("u::r,g::-,g:3000:rw,m::rw,o::-"); },
                kRefused},
    // The plan: what the caller keeps, and what it can set again.
    DecisionRow{"root keeps another user's owner and group", kRoot, kRegular, 0640, 1001, 0755, 0, asIs, kReplace,
                true, 1001, 1001, 0640},
    DecisionRow{"a user in the file's group keeps the group alone, bits narrowed by the owner's", kUser, kRegular,
                0666, 1001, 0777, 0, [](OutputLook& l) { l.view.groups = {1001}; }, kReplace, true, kNoId, 1001, 0666},
    DecisionRow{"neither kept: 0662 becomes 0622, the group the caller's own", kUser, kRegular, 0662, 1001, 0777, 0,
                [](OutputLook& l) { l.view.callerGroup = 1000; }, kReplace, true, kNoId, 1000, 0622},
    DecisionRow{"root without CAP_FOWNER keeps owner, group and bits", kRootNoFowner, kRegular, 0644, 1001, 0755, 0,
                asIs, kReplace, true, 1001, 1001, 0644},
    DecisionRow{"root without CAP_FOWNER would give away a setuid file it could not mark again: refused",
                kRootNoFowner, kRegular, 04755, 1001, 0755, 0, asIs, kRefused},
    DecisionRow{"root's own setuid file is not given away", kRootNoFowner, kRegular, 04755, 0, 0755, 0, asIs, kReplace,
                true, 0, 0, 04755},
    DecisionRow{"setgid of a group root is not in, without CAP_FSETID, goes", kRootNoFsetid, kRegular, 02755, 1001,
                0755, 0, asIs, kReplace, true, 1001, 1001, 0755}),
    [](const auto& row) { return rowName(row.param.name); });

// The permission bits a replaced file gets, from the statement: with u, g, o the old bits, the
// group's become g & (group kept ? rwx : o) & (owner kept ? rwx : u), the others' o & (group kept
// ? rwx : g) & (owner kept ? rwx : u); setuid goes with the owner, setgid with the group.
struct ModeRow { std::string name; std::uint32_t mode; bool ownerKept, groupKept; std::uint32_t narrowed; };
void PrintTo(const ModeRow& row, std::ostream* os) { *os << row.name; }
class NarrowedMode : public ::testing::TestWithParam<ModeRow> {};
TEST_P(NarrowedMode, NoOneButTheCallerGains) {
    EXPECT_EQ(outputNarrowedMode(GetParam().mode, GetParam().ownerKept, GetParam().groupKept), GetParam().narrowed);
}
INSTANTIATE_TEST_SUITE_P(Output, NarrowedMode, ::testing::Values(
    ModeRow{"both kept: 0606 stays", 0606, true, true, 0606},
    ModeRow{"neither kept: 0606 becomes 0600", 0606, false, false, 0600},
    ModeRow{"neither kept: 0646 becomes 0644", 0646, false, false, 0644},
    ModeRow{"neither kept: 0662 becomes 0622", 0662, false, false, 0622},
    ModeRow{"neither kept: 0644 stays", 0644, false, false, 0644},
    ModeRow{"neither kept: 0666 stays", 0666, false, false, 0666},
    ModeRow{"neither kept: 0664 becomes 0644", 0664, false, false, 0644},
    ModeRow{"the group kept: 0664 stays", 0664, false, true, 0664},
    ModeRow{"only the group lost: 0606 becomes 0600", 0606, true, false, 0600},
    ModeRow{"only the group lost: 0660 becomes 0600", 0660, true, false, 0600},
    ModeRow{"only the owner lost: 0466 becomes 0444", 0466, false, true, 0444},
    ModeRow{"the owner lost: setuid goes, setgid stays", 06755, false, true, 02755},
    ModeRow{"the group lost: setgid goes, setuid stays", 06755, true, false, 04755},
    ModeRow{"the sticky bit stays", 01644, false, false, 01644}),
    [](const auto& row) { return rowName(row.param.name); });

// The same for an access list: the owning group's and others' entries narrowed, a named entry
// for the new file's group (1001) counting as what its members had, the old group's members
// having their entry under the mask; named entries and the mask kept. Owner 1002, group 2000.
struct ListRow { std::string name, acl; bool ownerKept, groupKept, given; std::string narrowed; std::uint32_t mode; };
void PrintTo(const ListRow& row, std::ostream* os) { *os << row.name; }
class NarrowedList : public ::testing::TestWithParam<ListRow> {};
TEST_P(NarrowedList, NoOneButTheCallerGains) {
    const ListRow& r = GetParam();
    std::string list = r.acl;
    std::uint32_t mode = 0666;
    EXPECT_EQ(outputNarrowAccessList(list, mode, r.ownerKept, r.groupKept, 1002, 1001), r.given);
    if (r.given) {
        EXPECT_EQ(list, r.narrowed);
        EXPECT_EQ(mode, r.mode);
    }
}
INSTANTIATE_TEST_SUITE_P(Output, NarrowedList, ::testing::Values(
    ListRow{"the new group's entry write-only: the owning group's becomes write-only",
            acl("u::rw,g::rw,g:1001:w,m::rw,o::rw"), false, false, true,
            acl("u::rw,g::w,g:1001:w,m::rw,o::rw"), 0666},
    ListRow{"no entry for the new group: it gets what others had",
            acl("u::rw,g::rw,u:4242:rw,m::rw,o::r"), true, false, true,
            acl("u::rw,g::r,u:4242:rw,m::rw,o::r"), 0664},
    ListRow{"the old group read-only under the mask: others get no more",
            acl("u::rw,g::rw,u:4242:rw,m::r,o::rw"), true, false, true,
            acl("u::rw,g::rw,u:4242:rw,m::r,o::r"), 0644},
    ListRow{"the owner lost: no one gets more than it had",
            acl("u::r,g::rw,u:4242:rw,m::rw,o::rw"), false, true, true,
            acl("u::r,g::r,u:4242:rw,m::rw,o::r"), 0464},
    ListRow{"both kept: as it was",
            acl("u::rw,g::-,g:1001:w,m::rw,o::rw"), true, true, true,
            acl("u::rw,g::-,g:1001:w,m::rw,o::rw"), 0666},
    ListRow{"naming the old owner, who is lost: not given",
            acl("u::r,u:1002:rw,g::r,m::rw,o::-"), false, true, false, "", 0},
    ListRow{"a named user without a mapping: not given",
            acl("u::rw,u:?:rw,g::r,m::rw,o::-"), true, true, false, "", 0},
    ListRow{"a named group without a mapping: not given",
            acl("u::rw,u:4242:rw,g::r,g:?:r,m::rw,o::-"), true, true, false, "", 0},
    ListRow{"a named user 65534 is someone: given as it was",
            acl("u::rw,u:65534:rw,g::r,m::rw,o::-"), true, true, true,
            acl("u::rw,u:65534:rw,g::r,m::rw,o::-"), 0660},
    ListRow{"the mode's three entries alone: given as they were", acl("u::rw,g::r,o::r"),
            true, true, true, acl("u::rw,g::r,o::r"), 0644},
    ListRow{"a named group that denies, no entry for the new group: the owning group's narrows to it",
            acl("u::rw,g::rw,g:3000:-,m::rw,o::rw"), false, false, true, acl("u::rw,g::-,g:3000:-,m::rw,o::rw"), 0666},
    ListRow{"the owner lost, a named group giving more than it had but not under the mask: given",
            acl("u::r,g::r,g:100:rw,m::r,o::rw"), false, false, true, acl("u::r,g::r,g:100:rw,m::r,o::r"), 0444},
    ListRow{"the owner lost, a named group giving more than it had: not given",
            acl("u::r,g::-,g:3000:rw,m::rw,o::-"), false, false, false, "", 0},
    ListRow{"naming the old owner, who is kept: given",
            acl("u::r,u:1002:rw,g::r,m::rw,o::-"), true, true, true,
            acl("u::r,u:1002:rw,g::r,m::rw,o::-"), 0460}),
    [](const auto& row) { return rowName(row.param.name); });

}  // namespace
