// SHA-256 (FIPS 180-4): the checksum that names a firmware file and the
// image bytes sent, so that an operator and a log can tell which firmware
// went into a board.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct Sha256 {
    std::array<uint32_t, 8> state;
    std::array<uint8_t, 64> block;  // bytes waiting for a whole block
    uint64_t length;                // bytes added so far
};

// Starts a checksum.
void sha256_start(Sha256 &sum);

// Adds `size` bytes.
void sha256_add(Sha256 &sum, const uint8_t *bytes, size_t size);

// Ends the checksum: 64 lower-case hex digits. The record is spent.
std::string sha256_hex(Sha256 &sum);

// The checksum of one piece of text.
std::string sha256_of(std::string_view text);
