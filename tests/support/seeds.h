// The fuzzer's seed corpus: valid clips of several layouts, and one file for each way the reader
// refuses an input. Named pairs of (name, file bytes).
#pragma once

#include <string>
#include <utility>
#include <vector>

std::vector<std::pair<std::string, std::string>> fuzzSeeds();
