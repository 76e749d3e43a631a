// ELF reader: fills the firmware image from the ELF file that avr-gcc
// linked, as avr-objcopy -O ihex -R .eeprom -R .fuse -R .lock -R .signature
// -R .user_signatures would have put it into a HEX file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int32_t ELF_READ_OPEN_FAILED = -1;  // not opened, or a read error
inline constexpr int32_t ELF_READ_BAD_FILE = -2;     // not an AVR program, or a file that breaks a rule

// 1 when the bytes start with the ELF magic, "\x7f" "ELF".
int starts_as_elf(const uint8_t *bytes, size_t size);

// Loads the ELF file held in `bytes` into `firmware_image` and returns the
// number of bytes placed, or ELF_READ_BAD_FILE (elf_read_report says why).
// Nothing outside bytes[0 .. size-1] is read, nothing outside the image
// written.
int32_t load_elf_bytes(const uint8_t *bytes, size_t size);

// The same for the file at `path`; ELF_READ_OPEN_FAILED when it cannot be read.
int32_t load_elf_file(const char *path);

// A symbol whose bytes the image holds: a variable in program memory, a
// function, or an initialised variable in RAM, whose initial value the
// flash holds after .text (its address is then that of the initial value).
struct ElfSymbol {
    std::string name;
    uint32_t address;  // where its first byte is in the flash
    uint32_t size;     // its bytes as the symbol table gives them; 0 when it does not say
};

// What the last load found besides its result.
struct ElfReadReport {
    std::string problem;  // why it failed: "machine 40 (ARM), not AVR"
    std::string device;   // the part that its device note names ("atmega32u4"), or "" without one
    bool beyond_image;    // it failed at a section that reaches past the image's last address
    // The sections that hold contents for the EEPROM, fuses, lock bits or
    // signature, in file order: left out of the image, never written.
    std::vector<std::string> left_out;
    // Every named symbol of a section placed in the image, in table order.
    std::vector<ElfSymbol> flash_symbols;
    // Why the symbol table could not be read ("" when it was, or has none);
    // the image does not depend on it, so the file still loads.
    std::string symbols_problem;
};
extern ElfReadReport elf_read_report;

// The symbols of the last load named `name`, in flash: none, one or more
// (two static variables of one name in two files).
std::vector<ElfSymbol> elf_flash_symbols_named(std::string_view name);
