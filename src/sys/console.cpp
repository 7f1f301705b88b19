#include "sys/console.h"

#include <cstdarg>

void printMessage(std::FILE* stream, const char* message, ...) {
    std::va_list args;
    va_start(args, message);
    std::vfprintf(stream, message, args);
    va_end(args);
}
