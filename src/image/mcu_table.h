// The parts that -mmcu= names: a family and the flash size in KiB, each
// with its flash and programming block size. The command line and the page
// read names through this one table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Fills the part's flash and block size from its name ("atmega32u4"; what
// follows the size is ignored). 1 when the name is known, else 0.
int find_mcu(const char *name, int32_t &code_size, int32_t &block_size);

// The message for a name that the table does not know (`shown`: the name
// made printable): "Unknown MCU type", then the forms and sizes known.
std::string unknown_mcu_message(std::string_view shown);
