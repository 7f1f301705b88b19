#include "sys/process.h"
#include "app/run.h"

int main(int argc, char* argv[]) {
    veltoPrepareProcess();
    return veltoRun(argc, argv);
}
