#include "sys/console.h"

#include <langinfo.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

#include "sys/console_pieces.h"
#include "text/messages.h"

namespace {

// True where the user's locale names Shift_JIS (or CP932) as its character set: a terminal
// that shows the texts' CP932 bytes as they are. Read once, the first time a text goes to a
// terminal, and from the character type alone (LC_ALL, LC_CTYPE or LANG, and LOCPATH, as
// setlocale reads them), which is set back to C after: no other category is ever set, so the
// playing time keeps its '.' whatever the locale. A C or POSIX locale, or one that is not
// installed, counts as UTF-8: a terminal that shows Japanese at all shows UTF-8.
bool shiftJisTerminal() {
    static const bool shiftJis = [] {
        std::string charset;
        if (std::setlocale(LC_CTYPE, "") != nullptr) charset = nl_langinfo(CODESET);
        std::setlocale(LC_CTYPE, "C");
        // The names glibc gives these character sets.
        for (const char* name : {"SHIFT_JIS", "SJIS", "WINDOWS-31J", "CP932", "SHIFT_JISX0213"}) {
            if (strcasecmp(charset.c_str(), name) == 0) return true;
        }
        return false;
    }();
    return shiftJis;
}

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

// A file name as a terminal is given it: its bytes as received, but that each control
// character, which could drive the terminal, is one '?'. C0 and DEL are controls everywhere;
// on a UTF-8 terminal so is C1 (U+0080 to U+009F), encoded in UTF-8 or a byte outside valid
// UTF-8. In Shift_JIS, bytes 0x81 to 0x9F begin double-byte characters, and stay.
std::string shownName(std::string_view name, bool shiftJis) {
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

}  // namespace

void printMessage(std::FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int fd = fileno(stream);
    if (fd < 0 || isatty(fd) == 0) {
        std::vfprintf(stream, format, args);
        va_end(args);
        return;
    }
    // A terminal: the text as UTF-8, unless the locale says the terminal shows Shift_JIS.
    const bool shiftJis = shiftJisTerminal();
    const char* utf8 = shiftJis ? nullptr : msg::utf8Of(format);
    const std::vector<ConsolePiece> pieces = consolePieces(utf8 != nullptr ? utf8 : format, args, ConsoleTags::kApart);
    va_end(args);
    std::string shown;
    for (const ConsolePiece& piece : pieces) {
        switch (piece.kind) {
        case ConsolePiece::Kind::kText: shown += piece.bytes; break;
        case ConsolePiece::Kind::kName: shown += shownName(piece.bytes, shiftJis); break;
        case ConsolePiece::Kind::kTag: {
            // On a UTF-8 terminal a byte beyond ASCII could begin a sequence that the next
            // ones end; the reader has made control bytes '?' already.
            const auto byte = static_cast<unsigned char>(piece.bytes[0]);
            shown += shiftJis || (byte >= 0x20 && byte < 0x7F) ? piece.bytes[0] : '?';
            break;
        }
        }
    }
    std::fwrite(shown.data(), 1, shown.size(), stream);
}

std::string consoleName(const char* path) { return path; }
