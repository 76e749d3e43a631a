// Intel HEX reader: fills the firmware image from a file.
#pragma once

#include <cstdint>

inline constexpr int32_t HEX_READ_OPEN_FAILED = -1;  // not opened, or a read error
inline constexpr int32_t HEX_READ_BAD_RECORD = -2;   // the first line that breaks a rule

// Loads the file into `firmware_image` and returns the number of data bytes
// it held (bytes that several records cover are counted each time), or one
// of the negative results above.
int32_t load_hex_file(const char *path);
