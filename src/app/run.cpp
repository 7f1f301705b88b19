#include "app/run.h"

#include <cstdio>

#include "sys/console.h"
#include "text/messages.h"
#include "wav/wav_info.h"
#include "wav/wav_read.h"
#include "wav/wav_write.h"

void printUsage() { printMessage(stderr, msg::kUsage.c_str()); }

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
    printMessage(stdout, msg::kConverted.c_str(), input, output);
    return 0;
}
