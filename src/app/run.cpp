#include "app/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "text/console.h"
#include "text/messages.h"
#include "wav/output_file.h"
#include "wav/wav_info.h"
#include "wav/wav_read.h"
#include "wav/wav_write.h"

void printUsage() { say(stderr, msg::kUsage.c_str()); }

int veltoRun(int argc, char* argv[]) {
    if (argc != 3) {
        printUsage();
        return -1;
    }
    const char* input = argv[1];
    const char* output = argv[2];
    WavInfo info;
    if (wavFileRead(input, info) != 0) return -1;
    if (wavFileWrite(output, info) != 0) return -1;
    say(stdout, msg::kConverted.c_str(), input, output);
    return 0;
}

void veltoPrepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
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
    outputRemoveOnSignals();
}
