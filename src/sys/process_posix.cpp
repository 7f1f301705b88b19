#include "sys/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

static bool gStartedWithout[3] = {false, false, false};

bool veltoStartedWithout(int fd) { return fd >= 0 && fd <= 2 && gStartedWithout[fd]; }

void veltoPrepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        gStartedWithout[fd] = true;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    // The report and the closing line are only information: a reader that went away must not
    // turn a finished conversion into a crash. A file size limit makes the write fail and the
    // unfinished output be removed, instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}
