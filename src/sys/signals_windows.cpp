// Signals on Windows are console control events: Ctrl-C, Ctrl-Break, closing the console,
// logging off or shutting down.
#include "sys/signals.h"

#include <windows.h>

namespace {

// The control handler runs on a thread of its own, so a hold is a lock it must wait for. What
// an interrupt leaves is removed, then the process ends with the status Windows gives an
// interrupted program - never 0, which a script would take for success.
struct HoldLock {
    CRITICAL_SECTION section;
    HoldLock() { InitializeCriticalSection(&section); }
};
HoldLock gHold;
int gHeld = 0;  // the holds the main thread has taken, counted
volatile LONG gInterrupted = 0;
void (*gOnInterrupt)() noexcept = nullptr;

[[noreturn]] void endInterrupted() {
    if (gOnInterrupt != nullptr) gOnInterrupt();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

BOOL WINAPI onControl(DWORD) {
    InterlockedExchange(&gInterrupted, 1);
    EnterCriticalSection(&gHold.section);
    endInterrupted();
}

}  // namespace

void signalsCatch(void (*handler)() noexcept) {
    gOnInterrupt = handler;
    SetConsoleCtrlHandler(onControl, TRUE);
}

void signalsHold() {
    EnterCriticalSection(&gHold.section);
    ++gHeld;
}

void signalsRelease() {
    if (gHeld == 0) return;
    // An interrupt that came during the hold takes effect now, as a held signal would.
    if (--gHeld == 0 && InterlockedCompareExchange(&gInterrupted, 0, 0) != 0) endInterrupted();
    LeaveCriticalSection(&gHold.section);
}
