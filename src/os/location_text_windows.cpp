// The pure part of the USB location on Windows: which ancestor is the USB
// device, and which of its location properties names the port.

#include "os/usb_location_windows.h"

#include <cctype>
#include <string_view>

namespace {

std::string upper(std::string_view text)
{
    std::string result(text);
    for (char &c : result)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

}  // namespace

int usb_device_index(const std::vector<std::string> &instance_ids)
{
    for (size_t i = 0; i < instance_ids.size(); ++i) {
        const std::string id = upper(instance_ids[i]);
        // The device ID part (before the instance part) of an interface
        // child ends in &MI_xx.
        const std::string_view device_part = std::string_view(id).substr(0, id.rfind('\\'));
        if (id.starts_with("USB\\") && device_part.find("&MI_") == std::string_view::npos)
            return int(i);
    }
    return -1;
}

std::string location_from(const std::vector<std::string> &location_paths, const std::string &location_info)
{
    for (const std::string &path : location_paths)
        if (upper(path).starts_with("PCIROOT("))
            return path;
    return location_paths.empty() ? location_info : location_paths.front();
}
