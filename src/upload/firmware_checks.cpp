// The checks of a loaded HEX file against the part, and their words.
#include "upload/firmware_checks.h"

#include "image/elf_reader.h"
#include "image/firmware_file.h"
#include "image/firmware_image.h"
#include "image/hex_reader.h"
#include "image/mcu_table.h"
#include "output/text.h"

#include <algorithm>
#include <string>

namespace {

// The highest address that the file gave a byte for.
int32_t highest_address()
{
    int32_t address = std::min(image_size(), image_used_end()) - 1;
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

Failure refused_firmware_file(std::string_view shown, const UploadPlan &plan)
{
    const std::string name(shown), problem = printable(firmware_read.problem);
    if (firmware_read.format == FORMAT_HEX)
        return firmware_read.beyond_image ? firmware_beyond_image(shown, problem, plan)
                                          : unreadable_firmware(shown, problem);
    if (firmware_read.beyond_image && plan.code_size > image_size())
        return failure(FAILURE_FIRMWARE, "%s: %s\nThe MCU has %d KiB of flash: add -above64k to write the file above "
                       "64 KiB\n", name.c_str(), problem.c_str(), int(plan.code_size / 1024));
    switch (firmware_read.format) {
    case FORMAT_HEX:
        break;
    case FORMAT_ELF:
        return failure(FAILURE_FIRMWARE,
                       "%s: %s\nNothing was written: give the ELF file that avr-gcc linked for the part, or its "
                       "Intel HEX file\n",
                       name.c_str(), problem.c_str());
    case FORMAT_BINARY:
        return failure(FAILURE_FIRMWARE,
                       "%s: %s\nNothing was written: check the file and -binary=BASE, the address of its first "
                       "byte\n",
                       name.c_str(), problem.c_str());
    }
    return unreadable_firmware(shown, problem);
}

Failure check_firmware_device(std::string_view shown, const char *mcu)
{
    const std::string &device = elf_read_report.device;
    if (firmware_read.format != FORMAT_ELF || device.empty() || !mcu || device == mcu)
        return Failure{};
    const std::string built = printable(device), name(shown);
    return failure(FAILURE_FIRMWARE,
                   "%s was built for %s, not %s\nNothing was written: build the firmware with -mmcu=%s for "
                   "this board, or give -mmcu=%s if the board really is one\n",
                   name.c_str(), built.c_str(), mcu, mcu, built.c_str());
}

std::string left_out_sections_text()
{
    if (firmware_read.format != FORMAT_ELF || elf_read_report.left_out.empty())
        return "";
    std::string names;
    for (const std::string &name : elf_read_report.left_out)
        names += (names.empty() ? "" : ", ") + printable(name);
    return "Not written (EEPROM, fuses, lock bits, signature: quorvel writes the flash only): " + names;
}

Failure check_firmware_has_data(std::string_view shown)
{
    if (firmware_read.format == FORMAT_ELF && !image_range_used(0, image_size() - 1))
        return failure(FAILURE_FIRMWARE,
                       "\"%s\" holds no data: there is nothing to write\nIt has no sections with contents for "
                       "the flash: check that it is the firmware that avr-gcc linked and that its build "
                       "succeeded\n",
                       std::string(shown).c_str());
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

Failure firmware_beyond_image(std::string_view shown, std::string_view problem, const UploadPlan &plan)
{
    const std::string name(shown), reason(problem);
    if (plan.code_size > image_size())
        return failure(FAILURE_FIRMWARE,
                       "error reading intel hex file \"%s\"\n%s\nThe MCU has %d KiB of flash: add -above64k to "
                       "write the file above 64 KiB\n",
                       name.c_str(), reason.c_str(), int(plan.code_size / 1024));
    return failure(FAILURE_FIRMWARE,
                   "error reading intel hex file \"%s\"\n%s\nThe MCU has %d KiB of flash (up to 0x%04X): check "
                   "-mmcu= and that the file was built for this MCU\n",
                   name.c_str(), reason.c_str(), int(plan.code_size / 1024), unsigned(plan.code_size - 1));
}

Failure check_firmware_clear_of_boot_section(const UploadPlan &plan)
{
    const int32_t boot_section = plan.code_size - LARGEST_BOOT_SECTION;
    if (image_size() <= IMAGE_SIZE || boot_section < 0 || !image_range_used(boot_section, image_size() - 1))
        return Failure{};
    int32_t first = boot_section;
    while (!firmware_image.image_used[size_t(first)])
        ++first;
    return failure(FAILURE_FIRMWARE,
                   "Firmware reaches into the bootloader's section: nothing was written\nThe file has data at "
                   "0x%04X, in the top %d KiB of the flash (0x%04X-0x%04X) that the bootloader may take, and a "
                   "bootloader cannot overwrite itself: check that the file is the application, built for this "
                   "MCU\n",
                   unsigned(first), int(LARGEST_BOOT_SECTION / 1024), unsigned(boot_section),
                   unsigned(plan.code_size - 1));
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
