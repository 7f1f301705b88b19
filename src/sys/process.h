// Preparing the process before a run, on each platform.
#pragma once

// Makes the process safe to run whatever console it was given: closed standard streams are
// reopened on the null device (so that no file opened later takes their place), a reader of
// the texts that went away does not end the process, and an interrupted run removes its
// unfinished output. Call once, first thing.
void veltoPrepareProcess();
