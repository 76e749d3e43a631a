// The parts that -mmcu= names: a family and the flash size in KiB, each
// with its flash and programming block size. The command line and the page
// read names through this one table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The top of a part's flash that its bootloader may take: the largest boot
// section (8 KiB: 0x1E000 and up on the 128 KiB parts).
inline constexpr int32_t LARGEST_BOOT_SECTION = 0x2000;

// Fills the part's flash and block size from its name ("atmega32u4"; what
// follows the size is ignored). 1 when the name is known, else 0.
int find_mcu(const char *name, int32_t &code_size, int32_t &block_size);

// The message for a name that the table does not know (`shown`: the name
// made printable): "Unknown MCU type", then the forms and sizes known.
std::string unknown_mcu_message(std::string_view shown);

// The refusal of -above64k for a part of 64 KiB or less (`shown`: its name
// made printable): it has no flash above 64 KiB, and the option would only
// hide a wrong part.
std::string above64k_refusal(std::string_view shown, int32_t code_size);
