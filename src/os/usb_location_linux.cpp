// Where a device is plugged in on Linux: up its sysfs path to the first USB
// device, whose kernel name is its bus and ports.

#include "os/usb_location.h"

#include <climits>
#include <cstdlib>
#include <string_view>

namespace {

// A USB device's kernel name: bus, then the port on each hub ("1-2.3").
bool usb_device_name(std::string_view name)
{
    size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size() || name.back() == '.')
        return false;
    return name.find_first_not_of("0123456789") == dash &&
           name.find_first_not_of("0123456789.", dash + 1) == std::string_view::npos;
}

}  // namespace

std::string usb_device_dir_above(const char *link)
{
    char resolved[PATH_MAX];
    if (!realpath(link, resolved))
        return "";
    std::string_view path(resolved);
    while (path.size() > 1) {
        path = path.substr(0, path.find_last_of('/'));
        std::string_view name = path.substr(path.find_last_of('/') + 1);
        if (usb_device_name(name))
            return std::string(path);
    }
    return "";
}

std::string usb_location_above(const char *link)
{
    const std::string dir = usb_device_dir_above(link);
    return dir.substr(dir.find_last_of('/') + 1);
}
