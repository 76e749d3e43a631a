// Reads a HID report descriptor: does it declare the bootloader's report.
#pragma once

#include <cstddef>
#include <cstdint>

// 1 when the report descriptor (its bytes as the device gives them)
// declares one 64-byte output report without report IDs, the bootloader's;
// 0 for any other, and for one that uses report IDs or cannot be parsed. A
// keyboard, a mouse or any other HID device does not qualify.
int descriptor_takes_bootloader_reports(const uint8_t *descriptor, size_t size);
