// Failures as values: the message formatted once, where the failure is found.
#include "output/failure.h"

#include <cstdarg>
#include <cstdio>

Failure failure(FailureKind kind, const char *format, ...)
{
    Failure result{kind, "", 0, nullptr, -1};
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    if (length > 0) {
        result.message.assign(size_t(length) + 1, '\0');
        std::vsnprintf(result.message.data(), result.message.size(), format, again);
        result.message.pop_back();  // the terminating NUL
    }
    va_end(again);
    va_end(arguments);
    return result;
}
