// Writes the fuzzer's seed corpus into a directory.
//
//     velto-fuzz-seeds DIR
#include <cstdio>

#include "support/seeds.h"
#include "support/support.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: velto-fuzz-seeds DIR\n");
        return 2;
    }
    const fs::path dir = argv[1];
    fs::create_directories(dir);
    for (const auto& [name, bytes] : fuzzSeeds()) testing_support::writeFile(dir / (name + ".wav"), bytes);
    return 0;
}
