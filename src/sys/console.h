// Writing the program's texts to the console.
#pragma once

#include <cstdio>
#include <string>

// Prints one of the program's texts (messages.h: `msg::kName.c_str()`, a printf format in
// CP932 bytes) with the values it takes, such as a file name or a length. A console that
// cannot take the text (closed, full) is not an error of the conversion, so nothing is
// reported back.
void printMessage(std::FILE* stream, const char* message, ...);

// A file name as the texts show it. On POSIX its bytes as they are; on Windows, where names
// arrive as UTF-16 and are carried as UTF-8, its CP932 form, with '?' for each character that
// CP932 lacks.
std::string consoleName(const char* path);
