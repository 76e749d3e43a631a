// Whether an open HID collection takes the bootloader's reports, on Windows.
#pragma once

#include <windows.h>

#include <string>

// What keeps the collection from taking the bootloader's reports, as the
// end of a sentence ("it takes no output reports"); "" when its output
// report is the bootloader's: 64 bytes, without a report ID.
std::string report_shape_problem(HANDLE handle);
