// The system's text for a Windows error code.

#include "os/error_text_windows.h"

#include <cstdio>

std::string error_text(DWORD code)
{
    char text[512] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                  0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.'))
        text[--length] = '\0';
    if (length == 0)
        std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
    return text;
}
