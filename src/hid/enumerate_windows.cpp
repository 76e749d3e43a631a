// The present HID interfaces from SetupAPI: IDs, names, serial numbers, and
// the USB port each is plugged in (usb_location_windows.cpp).

#include "hid/enumerate_windows.h"

#include "os/usb_location_windows.h"

#include <setupapi.h>

// mingw-w64's hidsdi.h does not declare its functions extern "C".
extern "C" {
#include <hidsdi.h>
}

#include <memory>
#include <new>
#include <string>

namespace {

struct DeviceInfoList {
    HDEVINFO handle;
    ~DeviceInfoList()
    {
        if (handle != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(handle);
    }
};

std::string utf8_from_wide(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return "";
    std::string result(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.pop_back();  // the terminating NUL
    return result;
}

}  // namespace

std::vector<HidDeviceInfo> present_interfaces()
{
    std::vector<HidDeviceInfo> interfaces;
    GUID hid_guid;
    HidD_GetHidGuid(&hid_guid);
    DeviceInfoList list{
        SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)};
    if (list.handle == INVALID_HANDLE_VALUE)
        return interfaces;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interface_data{};
        interface_data.cbSize = sizeof interface_data;
        if (!SetupDiEnumDeviceInterfaces(list.handle, nullptr, &hid_guid, index, &interface_data))
            return interfaces;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(list.handle, &interface_data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[required]());
        if (!buffer)
            continue;
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailA(list.handle, &interface_data, detail, required, nullptr,
                                              &device))
            continue;
        interfaces.push_back(
            HidDeviceInfo{detail->DevicePath, 0, 0, "", "", usb_location_of(device.DevInst), ""});
    }
}

HANDLE open_for_query(const char *path)
{
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool read_attributes(HANDLE handle, uint32_t &vendor_id, uint32_t &product_id)
{
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(handle, &attributes))
        return false;
    vendor_id = attributes.VendorID;
    product_id = attributes.ProductID;
    return true;
}

std::string serial_of(HANDLE handle)
{
    wchar_t text[127] = L"";  // the longest USB string descriptor
    return HidD_GetSerialNumberString(handle, text, sizeof text) ? utf8_from_wide(text) : "";
}

namespace {

// What an open handle says of itself: IDs, product name and serial number.
bool describe(HANDLE handle, HidDeviceInfo &info)
{
    if (!read_attributes(handle, info.vendor_id, info.product_id))
        return false;
    wchar_t text[127] = L"";
    if (HidD_GetProductString(handle, text, sizeof text))
        info.name = utf8_from_wide(text);
    info.serial = serial_of(handle);
    return true;
}

}  // namespace

std::vector<HidDeviceInfo> device_list()
{
    std::vector<HidDeviceInfo> devices;
    for (HidDeviceInfo &info : present_interfaces()) {
        HANDLE handle = open_for_query(info.path.c_str());
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        if (describe(handle, info))
            devices.push_back(info);
        CloseHandle(handle);
    }
    return devices;
}
