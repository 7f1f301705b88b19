// Writing the program's texts to the console.
#pragma once

#include <cstdio>

// Writes one of the texts of messages.h, a printf format in CP932 bytes, with its arguments.
// A console that cannot take the text (closed, full) is not an error of the conversion, so
// nothing is reported back.
void say(std::FILE* stream, const char* format, ...);
