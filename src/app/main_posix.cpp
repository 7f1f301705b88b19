#include "sys/process.h"
#include "app/run.h"
#include "output/output_file.h"

int main(int argc, char* argv[]) {
    veltoPrepareProcess();
    outputRemoveOnSignals();
    return veltoRun(argc, argv);
}
