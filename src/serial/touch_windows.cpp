// The serial-port touch on Windows: 1200 baud through the communications API.

#include "serial/touch.h"

#include "hid/error_text_windows.h"

#include <windows.h>

#include <cstring>

int board_touch(const char *port, std::string &why)
{
    // "COM5" names the port only below COM10; the device namespace form
    // names every one.
    std::string path = std::strncmp(port, "\\\\", 2) == 0 ? port : std::string("\\\\.\\") + port;
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return 0;
        why = error_text(code);
        return -1;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    int done = GetCommState(handle, &settings);
    if (!done) {
        why = "it is not a serial port";
    } else {
        settings.BaudRate = 1200;
        settings.fDtrControl = DTR_CONTROL_DISABLE;
        done = SetCommState(handle, &settings);
        if (!done)
            why = "setting 1200 baud: " + error_text(GetLastError());
        else
            EscapeCommFunction(handle, CLRDTR);
    }
    CloseHandle(handle);
    return done ? 1 : -1;
}

int serial_port_present(const char *port, std::string &location)
{
    // Where the board is plugged in is not looked up here: the search then
    // cannot tell boards apart by their port.
    location.clear();
    const char *name = std::strncmp(port, "\\\\.\\", 4) == 0 ? port + 4 : port;
    char target[1024];
    return QueryDosDeviceA(name, target, sizeof target) != 0;
}
