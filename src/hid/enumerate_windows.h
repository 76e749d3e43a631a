// What the Windows enumeration shares: the present interfaces, what an open handle says of itself.
#pragma once

#include "hid/hid_device.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Every present HID interface as SetupAPI lists it, with only its path and
// location filled in: nothing is opened or asked yet.
std::vector<HidDeviceInfo> present_interfaces();

// Opens the device at this path without access rights: enough to ask it
// for its attributes and strings, possible even for keyboards and mice that
// the system holds, and no write can go through the handle.
HANDLE open_for_query(const char *path);

// The vendor and product ID that an open handle answers with; false when it
// does not answer as a HID device.
bool read_attributes(HANDLE handle, uint32_t &vendor_id, uint32_t &product_id);

// The serial number that an open handle gives, or "". Like every string
// request, it waits for the device without a time limit: asked only of a
// device whose IDs matched, or for -serial=.
std::string serial_of(HANDLE handle);
