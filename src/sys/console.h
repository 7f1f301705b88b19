// Writing the program's texts to the console.
#pragma once

#include <cstdio>

// Prints one of the program's texts (messages.h: `msg::kName.c_str()`, a printf format in
// CP932 bytes) with the values it takes; a `%s` is always a file name as the program received
// it (its bytes on POSIX; UTF-8 on Windows, where names arrive as UTF-16), and a `%c` a byte of
// a chunk tag. A console that cannot take the text (closed, full) is not an error of the
// conversion, so nothing is reported back.
//
// A stream that is a file or a pipe gets the CP932 bytes, with the names as received on POSIX
// systems, and on Windows, where names arrive as UTF-16, in CP932, with a '?' for each character
// CP932 lacks. A stream that is a console gets the characters, so that they read as Japanese:
// - on Windows, through the console's wide interface, whatever the console's code page, with
//   a file name as received;
// - on POSIX, a terminal gets the text's UTF-8 form, unless the locale's character set
//   (LC_CTYPE) is Shift_JIS, where the bytes are what it shows. A name's control characters
//   are shown as '?' there (C0 and DEL; on a UTF-8 terminal C1 as well), and so is a tag byte
//   that is not printable ASCII on a UTF-8 terminal.
void printMessage(std::FILE* stream, const char* message, ...);
