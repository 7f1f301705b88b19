#include "sys/console_pieces.h"

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
