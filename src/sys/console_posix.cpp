#include "sys/console.h"

#include <langinfo.h>
#include <strings.h>
#include <unistd.h>

#include <clocale>
#include <cstdarg>
#include <string>
#include <vector>

#include "text/console_pieces.h"
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
        case ConsolePiece::Kind::kName: shown += consoleShownName(piece.bytes, shiftJis); break;
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
