// Writing the program's texts to the console.
#pragma once

#include <cstdio>
#include <string>

// Prints one of the program's texts (messages.h: `msg::kName.c_str()`, a printf format in
// CP932 bytes) with the values it takes; a `%s` is always a file name, as consoleName gives it. A console that cannot take
// the text (closed, full) is not an error of the conversion, so nothing is reported back.
//
// A stream that is a file or a pipe gets the CP932 bytes. On Windows, a stream that is a
// console gets the same characters through the console's wide interface, so that they read
// as Japanese whatever the console's code page, and a file name is shown as received.
void printMessage(std::FILE* stream, const char* message, ...);

// A file name as printMessage takes it for a `%s`: the name as the program received it (its
// bytes on POSIX; UTF-8 on Windows, where names arrive as UTF-16).
std::string consoleName(const char* path);
