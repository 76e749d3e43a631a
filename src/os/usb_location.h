// Where a device is plugged in on Linux: the USB device above its sysfs entry.
#pragma once

#include <string>

// The kernel name of the USB device above this sysfs entry ("1-2.3"), or
// empty when it is not on USB.
std::string usb_location_above(const char *link);

// The sysfs folder of that USB device ("/sys/devices/.../usb1/1-2/1-2.3"), or
// empty.
std::string usb_device_dir_above(const char *link);
