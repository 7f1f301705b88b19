// The kernel's rules for links, FIFOs, sticky folders, id maps and access lists, as tables: each
// row is written from the documented rule (Documentation/admin-guide/sysctl/fs.rst for
// protected_symlinks and protected_fifos; user_namespaces(7) for ids without a mapping and the
// overflow id; unlink(2) and rename(2) with capabilities(7) for sticky folders and CAP_FOWNER),
// or from one of velto's own choices on top of them, which the rows name:
// - a setting that could not be read is taken as 1, and protected_symlinks 2 as 1;
// - where a map could not be read (whatever lines came before the failure), only the overflow
//   id stands for nobody; where it was read, an id outside every range stands for nobody, and
//   so does the overflow id unless the map holds every id (the initial namespace's);
// - an id that stands for nobody is never the caller nor the folder's owner.
#include <gtest/gtest.h>

#include "output/kernel_rules.h"
#include "support/support.h"

namespace {

using testing_support::le16;
using testing_support::le32;
using testing_support::rowName;

const IdMap kEveryId{true, {{0, 4294967295u}}};  // "0 0 4294967295"
const IdMap kRootOnly{true, {{0, 1}}};           // "0 1000 1", as unshare -r makes
const IdMap kSubordinate{true, {{0, 65536}}};    // "0 100000 65536": holds the overflow id
// caller, CAP_FOWNER, users, groups, overflow ids, settings (the rows set the settings)
const KernelView kRoot{0, true, kEveryId, kEveryId, 65534, 65534, 1, 1};
const KernelView kUser{1000, false, kEveryId, kEveryId, 65534, 65534, 1, 1};
const KernelView kNobody{65534, false, kEveryId, kEveryId, 65534, 65534, 1, 1};
const KernelView kProcHidden{0, true, {}, {}, 65534, 65534, -1, -1};
const KernelView kUserNamespace{0, true, kRootOnly, kRootOnly, 65534, 65534, 1, 1};
const KernelView kSubordinateRoot{0, true, kSubordinate, kSubordinate, 65534, 65534, 1, 1};
const KernelView kSubordinateNobody{65534, false, kSubordinate, kSubordinate, 65534, 65534, 1, 1};
const KernelView kTwoRanges{0, true, {true, {{0, 1}, {1000, 10}}}, {true, {{0, 1}, {1000, 10}}}, 65534, 65534, 1, 1};
// The user map read; the group map's read failed after its first line; other overflow ids.
const KernelView kGroupsCut{0, true, kEveryId, {false, {{0, 1}}}, 65000, 65001, 1, 1};

struct stat st(mode_t mode, uid_t uid, gid_t gid = 0) {
    struct stat s {};
    s.st_mode = mode;
    s.st_uid = uid;
    s.st_gid = gid;
    return s;
}

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
    IdRow{"initial namespace: -1 is outside the map", kRoot, false, 4294967295u, false},
    IdRow{"unshare -r: root inside", kUserNamespace, false, 0, true},
    IdRow{"unshare -r: id 1 has no mapping", kUserNamespace, false, 1, false},
    IdRow{"unshare -r: the outside id is no inside id", kUserNamespace, true, 1000, false},
    IdRow{"unshare -r: the overflow id", kUserNamespace, false, 65534, false},
    IdRow{"subordinate map: an id inside", kSubordinateRoot, false, 1000, true},
    IdRow{"subordinate map: the overflow id it holds", kSubordinateRoot, false, 65534, false},
    IdRow{"subordinate map: the overflow group it holds", kSubordinateRoot, true, 65534, false},
    IdRow{"subordinate map: its last id", kSubordinateRoot, true, 65535, true},
    IdRow{"subordinate map: just past it", kSubordinateRoot, false, 65536, false},
    IdRow{"two ranges: inside the second", kTwoRanges, false, 1009, true},
    IdRow{"two ranges: past the second", kTwoRanges, true, 1010, false},
    IdRow{"two ranges: between them", kTwoRanges, false, 500, false},
    IdRow{"proc hidden: the overflow id", kProcHidden, false, 65534, false},
    IdRow{"proc hidden: the overflow group", kProcHidden, true, 65534, false},
    IdRow{"proc hidden: any other id", kProcHidden, false, 1000, true},
    IdRow{"gid map cut short: its overflow group", kGroupsCut, true, 65001, false},
    IdRow{"gid map cut short: a group past the lines read", kGroupsCut, true, 1000, true},
    IdRow{"gid map cut short: 65534 is not its overflow group", kGroupsCut, true, 65534, true},
    IdRow{"gid map cut short: the user map holds every id", kGroupsCut, false, 65000, true}),
    [](const auto& row) { return rowName(row.param.name); });

