// The checks of a loaded HEX file against the part, and their words.
#include "upload/firmware_checks.h"

#include "image/firmware_image.h"
#include "image/hex_reader.h"

#include <string>

namespace {

// The highest address that the file gave a byte for.
int32_t highest_address()
{
    int32_t address = image_size() - 1;
    while (address > 0 && !firmware_image.image_used[size_t(address)])
        --address;
    return address;
}

}  // namespace

Failure unreadable_firmware(std::string_view shown, std::string_view problem)
{
    return failure(FAILURE_FIRMWARE, "error reading intel hex file \"%s\"\n%s", std::string(shown).c_str(),
                   std::string(problem).c_str());
}

Failure check_firmware_has_data(std::string_view shown)
{
    if (!image_range_used(0, image_size() - 1))
        return failure(FAILURE_FIRMWARE,
                       "\"%s\" holds no data: there is nothing to write\nIt has no data records within the first "
                       "%d KiB: check that it is the firmware's HEX file and that its build succeeded\n",
                       std::string(shown).c_str(), int(image_size() / 1024));
    return Failure{};
}

Failure check_firmware_fits(const UploadPlan &plan)
{
    if (plan.code_size < image_size() && image_range_used(plan.code_size, image_size() - 1))
        return failure(FAILURE_FIRMWARE,
                       "Firmware does not fit in the flash of the selected MCU\nThe MCU has %d KiB of flash (up "
                       "to 0x%04X), but the file has data up to 0x%04X: check -mmcu= and that the file was built "
                       "for this MCU\n",
                       int(plan.code_size / 1024), unsigned(plan.code_size - 1), unsigned(highest_address()));
    return Failure{};
}

std::vector<FirmwareWarning> firmware_warnings(std::string_view shown)
{
    const std::string name(shown);
    std::vector<FirmwareWarning> warnings;
    if (!firmware_image.end_record_seen)
        warnings.push_back({WARNING_NO_END_RECORD,
                            "quorvel: warning: \"" + name + "\" has no end-of-file record: it may be cut short"});
    if (hex_read_report.text_after_end)
        warnings.push_back({WARNING_TEXT_AFTER_END, "quorvel: warning: \"" + name +
                                                        "\": text after the end-of-file record is ignored (two "
                                                        "files joined together?)"});
    return warnings;
}
