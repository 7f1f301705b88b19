// The command line and the order of the run.
#pragma once

// Writes the usage text to standard error.
void printUsage();

// Runs velto on its arguments: reads argv[1], writes its scrambled form to argv[2] and prints
// the closing line. Returns 0 after a complete conversion and -1 otherwise.
int veltoRun(int argc, char* argv[]);
