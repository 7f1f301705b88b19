#include "sys/process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

void veltoPrepareProcess() {
    // A missing drive or an empty card reader is an error to report, not a dialog box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Standard streams the process was started without are opened on the null device. The
    // texts stay text streams: each line feed goes out as CR LF.
    if (_fileno(stdout) < 0 || _get_osfhandle(_fileno(stdout)) < 0) std::freopen("NUL", "w", stdout);
    if (_fileno(stderr) < 0 || _get_osfhandle(_fileno(stderr)) < 0) std::freopen("NUL", "w", stderr);
    // stdout is unbuffered on a console, so that each text shows as it is written, and fully
    // buffered (in 4 KiB) when redirected; stderr is unbuffered. Redirected, both sent to one
    // file interleave as they do on Linux, whose C library buffers them the same way there.
    DWORD mode = 0;
    const bool console = GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), &mode);
    std::setvbuf(stdout, nullptr, console ? _IONBF : _IOFBF, 4096);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}
