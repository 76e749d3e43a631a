// The firmware file, whatever its format: an ELF file (it starts with the
// ELF magic), a raw binary (only when asked for) or Intel HEX (anything
// else). The format is found from the content, never from the name.
#pragma once

#include <cstdint>
#include <string>

enum FirmwareFormat { FORMAT_HEX, FORMAT_ELF, FORMAT_BINARY };

// How the file is to be read: as a raw binary at `binary_base`, or by its content.
struct FirmwareInput {
    bool binary;
    uint32_t binary_base;
};

// What the last load_firmware_file read and why it failed.
struct FirmwareRead {
    FirmwareFormat format;
    std::string problem;  // the reader's reason: "line 3: bad checksum", "built for machine 40 (ARM), not AVR"
    bool beyond_image;    // the file has data past the image's last address
};
extern FirmwareRead firmware_read;

// Loads the file at `path` into `firmware_image` with the reader of its
// format and returns the number of data bytes, or a negative result (the
// reason in firmware_read.problem).
int32_t load_firmware_file(const char *path, const FirmwareInput &input);

// "Intel HEX", "ELF", "binary".
const char *firmware_format_name(FirmwareFormat format);
