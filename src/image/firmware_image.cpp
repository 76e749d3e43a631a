// The firmware image: the 64 KiB picture of the flash and its map of bytes used.
#include "image/firmware_image.h"

#include <cstring>

FirmwareImage firmware_image;

void image_reset()
{
    firmware_image.image_bytes.fill(0xFF);
    firmware_image.image_used.fill(0);
    firmware_image.address_base = 0;
    firmware_image.end_record_seen = false;
    firmware_image.data_byte_count = 0;
}

void image_store(uint32_t address, uint8_t value)
{
    firmware_image.image_bytes[address] = value;
    firmware_image.image_used[address] = 1;
}

int image_range_used(int32_t first, int32_t last)
{
    if (static_cast<uint32_t>(first) >= IMAGE_SIZE || last < 0 || last >= IMAGE_SIZE)
        return 0;
    for (int32_t address = first; address <= last; ++address)
        if (firmware_image.image_used[address])
            return 1;
    return 0;
}

void image_copy_block(int32_t address, int32_t length, uint8_t *out)
{
    if (length <= 0)
        return;
    // The last byte is computed in 64 bits so that a huge address cannot wrap.
    int64_t last = int64_t{address} + length - 1;
    if (address < 0 || last >= IMAGE_SIZE) {
        std::memset(out, 0xFF, static_cast<size_t>(length));
        return;
    }
    for (int32_t i = 0; i < length; ++i) {
        int32_t at = address + i;
        out[i] = firmware_image.image_used[at] ? firmware_image.image_bytes[at] : 0xFF;
    }
}
