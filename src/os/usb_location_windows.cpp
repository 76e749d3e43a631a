// Where a device node is plugged in: up the device tree with the
// configuration manager to the USB device, and its location properties.

#include "os/usb_location_windows.h"

#include <initguid.h>  // defines the property keys of devpkey.h here

#include <devpkey.h>

namespace {

// Past this many ancestors the tree is no USB tree: a HID collection sits
// two or three levels below its USB device.
constexpr int MOST_ANCESTORS = 16;

std::string utf8_from_wide(const wchar_t *text, size_t length)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace

std::string instance_id(DEVINST node)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = L"";
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return "";
    return utf8_from_wide(id, wcslen(id));
}

// A string or string-list property, each string in UTF-8; empty when the
// node does not have it.
std::vector<std::string> strings_of(DEVINST node, const DEVPROPKEY &key)
{
    std::vector<std::string> strings;
    DEVPROPTYPE type = 0;
    ULONG size = 0;
    CM_Get_DevNode_PropertyW(node, &key, &type, nullptr, &size, 0);
    if (size == 0)
        return strings;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (CM_Get_DevNode_PropertyW(node, &key, &type, reinterpret_cast<BYTE *>(buffer.data()), &size, 0) !=
            CR_SUCCESS ||
        (type != DEVPROP_TYPE_STRING && type != DEVPROP_TYPE_STRING_LIST))
        return strings;
    // A list is NUL-separated and ends with an empty string.
    for (const wchar_t *text = buffer.data(); *text; text += wcslen(text) + 1)
        strings.push_back(utf8_from_wide(text, wcslen(text)));
    return strings;
}


std::string usb_location_of(DEVINST node)
{
    std::vector<DEVINST> nodes{node};
    std::vector<std::string> ids{instance_id(node)};
    DEVINST parent = 0;
    while (int(nodes.size()) < MOST_ANCESTORS && CM_Get_Parent(&parent, nodes.back(), 0) == CR_SUCCESS) {
        nodes.push_back(parent);
        ids.push_back(instance_id(parent));
    }
    const int usb = usb_device_index(ids);
    if (usb < 0)
        return "";
    const std::vector<std::string> info = strings_of(nodes[size_t(usb)], DEVPKEY_Device_LocationInfo);
    return location_from(strings_of(nodes[size_t(usb)], DEVPKEY_Device_LocationPaths),
                         info.empty() ? "" : info.front());
}
