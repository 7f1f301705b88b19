// The program's texts formatted as printf formats them, in pieces that a console shows each in
// its own way: shared by the platforms' console code.
#pragma once

#include <cstdarg>
#include <string>
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
// The texts use the flags, width and precision digits, the length modifiers h, l and ll, and
// the conversions d u X c f s; a conversion outside these ends the text, as no text has one.
std::vector<ConsolePiece> consolePieces(const char* format, std::va_list args, ConsoleTags tags);
