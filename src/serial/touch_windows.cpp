// The serial-port touch on Windows: 1200 baud through the communications
// API; the port's USB location from its device node.

#include "serial/touch.h"

#include "os/error_text_windows.h"
#include "os/usb_location_windows.h"

#include <windows.h>

#include <initguid.h>  // defines GUID_DEVCLASS_PORTS here

#include <devguid.h>
#include <setupapi.h>

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

namespace {

// The device node of the serial port with this name ("COM5"): the one of
// the Ports class whose PortName it is.
bool port_node(const char *name, DEVINST &node)
{
    HDEVINFO list = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        HKEY key = SetupDiOpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        char port_name[64] = "";
        DWORD size = sizeof port_name - 1;
        found = RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE *>(port_name),
                                 &size) == ERROR_SUCCESS &&
                lstrcmpiA(port_name, name) == 0;
        RegCloseKey(key);
        if (found)
            node = device.DevInst;
    }
    SetupDiDestroyDeviceInfoList(list);
    return found;
}

}  // namespace

int serial_port_present(const char *port, std::string &location)
{
    // The port's own node belongs to the serial driver: the USB port comes
    // from the USB device above it, as for the bootloader's HID collection.
    location.clear();
    const char *name = std::strncmp(port, "\\\\.\\", 4) == 0 ? port + 4 : port;
    char target[1024];
    if (QueryDosDeviceA(name, target, sizeof target) == 0)
        return 0;
    DEVINST node = 0;
    if (port_node(name, node))
        location = usb_location_of(node);
    return 1;
}
