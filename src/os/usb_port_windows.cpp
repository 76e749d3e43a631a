// What is plugged in at a USB port, on Windows: the present USB device
// whose location is the port's. A device that left is no longer present;
// the next one there has its own instance ID (its IDs and serial number).
#include "os/usb_port.h"

#include "os/usb_location_windows.h"

#include <devpkey.h>
#include <setupapi.h>

#include <cstdlib>

namespace {

// The hex number after `key` in an instance ID ("VID_" in "USB\VID_5E1A&PID_0001\..."), 0 when absent.
uint32_t id_after(const std::string &id, const char *key)
{
    const size_t at = id.find(key);
    if (at == std::string::npos)
        return 0;
    return uint32_t(std::strtoul(id.c_str() + at + std::char_traits<char>::length(key), nullptr, 16) & 0xFFFF);
}

}  // namespace

std::string usb_port_of(const std::string &, const std::string &location)
{
    return location;
}

std::string usb_port_name(const std::string &port)
{
    return port;
}

UsbPortDevice usb_port_look(const std::string &port)
{
    UsbPortDevice none{false, "", 0, 0, "", ""};
    if (port.empty())
        return none;
    HDEVINFO list = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE)
        return none;
    UsbPortDevice found = none;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; !found.present && SetupDiEnumDeviceInfo(list, index, &device); ++index) {
        const std::string id = instance_id(device.DevInst);
        // An interface of a composite device sits at its device's port too.
        if (!id.starts_with("USB\\") || id.find("&MI_") != std::string::npos ||
            usb_location_of(device.DevInst) != port)
            continue;
        const std::vector<std::string> product = strings_of(device.DevInst, DEVPKEY_Device_BusReportedDeviceDesc);
        // The last part of the ID is the serial number, unless the system
        // made one up ("5&2a1b3c&0&3").
        const std::string last = id.substr(id.find_last_of('\\') + 1);
        found = UsbPortDevice{true,
                              id,
                              id_after(id, "VID_"),
                              id_after(id, "PID_"),
                              product.empty() ? "" : product.front(),
                              last.find('&') == std::string::npos ? last : ""};
    }
    SetupDiDestroyDeviceInfoList(list);
    return found;
}
