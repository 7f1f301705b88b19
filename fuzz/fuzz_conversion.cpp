// libFuzzer target: arbitrary bytes through the whole run, read, scramble, write, and back.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/round_trip.h"

namespace {

std::string gScratch;

void removeScratch() {
    for (const char* name : {"/in.wav", "/out.wav", "/back.wav"}) std::remove((gScratch + name).c_str());
    std::remove(gScratch.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr ? base : "/tmp") + "/velto-fuzz-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) std::abort();
    gScratch = templ;
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = roundTripCheck(data, size, gScratch);
    if (!problem.empty()) {
        std::fprintf(stderr, "round trip failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
