// The command line and the order of the run.
#pragma once

// Writes the usage text to standard error.
void printUsage();

// Runs velto on its arguments: reads argv[1], writes its scrambled form to argv[2] and prints
// the closing line. Returns 0 after a complete conversion and -1 otherwise.
int veltoRun(int argc, char* argv[]);

// Makes the process safe to run whatever console it was given: closed standard streams are
// reopened on /dev/null (so that no file opened later takes their place), a closed pipe does
// not kill the process, and an interrupted run removes its unfinished output.
void veltoPrepareProcess();
