// Which reader a firmware file gets (by its content, a raw binary only when
// asked for) and the raw binary reader.
#include "image/firmware_file.h"

#include "image/binary_reader.h"
#include "image/firmware_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A block of bytes that differ from each other and include 0xFF and 0x00.
std::string pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xFF);
    return bytes;
}

TEST(BinaryReader, PlacesTheBytesFromTheBaseUp)
{
    const struct {
        const char *name;
        size_t size;
        uint32_t base;
        int32_t result;
        const char *problem;
    } cases[] = {
        {"at 0", 300, 0, 300, ""},
        {"at an offset", 300, 0x1000, 300, ""},
        {"at an odd offset", 5, 0x3FFB, 5, ""},
        {"the whole image", 0x10000, 0, 0x10000, ""},
        {"the last byte of the image", 1, 0xFFFF, 1, ""},
        {"empty", 0, 0x100, 0, ""},
        {"one byte too many", 0x10001, 0, BINARY_READ_TOO_LARGE, "65537 bytes from 0x0 reach beyond address 0xFFFF"},
        {"past the end from its base", 0x200, 0xFF00, BINARY_READ_TOO_LARGE,
         "512 bytes from 0xFF00 reach beyond address 0xFFFF"},
        {"a base beyond the image", 1, 0x10000, BINARY_READ_TOO_LARGE,
         "1 bytes from 0x10000 reach beyond address 0xFFFF"},
    };
    for (const auto &c : cases) {
        const std::string bytes = pattern(c.size);
        const std::string path = write_scratch_file("app.bin", bytes);
        ASSERT_EQ(load_firmware_file(path.c_str(), FirmwareInput{true, c.base}), c.result) << c.name;
        EXPECT_EQ(firmware_read.format, FORMAT_BINARY) << c.name;
        EXPECT_EQ(firmware_read.problem, c.problem) << c.name;
        if (c.result < 0)
            continue;
        for (uint32_t a = 0; a < IMAGE_SIZE; ++a) {
            const bool inside = a >= c.base && a - c.base < c.size;
            ASSERT_EQ(firmware_image.image_used[a], inside) << c.name << " at " << a;
            if (inside) {
                ASSERT_EQ(firmware_image.image_bytes[a], uint8_t(bytes[a - c.base])) << c.name << " at " << a;
            }
        }
    }
}

TEST(FirmwareFile, TheFormatComesFromTheContentAndABinaryOnlyWhenAskedFor)
{
    const std::string hex = hex_record(0, 0x10, {1, 2, 3}) + ":00000001FF\n";
    const std::string elf_magic_only = std::string("\x7f" "ELF", 4);
    const struct {
        const char *name;
        std::string file_name, content;
        bool binary;
        FirmwareFormat format;
        int32_t result;
        const char *problem;
    } cases[] = {
        {"HEX by its content", "app.hex", hex, false, FORMAT_HEX, 3, ""},
        {"HEX whatever the name", "app.elf", hex, false, FORMAT_HEX, 3, ""},
        {"ELF by its magic, whatever the name", "app.hex", elf_magic_only, false, FORMAT_ELF, -2,
         "truncated: the ELF header is cut short"},
        {"bytes are never guessed to be a binary", "app.bin", std::string("\x0c\x94\x00\x00", 4), false,
         FORMAT_HEX, -2, "line 1: does not start with ':'"},
        {"a binary when asked for, HEX text included", "app.hex", hex, true, FORMAT_BINARY, int32_t(hex.size()), ""},
        {"a binary when asked for, ELF included", "app.elf", elf_magic_only, true, FORMAT_BINARY, 4, ""},
    };
    for (const auto &c : cases) {
        const std::string path = write_scratch_file(c.file_name, c.content);
        EXPECT_EQ(load_firmware_file(path.c_str(), FirmwareInput{c.binary, 0}), c.result) << c.name;
        EXPECT_EQ(firmware_read.format, c.format) << c.name;
        EXPECT_EQ(firmware_read.problem, c.problem) << c.name;
    }
    EXPECT_STREQ(firmware_format_name(FORMAT_ELF), "ELF");
    EXPECT_STREQ(firmware_format_name(FORMAT_HEX), "Intel HEX");
    EXPECT_STREQ(firmware_format_name(FORMAT_BINARY), "binary");
}

TEST(FirmwareFile, ADeviceIsNeverRead)
{
#ifdef _WIN32
    GTEST_SKIP() << "SKIPPED: /dev/zero is a Linux device; Windows has no such path";
#endif
    for (bool binary : {false, true}) {
        EXPECT_EQ(load_firmware_file("/dev/zero", FirmwareInput{binary, 0}), -1) << binary;
        EXPECT_EQ(firmware_read.problem, "it is a device, not a file") << binary;
    }
}

}  // namespace
