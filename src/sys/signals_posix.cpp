// Signals on POSIX systems: the handler runs on the thread the signal interrupts, and holding
// the signals is blocking them in the process's mask.
#include "sys/signals.h"

#include <csignal>
#include <initializer_list>

namespace {

// The signals whose default action ends the process without meaning a crash.
sigset_t gSignals;
int gHeld = 0;
sigset_t gBefore;
void (*gOnSignal)() noexcept = nullptr;

extern "C" void onSignal(int sig) {
    if (gOnSignal != nullptr) gOnSignal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);  // taken as the handler returns and the mask is restored
}

}  // namespace

void signalsCatch(void (*handler)() noexcept) {
    gOnSignal = handler;
    sigemptyset(&gSignals);
    for (const int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO}) {
        sigaddset(&gSignals, sig);
    }
#ifdef SIGPWR
    sigaddset(&gSignals, SIGPWR);
#endif
#ifdef SIGSTKFLT
    sigaddset(&gSignals, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&gSignals, sig);
#endif
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_mask = gSignals;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (sigismember(&gSignals, sig) != 1 || sigaction(sig, nullptr, &current) != 0) continue;
        // A signal the caller chose to ignore (nohup) stays ignored, and needs no holding.
        if (current.sa_handler == SIG_IGN) sigdelset(&gSignals, sig);
        else sigaction(sig, &action, nullptr);
    }
}

void signalsHold() {
    sigset_t before;
    sigprocmask(SIG_BLOCK, &gSignals, &before);
    if (gHeld++ == 0) gBefore = before;
}

void signalsRelease() {
    if (gHeld > 0 && --gHeld == 0) sigprocmask(SIG_SETMASK, &gBefore, nullptr);
}
