// The signals that end a process by default, caught so that a run can remove what it made
// first, and held off while that must not be cut in two. None of these can fail, so none
// returns anything.
#pragma once

// Makes every signal that ends the process by default without meaning a crash (an interrupt,
// a hang-up, a termination, a timer, the real-time signals; on Windows the console's control
// events) call `handler` first, and then end the process as it would have. Signals the caller
// ignores stay ignored.
void signalsCatch(void (*handler)() noexcept);

// Holds those signals off; the last release lets any that came meanwhile take effect. Holds
// are counted, and one never released lasts to the end of the process.
void signalsHold();
void signalsRelease();
