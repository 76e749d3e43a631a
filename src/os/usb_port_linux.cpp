// What is plugged in at a USB port, on Linux: the USB device's folder in
// sysfs, which the kernel removes when the device leaves and makes anew,
// at the same path, for the next device enumerated at that port.
#include "os/usb_port.h"

#include "os/usb_location.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace {

// The first line of a sysfs attribute, "" when it is not there.
std::string attribute(const std::string &dir, const char *name)
{
    std::ifstream in(dir + "/" + name);
    std::string line;
    std::getline(in, line);
    return line;
}

uint32_t hex_attribute(const std::string &dir, const char *name)
{
    const std::string text = attribute(dir, name);
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    return text.empty() || *end || value > 0xFFFF ? 0 : uint32_t(value);
}

}  // namespace

std::string usb_port_of(const std::string &hid_path, const std::string &)
{
    const std::string name = hid_path.substr(hid_path.find_last_of('/') + 1);
    if (!name.starts_with("hidraw"))
        return "";
    return usb_device_dir_above(("/sys/class/hidraw/" + name + "/device").c_str());
}

std::string usb_port_name(const std::string &port)
{
    return port.substr(port.find_last_of('/') + 1);
}

UsbPortDevice usb_port_look(const std::string &port)
{
    struct stat folder;
    if (port.empty() || stat(port.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        return UsbPortDevice{false, "", 0, 0, "", ""};
    // A folder made anew has a new inode; the kernel also numbers each
    // enumeration on its bus.
    return UsbPortDevice{true,
                         std::to_string(folder.st_ino) + "/" + attribute(port, "devnum"),
                         hex_attribute(port, "idVendor"),
                         hex_attribute(port, "idProduct"),
                         attribute(port, "product"),
                         attribute(port, "serial")};
}
