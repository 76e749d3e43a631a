// The boards that -all and -station program: the present HID devices that
// the selection of run_options names.
#pragma once

#include "hid/hid_device.h"

#include <vector>

// The present boards that match -usb=, -serial= and -location=. Without
// -usb=, only a device for which `may_be_bootloader` gives 1 is a board:
// a keyboard with the serial number or location asked for is none.
std::vector<HidDeviceInfo> matching_boards(int (*may_be_bootloader)(const HidDeviceInfo &info));