// A link or a FIFO (owner `owner`) in a folder (mode, owner), at a protected_* setting.
struct PlaceRow { std::string name; KernelView view; int level; mode_t dir; uid_t dirOwner; uid_t owner; bool may; };
void PrintTo(const PlaceRow& row, std::ostream* os) { *os << row.name; }
// The row through `rule`, with its level as the view's `setting`, for a file of `type`; and where
// the rules need not ask the system, the row's answer is yes.
void expectPlace(const PlaceRow& r, int KernelView::*setting, mode_t type,
                 bool (*rule)(const KernelView&, const struct stat&, const struct stat&)) {
    KernelView view = r.view;
    view.*setting = r.level;
    const struct stat dir = st(S_IFDIR | r.dir, r.dirOwner);
    EXPECT_EQ(rule(view, st(type, r.owner), dir), r.may);
    EXPECT_TRUE(ruleAsksTheSystem(dir) || r.may) << "refused without asking the system";
}
class LinkRule : public ::testing::TestWithParam<PlaceRow> {};
TEST_P(LinkRule, FollowedOrNot) {
    expectPlace(GetParam(), &KernelView::protectedSymlinks, S_IFLNK | 0777, ruleMayFollow);
}
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
    PlaceRow{"subordinate map: the overflow id is never the caller", kSubordinateNobody, 1, 01777, 0, 65534, false},
    PlaceRow{"user namespace: nobody's link in nobody's folder", kUserNamespace, 1, 01777, 65534, 65534, false},
    PlaceRow{"proc hidden: root's own link in nobody's folder", kProcHidden, 1, 01777, 65534, 0, true},
    PlaceRow{"proc hidden: nobody's link in nobody's folder", kProcHidden, 1, 01777, 65534, 65534, false}),
    [](const auto& row) { return rowName(row.param.name); });

class FifoRule : public ::testing::TestWithParam<PlaceRow> {};
TEST_P(FifoRule, WrittenOrNot) {
    expectPlace(GetParam(), &KernelView::protectedFifos, S_IFIFO | 0666, ruleMayWriteFifo);
}
INSTANTIATE_TEST_SUITE_P(KernelRules, FifoRule, ::testing::Values(
    PlaceRow{"setting 0: any FIFO", kUser, 0, 01777, 0, 1001, true},
    PlaceRow{"setting 1: another user's FIFO in tmp", kUser, 1, 01777, 0, 1001, false},
    PlaceRow{"setting 2: another user's FIFO in tmp", kUser, 2, 01777, 0, 1001, false},
    PlaceRow{"setting unread: taken as 1", kUser, -1, 01777, 0, 1001, false},
    PlaceRow{"setting 1: sticky, only its group may write", kUser, 1, 01770, 0, 1001, true},
    PlaceRow{"setting 2: sticky, its group may write", kUser, 2, 01770, 0, 1001, false},
    PlaceRow{"setting unread: not as 2 in a group's sticky folder", kUser, -1, 01770, 0, 1001, true},
    PlaceRow{"setting 1: sticky, others but not its group may write", kUser, 1, 01757, 0, 1001, false},
    PlaceRow{"setting 2: sticky, no one else may write", kUser, 2, 01755, 0, 1001, true},
    PlaceRow{"setting 1: not sticky", kUser, 1, 00777, 0, 1001, true},
    PlaceRow{"setting 2: not sticky, its group may write", kUser, 2, 00770, 0, 1001, true},
    PlaceRow{"setting 2: the caller's FIFO", kUser, 2, 01777, 0, 1000, true},
    PlaceRow{"setting 2: the folder owner's FIFO", kUser, 2, 01770, 1001, 1001, true},
    PlaceRow{"CAP_FOWNER does not matter", kRoot, 1, 01777, 0, 1001, false},
    PlaceRow{"user namespace: nobody's FIFO in nobody's folder", kUserNamespace, 1, 01777, 65534, 65534, false},
    PlaceRow{"proc hidden: root's own FIFO in nobody's folder", kProcHidden, 1, 01777, 65534, 0, true}),
    [](const auto& row) { return rowName(row.param.name); });

