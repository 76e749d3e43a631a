// The standard streams and the console behind standard error, on Windows.
#include "os/terminal.h"

#include <windows.h>

#include <io.h>

void guard_standard_streams()
{
    // The device is a kernel handle, never one of the C runtime's
    // descriptors 0-2, and the HEX file is opened read-only and closed
    // again before anything more is printed. A write to a closed pipe fails
    // with an error here, never with a signal. What is printed is UTF-8
    // (the manifest makes it the ANSI code page too): so is the console's.
    SetConsoleOutputCP(CP_UTF8);
}

int stderr_is_terminal()
{
    return _isatty(2) != 0;
}

int stderr_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int stderr_rows()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

int stderr_takes_escapes()
{
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return _isatty(2) && GetConsoleMode(console, &mode) &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}
