#include "text/console_pieces.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// One directive of the C library's printf, with the argument it takes.
template <typename T>
std::string formatted(const std::string& directive, T value) {
    char shown[128];
    const int n = std::snprintf(shown, sizeof shown, directive.c_str(), value);
    return std::string(shown, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof shown - 1));
}

}  // namespace

std::vector<ConsolePiece> consolePieces(const char* format, std::va_list args, ConsoleTags tags) {
    using Kind = ConsolePiece::Kind;
    std::vector<ConsolePiece> pieces(1);
    for (const char* p = format; *p != '\0';) {
        if (*p != '%') {
            pieces.back().bytes += *p++;
            continue;
        }
        const char* start = p++;
        p += std::strspn(p, "-+ #0");
        p += std::strspn(p, "0123456789");
        if (*p == '.') p += 1 + std::strspn(p + 1, "0123456789");
        int longs = 0;
        for (; *p == 'l' || *p == 'h'; ++p) longs += *p == 'l';
        const char conversion = *p == '\0' ? '\0' : *p++;
        const std::string directive(start, p);
        std::string& out = pieces.back().bytes;
        switch (conversion) {
        case 's':
            pieces.push_back({va_arg(args, const char*), Kind::kName});
            pieces.emplace_back();
            break;
        case 'c': {
            const char byte = static_cast<char>(va_arg(args, int));
            if (tags == ConsoleTags::kInText) {
                out += byte;
            } else {
                pieces.push_back({std::string(1, byte), Kind::kTag});
                pieces.emplace_back();
            }
            break;
        }
        case '%': out += '%'; break;
        case 'f': out += formatted(directive, va_arg(args, double)); break;
        case 'd':
        case 'i':
            out += longs == 2 ? formatted(directive, va_arg(args, long long))
                   : longs == 1 ? formatted(directive, va_arg(args, long)) : formatted(directive, va_arg(args, int));
            break;
        case 'u':
        case 'x':
        case 'X':
            out += longs == 2   ? formatted(directive, va_arg(args, unsigned long long))
                   : longs == 1 ? formatted(directive, va_arg(args, unsigned long))
                                : formatted(directive, va_arg(args, unsigned));
            break;
        default: return pieces;
        }
    }
    return pieces;
}

namespace {

// The length of the well-formed UTF-8 sequence that `s` begins with, and its code point; 0
// where it begins with none.
std::size_t utf8Sequence(std::string_view s, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned lead = byte(0);
    const std::size_t n = lead < 0x80                   ? 1
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (n == 0 || n > s.size()) return 0;
    codePoint = n == 1 ? lead : lead & (0x7Fu >> n);
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        codePoint = codePoint << 6 | (byte(i) & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < kLeast[n] || codePoint > 0x10FFFF || surrogate ? 0 : n;
}

}  // namespace

std::string consoleShownName(std::string_view name, bool shiftJis) {
    std::string shown;
    for (std::size_t i = 0; i < name.size();) {
        char32_t character = static_cast<unsigned char>(name[i]);
        std::size_t n = 1;
        if (!shiftJis) n = std::max<std::size_t>(1, utf8Sequence(name.substr(i), character));
        const bool control = character < 0x20 || character == 0x7F ||
                             (!shiftJis && character >= 0x80 && character <= 0x9F);
        shown += control ? std::string_view("?") : name.substr(i, n);
        i += n;
    }
    return shown;
}
