#include "sys/console.h"

#include <cstdarg>

void printMessage(std::FILE* stream, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
}

std::string consoleName(const char* path) { return path; }