// Removing or renaming a file (owner, group) in a folder (mode, owner): in a sticky folder only
// the file's owner, the folder's owner, or a caller with CAP_FOWNER over the file (its owner and
// group both mapped) may.
struct StickyRow { std::string name; KernelView view; mode_t dir; uid_t dirOwner; uid_t owner; gid_t group; bool may; };
void PrintTo(const StickyRow& row, std::ostream* os) { *os << row.name; }
class StickyRule : public ::testing::TestWithParam<StickyRow> {};
TEST_P(StickyRule, ReplacedOrNot) {
    const StickyRow& r = GetParam();
    EXPECT_EQ(ruleMayReplaceInSticky(r.view, st(S_IFREG | 0644, r.owner, r.group), st(S_IFDIR | r.dir, r.dirOwner)), r.may);
    EXPECT_TRUE(ruleAsksTheSystem(st(S_IFDIR | r.dir, r.dirOwner)) || r.may) << "refused without asking the system";
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
    StickyRow{"CAP_FOWNER, user namespace: owner unmapped", kUserNamespace, 01777, 65534, 65534, 0, false},
    StickyRow{"CAP_FOWNER, subordinate map: both mapped", kSubordinateRoot, 01777, 65534, 1000, 1000, true},
    StickyRow{"CAP_FOWNER, subordinate map: group unmapped", kSubordinateRoot, 01777, 65534, 1000, 65534, false},
    StickyRow{"CAP_FOWNER, subordinate map: owner unmapped", kSubordinateRoot, 01777, 65534, 65534, 1000, false},
    StickyRow{"subordinate map: the overflow id is not the caller", kSubordinateNobody, 01777, 0, 65534, 0, false},
    StickyRow{"subordinate map: nor the folder owner", kSubordinateNobody, 01777, 65534, 1000, 1000, false},
    StickyRow{"proc hidden: root's own file in nobody's folder", kProcHidden, 01777, 65534, 0, 0, true},
    StickyRow{"CAP_FOWNER, proc hidden: another user's file", kProcHidden, 01777, 65534, 1000, 1000, true},
    StickyRow{"CAP_FOWNER, proc hidden: owner the overflow id", kProcHidden, 01777, 65534, 65534, 1000, false},
    StickyRow{"CAP_FOWNER, gid map cut short: group 65534 mapped", kGroupsCut, 01777, 1001, 1000, 65534, true},
    StickyRow{"CAP_FOWNER, gid map cut short: its overflow group", kGroupsCut, 01777, 1001, 1000, 65001, false}),
    [](const auto& row) { return rowName(row.param.name); });

// system.posix_acl_access: version 2, then {tag, permissions, id} little-endian. The entries for
// the owner, the owning group, the mask and others carry id -1 (no id); a named user or group
// without a mapping reads back as -1 too, and such a list cannot be set.
enum : std::uint16_t { kUserObj = 0x01, kNamedUser = 0x02, kGroupObj = 0x04, kNamedGroup = 0x08, kMask = 0x10, kOther = 0x20 };
constexpr std::uint32_t kNoId = 0xFFFFFFFFu;
struct Entry { std::uint16_t tag, perm; std::uint32_t id; };
std::string acl(std::initializer_list<Entry> entries) {
    std::string bytes = le32(2);
    for (const Entry& e : entries) bytes += le16(e.tag) + le16(e.perm) + le32(e.id);
    return bytes;
}
struct AclRow { std::string name; std::string acl; bool may; };
void PrintTo(const AclRow& row, std::ostream* os) { *os << row.name; }
class AccessListRule : public ::testing::TestWithParam<AclRow> {};
TEST_P(AccessListRule, GivenOrNot) { EXPECT_EQ(ruleMayGiveAccessList(GetParam().acl), GetParam().may); }
INSTANTIATE_TEST_SUITE_P(KernelRules, AccessListRule, ::testing::Values(
    AclRow{"the mode's three entries", acl({{kUserObj, 6, kNoId}, {kGroupObj, 4, kNoId}, {kOther, 4, kNoId}}), true},
    AclRow{"a named user and group", acl({{kUserObj, 6, kNoId}, {kNamedUser, 6, 4242}, {kGroupObj, 4, kNoId}, {kNamedGroup, 4, 4343}, {kMask, 6, kNoId}, {kOther, 0, kNoId}}), true},
    AclRow{"a named user 65534 is someone", acl({{kUserObj, 6, kNoId}, {kNamedUser, 6, 65534}, {kGroupObj, 4, kNoId}, {kMask, 6, kNoId}, {kOther, 0, kNoId}}), true},
    AclRow{"a named user without a mapping", acl({{kUserObj, 6, kNoId}, {kNamedUser, 6, kNoId}, {kGroupObj, 4, kNoId}, {kMask, 6, kNoId}, {kOther, 0, kNoId}}), false},
    AclRow{"a named group without a mapping", acl({{kUserObj, 6, kNoId}, {kNamedUser, 6, 4242}, {kGroupObj, 4, kNoId}, {kNamedGroup, 4, kNoId}, {kMask, 6, kNoId}, {kOther, 0, kNoId}}), false}),
    [](const auto& row) { return rowName(row.param.name); });

}  // namespace
