// The checks of a loaded image against the part, before any device is
// touched: nothing to write, data beyond the flash, and the warnings.
#include "upload/firmware_checks.h"

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
