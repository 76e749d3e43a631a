// What is checked of a loaded HEX file before any device is touched, with
// the words for people: a file that cannot be read, that holds nothing to
// write or does not fit the part is refused; one cut short or with text
// after its end is loaded with a warning.
#pragma once

#include "output/failure.h"
#include "upload/protocol.h"

#include <string>
#include <string_view>
#include <vector>

// FAILURE_FIRMWARE: the file `shown` (its name as the user gave it, made
// printable) could not be read, for this reason ("line 12: bad checksum").
Failure unreadable_firmware(std::string_view shown, std::string_view problem);

// FAILURE_FIRMWARE: the file just read by load_firmware_file was refused by
// the reader of its format (firmware_read says which and why). The HEX
// reader's words are unreadable_firmware's; the others name the file first,
// as "app.elf: built for machine 40 (ARM), not AVR". Data past the image
// of a part whose flash goes on above it gets the -above64k hint.
Failure refused_firmware_file(std::string_view shown, const UploadPlan &plan);

// FAILURE_FIRMWARE when the ELF file just read names a device (its note)
// other than `mcu`, the -mmcu= part: "app.elf was built for atmega16u2, not
// atmega32u4". Else (no note, another format, no part) FAILURE_NONE.
Failure check_firmware_device(std::string_view shown, const char *mcu);

// The sections of the ELF file just read that are not written (EEPROM,
// fuses, lock bits, signature), as one line for -v without its line end,
// or "" when there are none.
std::string left_out_sections_text();

// FAILURE_FIRMWARE when the loaded image holds no data: an upload would
// erase the application and report success. Else FAILURE_NONE.
Failure check_firmware_has_data(std::string_view shown);

// FAILURE_FIRMWARE when the loaded image has data beyond the part's flash:
// it would be dropped without a word. Else FAILURE_NONE.
Failure check_firmware_fits(const UploadPlan &plan);

// FAILURE_FIRMWARE for a file with a record beyond the image's last address
// (hex_read_report.beyond_image): the reader's `problem`, then what to do:
// -above64k for a part whose flash goes on above the image, else check the
// part and the file.
Failure firmware_beyond_image(std::string_view shown, std::string_view problem, const UploadPlan &plan);

// FAILURE_FIRMWARE when an image above 64 KiB (-above64k) has data in the
// part's largest boot section: the bootloader would be asked to overwrite
// itself. Else FAILURE_NONE; an image of 64 KiB is not judged here.
Failure check_firmware_clear_of_boot_section(const UploadPlan &plan);

enum FirmwareWarningKind {
    WARNING_NO_END_RECORD,  // the file may be cut short
    WARNING_TEXT_AFTER_END, // two files joined together?
};

struct FirmwareWarning {
    FirmwareWarningKind kind;
    std::string text;  // "quorvel: warning: ..." without a line end
};

// The warnings that the file just loaded gives, in the order shown.
std::vector<FirmwareWarning> firmware_warnings(std::string_view shown);
