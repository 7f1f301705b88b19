#include "sys/console.h"

std::string consoleName(const char* path) { return path; }
