// The parts that -mmcu= names.
#include "image/mcu_table.h"

#include <array>

namespace {

struct McuSize {
    std::string_view suffix;
    int32_t code_size;
    int32_t block_size;
};

// Tried in this order, each as a prefix of what follows the family name:
// "128" must come before "16" and "8", and anything after the size is ignored.
constexpr std::array<McuSize, 5> MCU_SIZES{{
    {"128", 0x20000, 256},
    {"64", 0x10000, 256},
    {"32", 0x8000, 128},
    {"16", 0x4000, 128},
    {"8", 0x2000, 128},
}};

constexpr std::array<std::string_view, 2> MCU_FAMILIES{"at90usb", "atmega"};

}  // namespace

int find_mcu(const char *name, int32_t &code_size, int32_t &block_size)
{
    std::string_view text(name);
    for (std::string_view family : MCU_FAMILIES) {
        if (!text.starts_with(family))
            continue;
        std::string_view size = text.substr(family.size());
        for (const McuSize &entry : MCU_SIZES) {
            if (size.starts_with(entry.suffix)) {
                code_size = entry.code_size;
                block_size = entry.block_size;
                return 1;
            }
        }
        return 0;
    }
    return 0;
}

std::string unknown_mcu_message(std::string_view shown)
{
    std::string sizes;
    for (size_t i = MCU_SIZES.size(); i-- > 0;)
        sizes += std::string(MCU_SIZES[i].suffix) + (i > 1 ? ", " : i == 1 ? " or " : "");
    return "Unknown MCU type\n-mmcu=" + std::string(shown) +
           ": give atmegaXXuY or at90usbXXXY, where XX is the flash in KiB: " + sizes +
           " (as in -mmcu=atmega32u4 or -mmcu=at90usb1287)\n";
}

std::string above64k_refusal(std::string_view shown, int32_t code_size)
{
    return "quorvel: -above64k is for the parts with 128 KiB of flash, but -mmcu=" + std::string(shown) + " has " +
           std::to_string(code_size / 1024) +
           " KiB\nLeave out -above64k, or give the board's MCU if it has 128 KiB (as in -mmcu=at90usb1287)\n";
}
