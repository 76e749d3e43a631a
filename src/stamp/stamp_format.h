// A stamp's value as bytes in the flash: the formats of -stamp=, the
// reading of -stamp= and -stamp-from=, and the checks that the value fits
// its format and its range fits the part.
#pragma once

#include "output/failure.h"
#include "stamp/stamp_settings.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The longest text format: ascii:N and utf16le:N take N up to this.
inline constexpr uint32_t STAMP_MOST_BYTES = 1024;

// Reads "ADDR,FORMAT" (ADDR decimal or 0x hex) into settings.address,
// format and length. ADDR may instead name a symbol of an ELF file, with
// an offset into it: "serial_number" or "serial_descriptor+2" (a C name:
// letters, digits, '_', '.' and '$', not starting with a digit); then
// settings.symbol and symbol_offset hold them and the address is 0 until
// stamp_place_at_symbol. 0 when it is malformed (the settings are then
// left as they were).
int stamp_read_place(std::string_view text, StampSettings &settings);

// Reads "N" or "N,STEP" (decimal or 0x hex; STEP 1 or more) into
// settings.start and step. 0 when malformed.
int stamp_read_counter(std::string_view text, StampSettings &settings);

// Reads a whole number, decimal or 0x hex, as a value of a numeric format
// is given. 0 when it is not one or does not fit 64 bits.
int stamp_read_number(std::string_view text, uint64_t &number);

// The format as -stamp= names it: "u32le", "utf16le:24".
std::string stamp_format_name(const StampSettings &settings);

// The value's bytes as they go into the flash (settings.length of them),
// or a failure (FAILURE_STAMP) when the value does not fit the format: a
// number too large or not a number, a text too long, not ASCII or not
// UTF-8.
Failure stamp_encode(const StampSettings &settings, const StampValue &value, std::vector<uint8_t> &bytes);

// Finds the address of -stamp='s symbol in the ELF file just read (`file`:
// its name as shown; `elf`: whether the file was ELF at all) and sets
// settings.address. A failure (FAILURE_STAMP) when the file is not ELF, has
// no such symbol in its flash or more than one, or when the value would not
// fit inside the symbol's bytes.
Failure stamp_place_at_symbol(StampSettings &settings, const char *file, bool elf);

// A failure (FAILURE_OPTION) when the range of the stamp does not lie
// inside the part's flash of `code_size` bytes and the firmware image of
// `image_size` bytes; `mcu` names the part.
Failure stamp_check_range(const StampSettings &settings, int32_t code_size, int32_t image_size, const char *mcu);
