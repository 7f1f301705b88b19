#include "sys/console.h"

#include "sys/utf16_windows.h"

namespace {

constexpr UINT kCp932 = 932;

}  // namespace

std::string consoleName(const char* path) {
    const std::wstring wide = wideFromUtf8(path);
    if (wide.empty()) return path;
    return narrowFromWide(wide.c_str(), kCp932, "?");
}
