// The USB location on Windows over device-tree strings recorded from real
// machines: which ancestor is the USB device, and which text names its port.
#include "os/usb_location_windows.h"

#include <gtest/gtest.h>

namespace {

TEST(UsbLocation, TheUsbDeviceIsTheFirstUsbAncestorThatIsNoInterface)
{
    const struct {
        std::vector<std::string> ids;  // the node's own instance ID first
        int usb_device;
    } rows[] = {
        // A bootloader: one HID collection right below its USB device.
        {{"HID\\VID_16C0&PID_0478\\7&1E2A5C1&0&0000", "USB\\VID_16C0&PID_0478\\6&2D8C4B7&0&3",
          "USB\\ROOT_HUB30\\4&2F6F6D8&0&0", "PCI\\VEN_8086&DEV_A36D&SUBSYS_85561043&REV_10\\3&11583659&0&A0",
          "ACPI\\PNP0A08\\0", "HTREE\\ROOT\\0"},
         1},
        // A composite board: the collection of interface 2, the interface, the device.
        {{"HID\\VID_2341&PID_8036&MI_02\\8&2B4F7E1C&0&0000", "USB\\VID_2341&PID_8036&MI_02\\7&1C4D5A3&0&0002",
          "USB\\VID_2341&PID_8036\\HIDPC", "USB\\VID_05E3&PID_0610\\5&3A1B2C&0&2",
          "USB\\ROOT_HUB30\\4&2F6F6D8&0&0"},
         2},
        // A COM port of a composite board, lower-case as some drivers give it;
        // a serial number with "&MI_" in it does not make an interface.
        {{"usb\\vid_2341&pid_8036&mi_00\\7&1c4d5a3&0&0000", "usb\\vid_2341&pid_8036\\A&MI_1"}, 1},
        // Bluetooth, and wine's virtual devices: no USB device at all.
        {{"HID\\{00001124-0000-1000-8000-00805F9B34FB}_VID&0002046D_PID&B012\\9&1B3C&0&0000",
          "BTHENUM\\{00001124-0000-1000-8000-00805F9B34FB}_VID&0002046D_PID&B012\\8&2A&0&0"},
         -1},
        {{"HID\\VID_845E&PID_0001\\0&0000&0&0", "WINEBUS\\VID_845E&PID_0001\\0&0000&0&0", "ROOT\\WINEBUS\\0"},
         -1},
        {{}, -1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(usb_device_index(row.ids), row.usb_device) << (row.ids.empty() ? "" : row.ids.front());
}

TEST(UsbLocation, ThePathFromThePciRootNamesThePort)
{
    const std::string behind_hub = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
    const std::string acpi = "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)#USB(3)";
    const struct {
        std::vector<std::string> paths;
        std::string info, location;
    } rows[] = {
        {{behind_hub, acpi}, "Port_#0003.Hub_#0002", behind_hub},
        {{acpi, behind_hub}, "Port_#0003.Hub_#0002", behind_hub},
        {{acpi}, "Port_#0003.Hub_#0002", acpi},
        {{}, "Port_#0003.Hub_#0002", "Port_#0003.Hub_#0002"},
        {{}, "", ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(location_from(row.paths, row.info), row.location) << row.info;
}

}  // namespace
