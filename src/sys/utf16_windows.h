// File names on Windows: the arguments arrive as UTF-16 and are carried through the program as
// UTF-8, so that any name survives whatever the system's code page; the wide API takes them
// back as UTF-16.
#pragma once

#include <windows.h>

#include <string>

// The UTF-16 form of a UTF-8 text; empty when it is not valid UTF-8.
inline std::wstring wideFromUtf8(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

// The text in code page `codePage`. With a `fallback`, each character the code page lacks
// becomes it, rather than a look-alike (é as e); UTF-8 lacks none and takes no fallback.
inline std::string narrowFromWide(const wchar_t* text, UINT codePage, const char* fallback = nullptr) {
    const DWORD flags = fallback != nullptr ? WC_NO_BEST_FIT_CHARS : 0;
    const int n = WideCharToMultiByte(codePage, flags, text, -1, nullptr, 0, fallback, nullptr);
    if (n <= 0) return {};
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(codePage, flags, text, -1, narrow.data(), n, fallback, nullptr);
    narrow.resize(static_cast<std::size_t>(n - 1));
    return narrow;
}
