// The checks of a loaded image against the part, before any device is
// touched: nothing to write, data beyond the flash, and the warnings.
#include "upload/firmware_checks.h"

#include "image/firmware_file.h"
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(FirmwareChecks, AnImageIsRefusedWhenItHoldsNothingOrDoesNotFitThePart)
{
    const std::string no_data =
        "\"app.hex\" holds no data: there is nothing to write\nIt has no data records within the first 64 KiB: "
        "check that it is the firmware's HEX file and that its build succeeded\n";
    const struct {
        const char *name;
        std::map<uint32_t, uint8_t> bytes;
        UploadPlan plan;
        std::string message;  // "" when it is loaded
    } cases[] = {
        {"empty", {}, {0x8000, 128}, no_data},
        {"fits a 32 KiB part to its last byte", {{0x7FFF, 1}}, {0x8000, 128}, ""},
        {"one byte past an 8 KiB part",
         {{0x0000, 1}, {0x2000, 0xFF}},
         {0x2000, 128},
         "Firmware does not fit in the flash of the selected MCU\nThe MCU has 8 KiB of flash (up to 0x1FFF), but "
         "the file has data up to 0x2000: check -mmcu= and that the file was built for this MCU\n"},
        {"the highest address is named",
         {{0x0000, 1}, {0x4100, 2}, {0x7123, 3}},
         {0x4000, 128},
         "Firmware does not fit in the flash of the selected MCU\nThe MCU has 16 KiB of flash (up to 0x3FFF), but "
         "the file has data up to 0x7123: check -mmcu= and that the file was built for this MCU\n"},
        {"a 128 KiB part takes the whole image", {{0xFFFF, 1}}, {0x20000, 256}, ""},
    };
    for (const auto &c : cases) {
        image_reset();
        for (const auto &[address, value] : c.bytes)
            image_store(address, value);
        Failure result = check_firmware_has_data("app.hex");
        if (!failed(result))
            result = check_firmware_fits(c.plan);
        EXPECT_EQ(result.kind, c.message.empty() ? FAILURE_NONE : FAILURE_FIRMWARE) << c.name;
        EXPECT_EQ(result.message, c.message) << c.name;
    }
}

// With -above64k (the image set to a 128 KiB part's flash): everything up
// to the top 8 KiB is taken, and a byte in them is refused and named; an
// image of 64 KiB is never judged by the bootloader's section.
TEST(FirmwareChecks, AnImageAbove64KiBIsRefusedWhenItReachesTheBootloadersSection)
{
    const auto refused = [](const char *at) {
        return std::string("Firmware reaches into the bootloader's section: nothing was written\nThe file has data "
                           "at ") +
               at +
               ", in the top 8 KiB of the flash (0x1E000-0x1FFFF) that the bootloader may take, and a bootloader "
               "cannot overwrite itself: check that the file is the application, built for this MCU\n";
    };
    const struct {
        const char *name;
        int32_t image_size;
        std::map<uint32_t, uint8_t> bytes;
        std::string message;  // "" when it is taken
    } cases[] = {
        {"up to the last byte below the section", IMAGE_SIZE_MAX, {{0x0000, 1}, {0x1DFFF, 2}}, ""},
        {"the section's first byte", IMAGE_SIZE_MAX, {{0x0000, 1}, {0x1E000, 2}}, refused("0x1E000")},
        {"the lowest byte in the section is named", IMAGE_SIZE_MAX, {{0x1F123, 0xFF}, {0x1FFFF, 1}},
         refused("0x1F123")},
        {"the flash's last byte", IMAGE_SIZE_MAX, {{0x1FFFF, 0}}, refused("0x1FFFF")},
        {"an image of 64 KiB is not judged", IMAGE_SIZE, {{0xFFFF, 1}}, ""},
    };
    for (const auto &c : cases) {
        image_set_size(c.image_size);
        image_reset();
        for (const auto &[address, value] : c.bytes)
            image_store(address, value);
        const UploadPlan plan{0x20000, 256};
        Failure result = check_firmware_fits(plan);
        if (!failed(result))
            result = check_firmware_clear_of_boot_section(plan);
        image_set_size(IMAGE_SIZE);
        EXPECT_EQ(result.kind, c.message.empty() ? FAILURE_NONE : FAILURE_FIRMWARE) << c.name;
        EXPECT_EQ(result.message, c.message) << c.name;
    }
}

// A record beyond the image: the option is named only where it helps, for
// a part whose flash goes on above the image.
TEST(FirmwareChecks, AFileBeyondTheImageIsToldWhatToDo)
{
    const std::string head = "error reading intel hex file \"app.hex\"\nline 9: reaches beyond address 0xFFFF\n";
    const struct {
        int32_t image_size;
        UploadPlan plan;
        std::string message;
    } cases[] = {
        {IMAGE_SIZE, {0x20000, 256}, head + "The MCU has 128 KiB of flash: add -above64k to write the file above 64 KiB\n"},
        {IMAGE_SIZE, {0x10000, 256},
         head + "The MCU has 64 KiB of flash (up to 0xFFFF): check -mmcu= and that the file was built for this MCU\n"},
        {IMAGE_SIZE, {0x8000, 128},
         head + "The MCU has 32 KiB of flash (up to 0x7FFF): check -mmcu= and that the file was built for this MCU\n"},
        {IMAGE_SIZE_MAX, {0x20000, 256},
         head + "The MCU has 128 KiB of flash (up to 0x1FFFF): check -mmcu= and that the file was built for this "
                "MCU\n"},
    };
    for (const auto &c : cases) {
        image_set_size(c.image_size);
        const Failure result = firmware_beyond_image("app.hex", "line 9: reaches beyond address 0xFFFF", c.plan);
        image_set_size(IMAGE_SIZE);
        EXPECT_EQ(result.kind, FAILURE_FIRMWARE);
        EXPECT_EQ(result.message, c.message) << c.plan.code_size;
    }
}

