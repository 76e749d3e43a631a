// Intel HEX reader: fills the firmware image from a file.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int32_t HEX_READ_OPEN_FAILED = -1;  // not opened, or a read error
inline constexpr int32_t HEX_READ_BAD_RECORD = -2;   // the first line that breaks a rule

// Loads the file into `firmware_image` and returns the number of data bytes
// it held (bytes that several records cover are counted each time), or one
// of the negative results above.
int32_t load_hex_file(const char *path);

// What the last load_hex_file found besides its result.
struct HexReadReport {
    std::string problem;  // why it failed: "line 3: bad checksum", or the system's error text
    bool text_after_end;  // lines other than blank ones follow the end-of-file record
    bool beyond_image;    // it failed at a record that reaches past the image's last address
};
extern HexReadReport hex_read_report;
