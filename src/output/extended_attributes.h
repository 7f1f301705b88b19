// A file's extended attributes, its access control list among them, read from the old file
// before anything is written and given to the file that replaces it. Linux keeps them
// (extended_attributes_linux.cpp); other POSIX systems are taken to keep none
// (extended_attributes_portable.cpp), so a file replaced there has none.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Name and value of each attribute.
using ExtendedAttributes = std::vector<std::pair<std::string, std::string>>;

// The attribute that holds a file's access control list.
inline constexpr const char* kAccessListAttribute = "system.posix_acl_access";

// Reads every extended attribute of the open file `fd` into `read`, those this process can list;
// 0 where all were read. A security label that cannot be read is left out; -1 where any other
// cannot be, and where the names are more than the system can list (E2BIG: over 64 KiB of
// them). A file system that keeps none has none.
int fsReadExtendedAttributes(int fd, ExtendedAttributes& read);

// Gives the open file `toFd` the attributes read but security labels, and `accessList` (the
// access control list, "" for none) in place of the one read: first it loses the list it may
// have taken from its directory's default, then it gets the others, and the list last, which may
// take the right to write it from its owner. 0, or -1 when any cannot be set.
int fsWriteExtendedAttributes(const ExtendedAttributes& attributes, const std::string& accessList, int toFd);

// Gives the open file `toFd` the security labels read (security.*), where the system lets them
// be set: a change of owner may clear them, so they come last.
void fsWriteSecurityLabels(const ExtendedAttributes& attributes, int toFd);
