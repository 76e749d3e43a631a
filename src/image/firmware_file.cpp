// Finds the firmware file's format and reads it.
#include "image/firmware_file.h"

#include "image/binary_reader.h"
#include "image/elf_reader.h"
#include "image/hex_reader.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

FirmwareRead firmware_read;

namespace {

// ELF when the file starts with its magic; else Intel HEX, whose reader
// says what is wrong with a file that is neither. A device is not read
// here (reading one may never end): the HEX reader refuses it.
FirmwareFormat format_of(const char *path)
{
    struct stat node;
    if (stat(path, &node) == 0 && (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode)))
        return FORMAT_HEX;
    FILE *file = std::fopen(path, "rb");
    if (!file)
        return FORMAT_HEX;
    uint8_t start[4];
    const size_t got = std::fread(start, 1, sizeof start, file);
    std::fclose(file);
    return starts_as_elf(start, got) ? FORMAT_ELF : FORMAT_HEX;
}

}  // namespace

int32_t load_firmware_file(const char *path, const FirmwareInput &input)
{
    firmware_read = FirmwareRead{input.binary ? FORMAT_BINARY : format_of(path), "", false};
    int32_t count = 0;
    switch (firmware_read.format) {
    case FORMAT_BINARY:
        count = load_binary_file(path, input.binary_base, firmware_read.problem);
        firmware_read.beyond_image = count == BINARY_READ_TOO_LARGE;
        break;
    case FORMAT_ELF:
        count = load_elf_file(path);
        firmware_read.problem = elf_read_report.problem;
        firmware_read.beyond_image = elf_read_report.beyond_image;
        break;
    case FORMAT_HEX:
        count = load_hex_file(path);
        firmware_read.problem = hex_read_report.problem;
        firmware_read.beyond_image = hex_read_report.beyond_image;
        break;
    }
    // The other readers' reports are cleared: the warnings and the device
    // check read them.
    if (firmware_read.format != FORMAT_ELF)
        elf_read_report = ElfReadReport{};
    if (firmware_read.format != FORMAT_HEX)
        hex_read_report = HexReadReport{};
    return count;
}

const char *firmware_format_name(FirmwareFormat format)
{
    switch (format) {
    case FORMAT_ELF:
        return "ELF";
    case FORMAT_BINARY:
        return "binary";
    case FORMAT_HEX:
        break;
    }
    return "Intel HEX";
}
