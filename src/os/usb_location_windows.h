// Where a device node is plugged in on Windows: the USB port of the USB
// device above it. A HID collection's own node, and a COM port's, belong
// to the HID class driver or the serial driver; only the USB device node's
// bus driver, the hub, knows the port.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>

#include <string>
#include <vector>

// Of a node's instance IDs, its own first and then each parent's, the one of
// the USB device: the first "USB\..." that is not an interface of a
// composite device ("USB\VID_2341&PID_8036&MI_02\..."). -1 when none is (a
// Bluetooth or virtual device).
int usb_device_index(const std::vector<std::string> &instance_ids);

// The location text from a USB device node's DEVPKEY_Device_LocationPaths
// and DEVPKEY_Device_LocationInfo: the path from the PCI root
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"), which stays the same
// across re-plugs and reboots; else the first path; else the port and hub
// numbers ("Port_#0003.Hub_#0002"); else "".
std::string location_from(const std::vector<std::string> &location_paths, const std::string &location_info);

// Where the device behind this node is plugged in, as location_from gives
// it; "" when it is no USB device or the system does not say.
std::string usb_location_of(DEVINST node);

// A node's instance ID ("USB\\VID_5E1A&PID_0001\\QV-1"), "" when the system
// does not say.
std::string instance_id(DEVINST node);

// A string or string-list property of a node, each string in UTF-8; empty
// when the node does not have it.
std::vector<std::string> strings_of(DEVINST node, const DEVPROPKEY &key);
