// Runs a program and records its peak resident memory, measured from a small process so that
// the figure is the program's own and not that of whatever started it.
//
//     velto-peak-rss OUT-FILE PROGRAM [ARGS...]
//
// Exits with the program's status (128 + signal number when a signal ended it).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {
volatile pid_t gChild = 0;
extern "C" void killChild(int) {
    if (gChild > 0) kill(gChild, SIGKILL);
}
}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3) return 125;
    // A watchdog alarm set before this program was started ends the measured program too.
    std::signal(SIGALRM, killChild);
    const pid_t pid = fork();
    if (pid < 0) return 126;
    if (pid == 0) {
        alarm(0);
        execv(argv[2], argv + 2);
        _exit(127);
    }
    gChild = pid;
    int status = 0;
    struct rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    if (std::FILE* out = std::fopen(argv[1], "w")) {
        std::fprintf(out, "%ld\n", usage.ru_maxrss);
        std::fclose(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
