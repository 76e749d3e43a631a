// Whether an open HID device takes the bootloader's reports: one 64-byte
// output report, without report IDs. One file per platform asks the system
// for the device's reports: report_shape_<platform>.cpp.
#pragma once

#include <cstdint>
#include <string>

// What keeps the open device from taking the bootloader's reports, as the
// end of a sentence ("it takes no output reports"); "" when it takes them.
// `device` is the open descriptor on Linux, the HANDLE on Windows.
std::string report_shape_problem(intptr_t device);
