// The firmware image: a flat 64 KiB picture of the flash, with a map of the
// bytes that the HEX file supplied.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int32_t IMAGE_SIZE = 0x10000;

struct FirmwareImage {
    std::array<uint8_t, IMAGE_SIZE> image_bytes;  // 0xFF where the file gave nothing
    std::array<uint8_t, IMAGE_SIZE> image_used;   // 1 where a data record stored a byte
    uint32_t address_base;                        // added to every data record's address
    bool end_record_seen;
    int32_t data_byte_count;  // bytes of all data records, overlaps counted again
};

// The process's one image (static storage, no heap).
extern FirmwareImage firmware_image;

// Erases the image and clears the reader's state.
void image_reset();

// Stores one byte and marks it used; the caller guarantees address <= 0xFFFF.
void image_store(uint32_t address, uint8_t value);

// 1 when at least one byte in first..last (both included) came from the file.
int image_range_used(int32_t first, int32_t last);

// Copies `length` bytes from `address` into `out`, 0xFF for unused bytes; a
// block that does not lie wholly inside the image comes out all 0xFF.
void image_copy_block(int32_t address, int32_t length, uint8_t *out);
