// The firmware image: a flat picture of the flash, with a map of the bytes
// that the file supplied. It covers 64 KiB, or with -above64k the whole
// flash of a 128 KiB part.
#pragma once

#include <array>
#include <cstdint>

// The image's size unless it was set larger: addresses 0x0000-0xFFFF.
inline constexpr int32_t IMAGE_SIZE = 0x10000;
// The largest size it can be set to: the flash of the 128 KiB parts.
inline constexpr int32_t IMAGE_SIZE_MAX = 0x20000;

struct FirmwareImage {
    std::array<uint8_t, IMAGE_SIZE_MAX> image_bytes;  // meaningful only where image_used is 1
    std::array<uint8_t, IMAGE_SIZE_MAX> image_used;   // 1 where a data record stored a byte
    uint32_t address_base;                            // added to every data record's address
    bool end_record_seen;
    int32_t data_byte_count;  // bytes of all data records, overlaps counted again
};

// The process's one image (static storage, no heap).
extern FirmwareImage firmware_image;

// The bytes that the image covers now, from address 0: IMAGE_SIZE unless
// image_set_size said otherwise. Every operation below, and the readers
// that fill the image, stop at it.
int32_t image_size();

// Sets how many bytes the image covers (the part's flash under -above64k),
// before it is filled; a value outside 1..IMAGE_SIZE_MAX is taken as the
// nearest end of that range. image_reset leaves it as it is.
void image_set_size(int32_t bytes);

// Erases the image and clears the reader's state.
void image_reset();

// One past the highest address stored at since the last reset (0 when
// nothing was): the map is clear from there up. Loops over the map stop
// here, so that a small file never reads the rest of the storage.
int32_t image_used_end();

// Stores one byte and marks it used: 1. An address at or above image_size()
// stores nothing: 0.
int image_store(uint32_t address, uint8_t value);

// 1 when at least one byte in first..last (both included) came from the
// file; 0 without looking when the range does not lie inside the image.
int image_range_used(int32_t first, int32_t last);

// Copies `length` bytes from `address` into `out`, 0xFF for unused bytes; a
// block that does not lie wholly inside the image comes out all 0xFF.
void image_copy_block(int32_t address, int32_t length, uint8_t *out);
