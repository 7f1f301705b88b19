// Writing the program's texts to the console.
#pragma once

#include <cstdio>
#include <string>

// Writes one of the texts of messages.h, a printf format in CP932 bytes, with its arguments.
// A console that cannot take the text (closed, full) is not an error of the conversion, so
// nothing is reported back.
void say(std::FILE* stream, const char* format, ...);

// A file name as the texts show it. On POSIX its bytes as they are; on Windows, where names
// arrive as UTF-16 and are carried as UTF-8, its CP932 form, with '?' for each character that
// CP932 lacks.
std::string consoleName(const char* path);
