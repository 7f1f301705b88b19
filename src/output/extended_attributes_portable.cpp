// A POSIX system of which no extended attributes are known.
#include "output/extended_attributes.h"

int fsReadExtendedAttributes(int, ExtendedAttributes& read) {
    read.clear();
    return 0;
}

int fsWriteExtendedAttributes(const ExtendedAttributes&, const std::string&, int) { return 0; }

void fsWriteSecurityLabels(const ExtendedAttributes&, int) {}
