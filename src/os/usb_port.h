// What is plugged in at a board's USB port: after START_APPLICATION the
// bootloader leaves the bus and the application, a new USB device, takes
// its place at the same port.
#pragma once

#include <cstdint>
#include <string>

struct UsbPortDevice {
    bool present;          // a USB device is at the port now
    std::string identity;  // differs between two enumerations at the port, even with the same IDs
    uint32_t vendor_id;
    uint32_t product_id;
    std::string product;  // its product string, "" when it has none
    std::string serial;   // its serial number, "" when it has none
};

// The port of the USB device behind the HID device at `hid_path`, whose
// location the search found, in the form that usb_port_look reads (on
// Linux the USB device's sysfs folder, on Windows the location); empty
// when the system does not place the device on USB.
std::string usb_port_of(const std::string &hid_path, const std::string &location);

// The port as people read it ("1-2.3").
std::string usb_port_name(const std::string &port);

// What is at the port now.
UsbPortDevice usb_port_look(const std::string &port);
