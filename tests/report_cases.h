// The end-to-end cases of report_test.cpp: inputs the program accepts and each way an input
// can be refused, with what it prints. The Windows build is compared over them too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace report_cases {

struct Case {
    const char* name;
    std::string file;       // the bytes of in.wav
    std::string out;        // expected stdout, UTF-8
    std::string err;        // expected stderr, UTF-8
    int status;
};

std::vector<Case> cases();

// `s` with every `from` replaced by `to`.
std::string replaced(std::string s, std::string_view from, std::string_view to);

}  // namespace report_cases