TEST(FirmwareChecks, AFileCutShortOrFollowedByTextLoadsWithItsWarning)
{
    const std::string data = hex_record(0, 0x0000, {1, 2, 3});
    const std::string end = ":00000001FF\n";
    const struct {
        std::string content;
        std::vector<FirmwareWarningKind> kinds;
    } cases[] = {
        {data + end, {}},
        {data, {WARNING_NO_END_RECORD}},
        {data + end + data, {WARNING_TEXT_AFTER_END}},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(load_hex_file(write_scratch_file("warned.hex", c.content).c_str()), 3) << c.content;
        std::vector<FirmwareWarningKind> kinds;
        for (const FirmwareWarning &warning : firmware_warnings("warned.hex")) {
            kinds.push_back(warning.kind);
            EXPECT_TRUE(warning.text.starts_with("quorvel: warning: \"warned.hex\"")) << warning.text;
        }
        EXPECT_EQ(kinds, c.kinds) << c.content;
    }
    EXPECT_EQ(unreadable_firmware("app.hex", "line 12: bad checksum").message,
              "error reading intel hex file \"app.hex\"\nline 12: bad checksum");
}

}  // namespace

// ELF firmware names the part that it was built for: another part is refused.
TEST(FirmwareChecks, ElfFirmwareBuiltForAnotherPartIsRefused)
{
    if (std::string(QUORVEL_ELF_PROGRAMS).empty())
        GTEST_SKIP() << "SKIPPED: avr-gcc or avr-objcopy was not found when the tests were configured: install "
                        "gcc-avr, avr-libc and binutils-avr, then run cmake again";
    const std::string programs = std::string(QUORVEL_ELF_PROGRAMS) + "/";
    const struct {
        std::string file;
        const char *mcu;
        std::string message;  // "" when it passes
    } cases[] = {
        {"blink-atmega16u2.elf", "atmega32u4",
         "app.elf was built for atmega16u2, not atmega32u4\nNothing was written: build the firmware with "
         "-mmcu=atmega32u4 for this board, or give -mmcu=atmega16u2 if the board really is one\n"},
        {"blink-atmega32u4.elf", "atmega32u4", ""},
        {"blink-at90usb1287.elf", "at90usb1286", "app.elf was built for at90usb1287, not at90usb1286\nNothing "
                                                 "was written: build the firmware with -mmcu=at90usb1286 for "
                                                 "this board, or give -mmcu=at90usb1287 if the board really is "
                                                 "one\n"},
        // A HEX file does not say: the part is as given.
        {"blink-atmega16u2.hex", "atmega32u4", ""},
    };
    for (const auto &c : cases) {
        ASSERT_GT(load_firmware_file((programs + c.file).c_str(), FirmwareInput{false, 0}), 0) << c.file;
        const Failure result = check_firmware_device("app.elf", c.mcu);
        EXPECT_EQ(result.kind, c.message.empty() ? FAILURE_NONE : FAILURE_FIRMWARE) << c.file;
        EXPECT_EQ(result.message, c.message) << c.file;
    }
}

// Each reader's refusal names the file and says what to do; the HEX
// reader's words stay as they were.
TEST(FirmwareChecks, ARefusedFileIsNamedWithItsFormatsReason)
{
    const struct {
        const char *name;
        std::string content;
        FirmwareInput input;
        std::string message;
    } cases[] = {
        {"ELF", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(60, '\0'), {false, 0},
         "app.fw: a 64-bit ELF file, not an AVR program (AVR programs are 32-bit ELF)\nNothing was written: give "
         "the ELF file that avr-gcc linked for the part, or its Intel HEX file\n"},
        {"binary", std::string(0x200, '\x11'), {true, 0xFF00},
         "app.fw: 512 bytes from 0xFF00 reach beyond address 0xFFFF\nNothing was written: check the file and "
         "-binary=BASE, the address of its first byte\n"},
        {"Intel HEX", ":0100000001FF\n", {false, 0},
         "error reading intel hex file \"app.fw\"\nline 1: bad checksum"},
    };
    for (const auto &c : cases) {
        ASSERT_LT(load_firmware_file(write_scratch_file("app.fw", c.content).c_str(), c.input), 0) << c.name;
        const Failure result = refused_firmware_file("app.fw", UploadPlan{0x8000, 128});
        EXPECT_EQ(result.kind, FAILURE_FIRMWARE) << c.name;
        EXPECT_EQ(result.message, c.message) << c.name;
    }
}

// A binary that fits the image but not the part is refused as any file is.
TEST(FirmwareChecks, ABinaryTooLargeForThePart)
{
    const std::string path = write_scratch_file("big.bin", std::string(0x2001, '\x5a'));
    ASSERT_EQ(load_firmware_file(path.c_str(), FirmwareInput{true, 0}), 0x2001);
    EXPECT_EQ(check_firmware_fits(UploadPlan{0x2000, 128}).message,
              "Firmware does not fit in the flash of the selected MCU\nThe MCU has 8 KiB of flash (up to 0x1FFF), "
              "but the file has data up to 0x2000: check -mmcu= and that the file was built for this MCU\n");
    EXPECT_FALSE(failed(check_firmware_fits(UploadPlan{0x4000, 128})));
}
