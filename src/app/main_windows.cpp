#include <string>
#include <vector>

#include "sys/process.h"
#include "app/run.h"
#include "output/output_file.h"
#include "sys/utf16_windows.h"

// The arguments are taken as UTF-16, so that any file name works whatever the system's code
// page, and passed on as UTF-8.
int wmain(int argc, wchar_t* argv[]) {
    veltoPrepareProcess();
    outputRemoveOnSignals();
    std::vector<std::string> utf8;
    for (int i = 0; i < argc; ++i) utf8.push_back(narrowFromWide(argv[i], CP_UTF8));
    std::vector<char*> args;
    for (std::string& arg : utf8) args.push_back(arg.data());
    args.push_back(nullptr);
    return veltoRun(argc, args.data());
}
