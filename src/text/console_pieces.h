// The program's texts formatted as printf formats them, in pieces that a console shows each in
// its own way, and what a terminal may be shown of a file name: shared by the platforms'
// console code.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

struct ConsolePiece {
    enum class Kind {
        kText,  // the text's own bytes, and the numbers formatted into it
        kName,  // a `%s` argument: a file name as the program received it
        kTag,   // a `%c` argument: a byte of a chunk tag
    };
    std::string bytes;
    Kind kind = Kind::kText;
};

// Where the `%c` arguments go: into the text around them, or into pieces of their own.
enum class ConsoleTags { kInText, kApart };

// Formats as vfprintf does, but keeps each `%s` argument apart (and each `%c` one, if asked).
// It takes the flags, width and precision digits, the length modifiers h, hh, l and ll, the
// conversions d i u x X c f s and %%; a conversion outside these ends the text, as no text has
// one.
std::vector<ConsolePiece> consolePieces(const char* format, std::va_list args, ConsoleTags tags);

// A file name as a terminal is given it: its bytes as received, but that each control
// character, which could drive the terminal, is one '?'. C0 and DEL are controls everywhere;
// on a UTF-8 terminal so is C1 (U+0080 to U+009F), encoded in UTF-8 or a byte outside valid
// UTF-8. In Shift_JIS, bytes 0x81 to 0x9F begin double-byte characters, and stay.
std::string consoleShownName(std::string_view name, bool shiftJis);
