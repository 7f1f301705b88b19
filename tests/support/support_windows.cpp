// The helpers of the tests that run on Windows: scratch directories and the CP932 form of
// expected texts, by the system's own conversion.
#include <windows.h>

#include <random>
#include <stdexcept>

#include "support.h"

namespace testing_support {

ScratchDir::ScratchDir() {
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = fs::temp_directory_path() / ("velto-test-" + std::to_string(seed()));
        if (fs::create_directory(path)) return;
    }
    throw std::runtime_error("cannot make a scratch directory");
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string toCp932(std::string_view utf8) {
    const std::string text(utf8);
    const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    if (wideLength <= 0) throw std::runtime_error("not UTF-8: " + text);
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, wide.data(), wideLength);
    BOOL lacking = FALSE;
    const int n = WideCharToMultiByte(932, 0, wide.c_str(), -1, nullptr, 0, nullptr, &lacking);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(932, 0, wide.c_str(), -1, out.data(), n, nullptr, &lacking);
    if (lacking) throw std::runtime_error("not in CP932: " + text);
    out.resize(out.size() - 1);
    return out;
}

}  // namespace testing_support
