#include "path.h"

#include <cstdarg>

std::string BuildPath(const char *first, ...) {
    std::string result(first != nullptr ? first : "");
    va_list args;
    va_start(args, first);
    while (const char *part = va_arg(args, const char *)) {
        result += '/';
        result += part;
    }
    va_end(args);
    return result;
}
