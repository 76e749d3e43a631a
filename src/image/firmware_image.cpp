// The firmware image: the picture of the flash and its map of bytes used.
#include "image/firmware_image.h"

#include <cstring>

FirmwareImage firmware_image;

namespace {

int32_t size_now = IMAGE_SIZE;

// One past the highest address stored since the last reset: the map is
// clear above it. A reset clears only below it, so a run that reads a small
// file never touches the rest of the storage (each page touched costs the
// process a page fault, which on a full-size image cost more than reading
// the file).
uint32_t stored_end = 0;

}  // namespace

int32_t image_size()
{
    return size_now;
}

void image_set_size(int32_t bytes)
{
    size_now = bytes < 1 ? 1 : bytes > IMAGE_SIZE_MAX ? IMAGE_SIZE_MAX : bytes;
}

void image_reset()
{
    // Whatever the size: bytes stored above a smaller size must not come
    // back as used when it grows. The bytes themselves count only where
    // the map says used, so they are left as they are.
    std::memset(firmware_image.image_used.data(), 0, stored_end);
    stored_end = 0;
    firmware_image.address_base = 0;
    firmware_image.end_record_seen = false;
    firmware_image.data_byte_count = 0;
}

int32_t image_used_end()
{
    return int32_t(stored_end);
}

int image_store(uint32_t address, uint8_t value)
{
    if (address >= uint32_t(size_now))
        return 0;
    firmware_image.image_bytes[address] = value;
    firmware_image.image_used[address] = 1;
    if (address >= stored_end)
        stored_end = address + 1;
    return 1;
}

int image_range_used(int32_t first, int32_t last)
{
    if (static_cast<uint32_t>(first) >= uint32_t(size_now) || last < 0 || last >= size_now)
        return 0;
    if (uint32_t(last) >= stored_end)
        last = int32_t(stored_end) - 1;  // clear above: not read
    for (int32_t address = first; address <= last; ++address)
        if (firmware_image.image_used[size_t(address)])
            return 1;
    return 0;
}

void image_copy_block(int32_t address, int32_t length, uint8_t *out)
{
    if (length <= 0)
        return;
    // The last byte is computed in 64 bits so that a huge address cannot wrap.
    int64_t last = int64_t{address} + length - 1;
    if (address < 0 || last >= size_now) {
        std::memset(out, 0xFF, static_cast<size_t>(length));
        return;
    }
    // Above the highest byte stored the map is clear: no need to read it.
    int32_t stored = int32_t(stored_end) - address;
    int32_t read = stored < 0 ? 0 : stored < length ? stored : length;
    for (int32_t i = 0; i < read; ++i) {
        size_t at = size_t(address + i);
        out[i] = firmware_image.image_used[at] ? firmware_image.image_bytes[at] : 0xFF;
    }
    if (read < length)
        std::memset(out + read, 0xFF, size_t(length - read));
}
