// HID transport: finds the bootloader's HID interface by USB vendor and
// product ID, keeps it open as the process's one current device and writes
// output reports to it, each with a time limit. It prints nothing.
//
// One backend file per platform implements this header: hid_linux.cpp over
// the kernel's hidraw interface, hid_windows.cpp over SetupAPI and the HID
// class library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Largest report a caller may pass: the write buffer holds the report ID too.
inline constexpr size_t HID_MAX_REPORT = 1039;

// A present HID interface.
struct HidDeviceInfo {
    std::string path;  // what device_open_path() takes: /dev/hidrawN on Linux
    uint32_t vendor_id;
    uint32_t product_id;
    std::string name;  // the product name, where the system gives one
};

// Every present HID interface, in the order in which device_open() tries
// them. Opens nothing.
std::vector<HidDeviceInfo> device_list();

// Opens the HID interface at this path. With check_ids, its IDs must be
// these, which is checked before it is opened.
int device_open_path(const char *path, int check_ids, uint32_t vendor_id, uint32_t product_id);

// Opens the first present HID interface with these IDs (closing any current
// device first). Returns 1 when one was opened, else 0.
int device_open(uint32_t vendor_id, uint32_t product_id);

// Why the last device_open or device_open_path opened nothing, when there is
// more to say than that no device matched: one line naming the device and
// the reason ("/dev/hidraw3: Permission denied"). Otherwise empty.
const char *device_open_error();

// Writes report ID 0 followed by `length` bytes to the current device.
// Returns 1 when the whole report was delivered within the time limit, else
// 0 (also without a current device).
int device_send(const uint8_t *data, size_t length, double timeout_seconds);

// Closes the current device, if there is one.
void device_close();
