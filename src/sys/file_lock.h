// Advisory locks between runs of velto on one file: a run that rewrites a file in place holds
// it exclusively, and a run that reads it waits until then.
#pragma once

// Waits until no other process holds a conflicting lock on the open file, then takes a shared
// (reading) or exclusive (writing) one on all of it. A file system that has no locks is not an
// error: there is nothing to wait for.
int fileLockWait(int fd, bool exclusive);

// Gives the lock back, before the descriptor is closed.
void fileUnlock(int fd);
